// Public: the operations the library needs from the program's platform: a
// main thread that runs queued calls in the order they were queued, timers
// that fire on it, and the shell launch of a program. The Qt window
// implements them with its event loop; TtvqEventLoop implements them for
// the headless front end and for tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class ItvqPlatform {
 public:
  using TCall = std::function<void()>;
  using TTimerId = std::uint64_t;

  virtual ~ItvqPlatform() = default;

  // Runs aCall later on the main thread; never waits.
  virtual void Queue(TCall aCall) = 0;
  // Runs aCall on the main thread and waits for it; on the main thread
  // itself it runs at once (waiting there would never end).
  virtual void Synchronize(TCall aCall) = 0;
  virtual bool IsMainThread() const = 0;

  // Calls aTick on the main thread every aIntervalMs until stopped.
  virtual TTimerId StartTimer(int aIntervalMs, TCall aTick) = 0;
  virtual void StopTimer(TTimerId aTimer) = 0;

  // Performs aOperation ("open") on aFile, a program found on the search
  // path, with aParameters as its one argument, without waiting for it;
  // false when it could not be started.
  virtual bool ShellExecute(const std::string& aOperation, const std::string& aFile,
                            const std::string& aParameters) = 0;
};

// Starts aProgram (looked up on the search path) with aArgument as its one
// argument (none when empty), without waiting; false when it could not be
// started.
bool tvqStartProgram(const std::string& aProgram, const std::string& aArgument);

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it
// starts afterwards, and returns a descriptor that becomes readable when one
// of them arrives (-1 when none could be made). Called first thing in main,
// it turns the stop signals into an event a thread can wait for.
int tvqStopSignalDescriptor();

// The platform of the process, set by the front end before any component
// is made; none until then.
ItvqPlatform* tvqPlatform();
void tvqSetPlatform(ItvqPlatform* aPlatform);

// Writes which operation ran off the main thread, and where, to standard
// error and aborts the process.
[[noreturn]] void tvqMainThreadViolated(const char* aFile, int aLine, const char* aFunction);

// Marks an operation that runs on the main thread only. In a debug build
// (NDEBUG not defined) and in the sanitizer builds (TICKERHALL_THREAD_CHECKS)
// it stops the process when the calling thread is not the main thread of
// aPlatform (null: the process's platform); it does nothing when no
// platform is installed, and nothing at all in other builds. A macro, for
// the caller's file, line and function (std::source_location is not there
// for every compiler the tree builds with).
#if !defined(NDEBUG) || defined(TICKERHALL_THREAD_CHECKS)
#define tvqAssertMainThread(aPlatform) tvqCheckMainThread((aPlatform), __FILE__, __LINE__, __func__)
#else
#define tvqAssertMainThread(aPlatform) ((void)0)
#endif

inline void tvqCheckMainThread(const ItvqPlatform* aPlatform, const char* aFile, int aLine, const char* aFunction) {
  const ItvqPlatform* platform = aPlatform ? aPlatform : tvqPlatform();
  if (platform && !platform->IsMainThread()) tvqMainThreadViolated(aFile, aLine, aFunction);
}

// A main-thread loop without a window: the thread that calls Run is the
// main thread until Run returns.
class TtvqEventLoop : public ItvqPlatform {
 public:
  TtvqEventLoop();
  ~TtvqEventLoop() override;

  // What a failing call or tick raised goes here, and the loop goes on;
  // without a handler it is written to standard error.
  std::function<void(std::exception_ptr)> OnException;

  // Runs queued calls and timers until Quit; then runs what is still
  // queued and returns.
  void Run();
  // Runs the calls queued so far, on the calling thread (which becomes the
  // main thread); for single-threaded use.
  void ProcessPending();
  void Quit();
  // Whether a thread is inside Run.
  bool Running() const;

  void Queue(TCall aCall) override;
  void Synchronize(TCall aCall) override;
  bool IsMainThread() const override;
  TTimerId StartTimer(int aIntervalMs, TCall aTick) override;
  void StopTimer(TTimerId aTimer) override;
  // Starts aFile with aParameters; a helper thread reaps it.
  bool ShellExecute(const std::string& aOperation, const std::string& aFile,
                    const std::string& aParameters) override;

 private:
  struct TTimer {
    int Interval;
    TCall Tick;
    std::chrono::steady_clock::time_point Next;
  };

  bool RunOne(std::unique_lock<std::mutex>& aLock);
  void Invoke(const TCall& aCall);

  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TCall> FCalls;
  std::map<TTimerId, TTimer> FTimers;
  TTimerId FNextTimer = 1;
  bool FQuit = false;
  bool FFinished = false;
  bool FRunning = false;
  std::thread::id FMainThread;
};

// A thread that quits aLoop once aDescriptor (tvqStopSignalDescriptor) is
// readable; join it after the loop has returned.
std::thread tvqQuitOnStopSignal(TtvqEventLoop& aLoop, int aDescriptor);
