// Internal to the library: the scheduler that runs every connection on an
// OS thread of its own, made before the connection is accepted. Only the
// transport's own units include it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "tvqNetScheduler.h"

class TNetSchedulerOfThread;
class TNetThreadWithTask;

// A slot paired with the thread that runs it.
class TNetYarnOfThread : public TNetYarn {
 public:
  TNetYarnOfThread(TNetScheduler& aScheduler, TNetThreadWithTask& aThread)
      : TNetYarn(aScheduler), FThread(aThread) {}
  TNetThreadWithTask& Thread() const { return FThread; }

 private:
  TNetThreadWithTask& FThread;
};

// A thread that runs one task (a connection's context) and owns it. When
// the task is done and destroyed, the thread gives its slot back.
class TNetThreadWithTask : public TNetThread {
 public:
  TNetThreadWithTask(TNetSchedulerOfThread& aScheduler, std::string aName);
  ~TNetThreadWithTask() override;

  TNetYarnOfThread& Yarn() { return FYarn; }
  void SetTask(std::unique_ptr<TNetTask> aTask) { FTask = std::move(aTask); }

 protected:
  void BeforeRun() override;
  void Run() override;
  void AfterRun() override;
  void HandleException(std::exception_ptr aError) override;
  void Finished() override;

 private:
  TNetSchedulerOfThread& FScheduler;
  TNetYarnOfThread FYarn;
  std::unique_ptr<TNetTask> FTask;
};

class TNetSchedulerOfThread : public TNetScheduler {
 public:
  ~TNetSchedulerOfThread() override;

  int MaxThreads = 0;  // 0: no limit

  TNetYarn* AcquireYarn() override;
  void StartYarn(TNetYarn* aYarn, std::unique_ptr<TNetTask> aTask) override;
  void TerminateYarn(TNetYarn* aYarn) override;
  void TerminateAllYarns() override;

  // Called by a thread whose task has ended, as its very last step.
  void ReleaseYarn(TNetYarnOfThread& aYarn);

  void ReapFinished() override;

 private:
  std::unique_ptr<TNetThreadWithTask> TakeThread(TNetThreadWithTask& aThread);

  std::mutex FThreadsLock;  // guards the two lists and wakes TerminateAllYarns
  std::condition_variable FYarnReleased;
  std::vector<std::unique_ptr<TNetThreadWithTask>> FThreads;   // every thread made
  std::vector<TNetThreadWithTask*> FFinished;                  // done, to be joined
};

// The scheduler a server makes when none is assigned.
class TNetSchedulerOfThreadDefault : public TNetSchedulerOfThread {};
