// A test's main thread: an event loop run on a thread of its own (the
// thread the library delivers events to), and a journal of what happened
// there that the test thread waits on. Errors that reach the loop are
// written down as "exception <message>".
#pragma once

#include <algorithm>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackClient.h"
#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Server.h"

namespace test {

class MainThread {
 public:
  MainThread() {
    loop.OnException = [this](std::exception_ptr aError) {
      try {
        std::rethrow_exception(aError);
      } catch (const std::exception& e) {
        Note(std::string("exception ") + e.what());
      }
    };
    FThread = std::thread([this] { loop.Run(); });
    WaitUntil([this] { return loop.Running(); });
  }
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;
  ~MainThread() {
    loop.Quit();
    FThread.join();
  }

  // Runs aWork on the main thread and waits for it.
  void Run(const std::function<void()>& aWork) { loop.Synchronize(aWork); }

  void Note(const std::string& aEvent) {
    std::lock_guard guard(FLock);
    FEvents.push_back(aEvent);
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(FLock);
    return FEvents;
  }
  // Whether aEvent has been written down aTimes times (waiting for it).
  bool Saw(const std::string& aEvent, long aTimes = 1) {
    return WaitUntil([&] {
      std::lock_guard guard(FLock);
      return std::count(FEvents.begin(), FEvents.end(), aEvent) >= aTimes;
    });
  }

  TtvqEventLoop loop;

 private:
  std::thread FThread;
  std::mutex FLock;
  std::vector<std::string> FEvents;
};

// Makes aServer deliver to aMain and listen on an ephemeral loopback port;
// the binding tells the port once the server is active.
inline TNetSocketHandle& ListenOnLoopback(TtvqWSServer_Net_Base& aServer, MainThread& aMain) {
  aServer.Platform = &aMain.loop;
  aServer.SetPort(0);
  TNetSocketHandle& binding = aServer.Bindings().Add();
  binding.IP = "127.0.0.1";
  return binding;
}

}  // namespace test
