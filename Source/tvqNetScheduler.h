// Internal to the library: the replaceable object that gives every accepted
// connection a slot ("yarn") to run on. Only the transport's own units
// include it.
#pragma once

#include <memory>
#include <string>

#include "tvqNetGlobal.h"
#include "tvqNetThread.h"
#include "tvqWebSocket_Classes_SyncObjs.h"

class TNetScheduler;

// One slot of a scheduler.
class TNetYarn {
 public:
  explicit TNetYarn(TNetScheduler& aScheduler) : FScheduler(aScheduler) {}
  virtual ~TNetYarn() = default;
  TNetScheduler& Scheduler() const { return FScheduler; }

 private:
  TNetScheduler& FScheduler;
};

class TNetScheduler {
 public:
  TNetScheduler() = default;
  TNetScheduler(const TNetScheduler&) = delete;
  TNetScheduler& operator=(const TNetScheduler&) = delete;
  virtual ~TNetScheduler() = default;

  std::string Name;

  virtual void Init() {}
  // A slot whose thread exists and waits for its task.
  virtual TNetYarn* AcquireYarn() = 0;
  // Hands the task to the slot's thread and lets it run; the thread owns it.
  virtual void StartYarn(TNetYarn* aYarn, std::unique_ptr<TNetTask> aTask) = 0;
  // Gives back a slot that was never started, with its thread.
  virtual void TerminateYarn(TNetYarn* aYarn) = 0;
  // Stops every running slot and returns once all of them have ended.
  virtual void TerminateAllYarns() = 0;
  // Joins and destroys the threads whose task has ended.
  virtual void ReapFinished() {}

  // The slots in use.
  TtvqThreadList<TNetYarn> ActiveYarns;
};
