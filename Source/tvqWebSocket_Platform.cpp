#include "tvqWebSocket_Platform.h"

#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>

extern char** environ;

namespace {
std::atomic<ItvqPlatform*> gPlatform{nullptr};
}

ItvqPlatform* tvqPlatform() { return gPlatform.load(std::memory_order_acquire); }
void tvqSetPlatform(ItvqPlatform* aPlatform) { gPlatform.store(aPlatform, std::memory_order_release); }

void tvqMainThreadViolated(const char* aFile, int aLine, const char* aFunction) {
  std::fprintf(stderr, "%s:%d: %s runs on the main thread only, and was called on another thread\n", aFile, aLine,
               aFunction);
  std::fflush(stderr);
  std::abort();
}

TtvqEventLoop::TtvqEventLoop() : FMainThread(std::this_thread::get_id()) {}

TtvqEventLoop::~TtvqEventLoop() {
  if (tvqPlatform() == this) tvqSetPlatform(nullptr);
}

void TtvqEventLoop::Queue(TCall aCall) {
  {
    std::lock_guard guard(FLock);
    FCalls.push_back(std::move(aCall));
  }
  FWake.notify_all();
}

void TtvqEventLoop::Synchronize(TCall aCall) {
  if (IsMainThread()) {
    aCall();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard guard(FLock);
    if (FFinished) throw std::runtime_error("The main thread no longer runs queued calls");
    FCalls.push_back([call = std::move(aCall), done] {
      try {
        call();
        done->set_value();
      } catch (...) {
        done->set_exception(std::current_exception());
      }
    });
  }
  FWake.notify_all();
  finished.get();  // the call's own error comes back here
}

bool TtvqEventLoop::IsMainThread() const {
  std::lock_guard guard(FLock);
  return FMainThread == std::this_thread::get_id();
}

ItvqPlatform::TTimerId TtvqEventLoop::StartTimer(int aIntervalMs, TCall aTick) {
  std::lock_guard guard(FLock);
  const TTimerId id = FNextTimer++;
  FTimers[id] = {aIntervalMs, std::move(aTick), std::chrono::steady_clock::now() + std::chrono::milliseconds(aIntervalMs)};
  FWake.notify_all();
  return id;
}

void TtvqEventLoop::StopTimer(TTimerId aTimer) {
  std::lock_guard guard(FLock);
  FTimers.erase(aTimer);
}

void TtvqEventLoop::Invoke(const TCall& aCall) {
  try {
    aCall();
  } catch (...) {
    if (OnException) {
      OnException(std::current_exception());
      return;
    }
    try {
      throw;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "Error: unknown\n");
    }
  }
}

// Runs one due call or timer tick with the lock released; false when
// nothing was due.
bool TtvqEventLoop::RunOne(std::unique_lock<std::mutex>& aLock) {
  if (!FCalls.empty()) {
    TCall call = std::move(FCalls.front());
    FCalls.pop_front();
    aLock.unlock();
    Invoke(call);
    aLock.lock();
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  for (auto& [id, timer] : FTimers) {
    if (timer.Next > now) continue;
    timer.Next = now + std::chrono::milliseconds(timer.Interval);
    TCall tick = timer.Tick;  // the timer may be stopped by its own tick
    aLock.unlock();
    Invoke(tick);
    aLock.lock();
    return true;
  }
  return false;
}

void TtvqEventLoop::Run() {
  std::unique_lock lock(FLock);
  FMainThread = std::this_thread::get_id();
  FFinished = false;
  FRunning = true;
  while (!FQuit) {
    if (RunOne(lock)) continue;
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto& [id, timer] : FTimers) next = std::min(next, timer.Next);
    if (next == std::chrono::steady_clock::time_point::max())
      FWake.wait(lock);
    else
      FWake.wait_until(lock, next);
  }
  while (!FCalls.empty()) RunOne(lock);
  FFinished = true;
  FRunning = false;
  FQuit = false;
}

bool TtvqEventLoop::Running() const {
  std::lock_guard guard(FLock);
  return FRunning;
}

void TtvqEventLoop::ProcessPending() {
  std::unique_lock lock(FLock);
  FMainThread = std::this_thread::get_id();
  std::size_t count = FCalls.size();  // calls queued by these calls wait for the next round
  while (count-- > 0 && !FCalls.empty()) {
    TCall call = std::move(FCalls.front());
    FCalls.pop_front();
    lock.unlock();
    Invoke(call);
    lock.lock();
  }
}

void TtvqEventLoop::Quit() {
  {
    std::lock_guard guard(FLock);
    FQuit = true;
  }
  FWake.notify_all();
}

bool TtvqEventLoop::ShellExecute(const std::string& /*aOperation*/, const std::string& aFile,
                                 const std::string& aParameters) {
  return tvqStartProgram(aFile, aParameters);
}

int tvqStopSignalDescriptor() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_CLOEXEC);
}

bool tvqStartProgram(const std::string& aProgram, const std::string& aArgument) {
  std::string program = aProgram, argument = aArgument;
  char* argv[] = {program.data(), argument.empty() ? nullptr : argument.data(), nullptr};
  pid_t child;
  if (posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  // The program runs on; its exit is collected so that it leaves no zombie.
  std::thread([child] {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

std::thread tvqQuitOnStopSignal(TtvqEventLoop& aLoop, int aDescriptor) {
  return std::thread([&aLoop, aDescriptor] {
    pollfd wait{aDescriptor, POLLIN, 0};
    while (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
    aLoop.Queue([&aLoop] { aLoop.Quit(); });
  });
}
