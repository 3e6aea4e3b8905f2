// Internal to the library: the threads of the transport; only its own units
// include it. A TNetThread owns one OS thread, which exists from
// construction on but waits ("suspended") until Start; the body calls no
// virtual operation before then.
// Its body runs BeforeRun, then Run again and again while looping and not
// stopped, then AfterRun (always), then Cleanup; an exception from BeforeRun
// or Run ends the loop and is reported through HandleException; Finished
// comes last, after which the body touches the object no more.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TNetThread {
 public:
  TNetThread(std::string aName, bool aLoop);
  TNetThread(const TNetThread&) = delete;
  TNetThread& operator=(const TNetThread&) = delete;
  // Stops and joins. A subclass whose body may still be running must do
  // the same in its own destructor, before its part of the object goes.
  virtual ~TNetThread();

  const std::string& Name() const { return FName; }
  bool Loop() const { return FLoop; }

  // Lets the suspended thread run its body.
  void Start();
  // Asks the body to end after the current Run; a thread never started
  // ends without running its body.
  void Stop();
  bool Stopped() const;
  bool Started() const;
  // Sleeps up to aMs, waking early when the thread is stopped; true then.
  bool WaitForStop(int aMs);
  // Waits for the OS thread to end.
  void WaitFor();

 protected:
  virtual void BeforeRun() {}
  virtual void Run() = 0;
  virtual void AfterRun() {}
  virtual void Cleanup() {}
  virtual void HandleException(std::exception_ptr /*aError*/) {}
  virtual void Finished() {}

 private:
  void Execute();

  const std::string FName;
  const bool FLoop;
  mutable std::mutex FLock;  // guards the flags below
  std::condition_variable FWake;
  bool FStarted = false;
  bool FStopped = false;
  std::thread FThread;  // last: starts once everything above exists
};

// The unit of work a thread runs: a connection's context.
class TNetTask {
 public:
  virtual ~TNetTask() = default;
  virtual void DoBeforeRun() {}
  // False ends the thread's loop.
  virtual bool DoRun() = 0;
  virtual void DoAfterRun() {}
  virtual void DoException(std::exception_ptr /*aError*/) {}
};

// Names the calling OS thread (best effort: the platform keeps 15 bytes).
void NetSetThreadName(const std::string& aName);
