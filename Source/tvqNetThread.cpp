#include "tvqNetThread.h"

#include <pthread.h>

#include <chrono>

void NetSetThreadName(const std::string& aName) {
  pthread_setname_np(pthread_self(), aName.substr(0, 15).c_str());
}

TNetThread::TNetThread(std::string aName, bool aLoop)
    : FName(std::move(aName)), FLoop(aLoop), FThread([this] { Execute(); }) {}

TNetThread::~TNetThread() {
  Stop();
  WaitFor();
}

void TNetThread::Start() {
  {
    std::lock_guard guard(FLock);
    FStarted = true;
  }
  FWake.notify_all();
}

void TNetThread::Stop() {
  {
    std::lock_guard guard(FLock);
    FStopped = true;
  }
  FWake.notify_all();
}

bool TNetThread::Stopped() const {
  std::lock_guard guard(FLock);
  return FStopped;
}

bool TNetThread::Started() const {
  std::lock_guard guard(FLock);
  return FStarted;
}

bool TNetThread::WaitForStop(int aMs) {
  std::unique_lock guard(FLock);
  return FWake.wait_for(guard, std::chrono::milliseconds(aMs), [this] { return FStopped; });
}

void TNetThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TNetThread::Execute() {
  {
    std::unique_lock guard(FLock);
    FWake.wait(guard, [this] { return FStarted || FStopped; });
    if (!FStarted) return;  // released without ever being started
  }
  NetSetThreadName(FName);
  std::exception_ptr error;
  try {
    BeforeRun();
    while (!Stopped()) {
      Run();
      if (!FLoop) break;
    }
  } catch (...) {
    error = std::current_exception();
  }
  try {
    AfterRun();
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  // Nothing may leave the thread's body: an escaping error would end the process.
  try {
    Cleanup();
  } catch (...) {
  }
  try {
    if (error) HandleException(error);
  } catch (...) {
  }
  try {
    Finished();
  } catch (...) {
  }
}
