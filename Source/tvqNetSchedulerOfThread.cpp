#include "tvqNetSchedulerOfThread.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------- TNetThreadWithTask

TNetThreadWithTask::TNetThreadWithTask(TNetSchedulerOfThread& aScheduler, std::string aName)
    : TNetThread(std::move(aName), true), FScheduler(aScheduler), FYarn(aScheduler, *this) {}

TNetThreadWithTask::~TNetThreadWithTask() {
  Stop();
  WaitFor();
}

void TNetThreadWithTask::BeforeRun() {
  if (FTask) FTask->DoBeforeRun();
}

void TNetThreadWithTask::Run() {
  if (!FTask || !FTask->DoRun()) Stop();
}

void TNetThreadWithTask::AfterRun() {
  if (FTask) FTask->DoAfterRun();
}

void TNetThreadWithTask::HandleException(std::exception_ptr aError) {
  if (FTask) FTask->DoException(aError);
}

void TNetThreadWithTask::Finished() {
  FTask.reset();  // the context goes on its own thread, and with it the socket
  FScheduler.ReleaseYarn(FYarn);
}

// ---------------------------------------------------------------- TNetSchedulerOfThread

TNetSchedulerOfThread::~TNetSchedulerOfThread() {
  TerminateAllYarns();
  // Join every thread while the lists they report to still exist.
  std::vector<std::unique_ptr<TNetThreadWithTask>> threads;
  {
    std::lock_guard guard(FThreadsLock);
    threads.swap(FThreads);
    FFinished.clear();
  }
  threads.clear();
}

TNetYarn* TNetSchedulerOfThread::AcquireYarn() {
  ReapFinished();
  {
    auto yarns = ActiveYarns.Lock();
    if (MaxThreads > 0 && yarns->size() >= static_cast<std::size_t>(MaxThreads) + 1)
      throw ENetSchedulerMaxThreadsExceeded();
  }
  auto thread = std::make_unique<TNetThreadWithTask>(*this, Name + " User");
  TNetYarn* yarn = &thread->Yarn();
  {
    std::lock_guard guard(FThreadsLock);
    FThreads.push_back(std::move(thread));
  }
  ActiveYarns.Add(yarn);
  return yarn;
}

void TNetSchedulerOfThread::StartYarn(TNetYarn* aYarn, std::unique_ptr<TNetTask> aTask) {
  TNetThreadWithTask& thread = static_cast<TNetYarnOfThread*>(aYarn)->Thread();
  thread.SetTask(std::move(aTask));
  thread.Start();
}

std::unique_ptr<TNetThreadWithTask> TNetSchedulerOfThread::TakeThread(TNetThreadWithTask& aThread) {
  std::lock_guard guard(FThreadsLock);
  const auto it = std::find_if(FThreads.begin(), FThreads.end(), [&](const auto& t) { return t.get() == &aThread; });
  if (it == FThreads.end()) return nullptr;
  std::unique_ptr<TNetThreadWithTask> taken = std::move(*it);
  FThreads.erase(it);
  return taken;
}

void TNetSchedulerOfThread::TerminateYarn(TNetYarn* aYarn) {
  TNetThreadWithTask& thread = static_cast<TNetYarnOfThread*>(aYarn)->Thread();
  ActiveYarns.Remove(aYarn);
  TakeThread(thread).reset();  // stops the never-started thread and joins it
}

void TNetSchedulerOfThread::ReleaseYarn(TNetYarnOfThread& aYarn) {
  {
    // One step: whoever sees the slot gone also finds the thread to join.
    std::lock_guard guard(FThreadsLock);
    FFinished.push_back(&aYarn.Thread());
    ActiveYarns.Remove(&aYarn);
  }
  FYarnReleased.notify_all();
}

void TNetSchedulerOfThread::ReapFinished() {
  std::vector<TNetThreadWithTask*> finished;
  {
    std::lock_guard guard(FThreadsLock);
    finished.swap(FFinished);
  }
  for (TNetThreadWithTask* thread : finished) TakeThread(*thread).reset();
}

void TNetSchedulerOfThread::TerminateAllYarns() {
  while (true) {
    std::vector<TNetThreadWithTask*> neverStarted;
    {
      auto yarns = ActiveYarns.Lock();
      if (yarns->empty()) break;
      for (auto it = yarns->rbegin(); it != yarns->rend(); ++it) {
        TNetThreadWithTask& thread = static_cast<TNetYarnOfThread*>(*it)->Thread();
        if (thread.Started())
          thread.Stop();  // it gives its slot back when it ends
        else
          neverStarted.push_back(&thread);
      }
    }
    for (TNetThreadWithTask* thread : neverStarted) TerminateYarn(&thread->Yarn());
    std::unique_lock guard(FThreadsLock);
    FYarnReleased.wait_for(guard, std::chrono::milliseconds(500),
                           [this] { return ActiveYarns.IsEmpty(); });
  }
  ReapFinished();
}
