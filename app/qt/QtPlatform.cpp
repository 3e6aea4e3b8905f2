#include "QtPlatform.h"

#include <QCoreApplication>
#include <QThread>

TQtPlatform::~TQtPlatform() {
  if (tvqPlatform() == this) tvqSetPlatform(nullptr);
}

void TQtPlatform::Invoke(const TCall& aCall) {
  try {
    aCall();
  } catch (...) {
    if (OnException) OnException(std::current_exception());
  }
}

// Queued calls to one receiver run in the order they were queued.
void TQtPlatform::Queue(TCall aCall) {
  QMetaObject::invokeMethod(this, [this, call = std::move(aCall)] { Invoke(call); }, Qt::QueuedConnection);
}

void TQtPlatform::Synchronize(TCall aCall) {
  if (IsMainThread()) {
    Invoke(aCall);
    return;
  }
  QMetaObject::invokeMethod(this, [this, &aCall] { Invoke(aCall); }, Qt::BlockingQueuedConnection);
}

bool TQtPlatform::IsMainThread() const { return QThread::currentThread() == thread(); }

ItvqPlatform::TTimerId TQtPlatform::StartTimer(int aIntervalMs, TCall aTick) {
  TTimerId id = 0;
  Synchronize([&] {
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, tick = std::move(aTick)] { Invoke(tick); });
    timer->start(aIntervalMs);
    id = FNextTimer++;
    FTimers[id] = timer;
  });
  return id;
}

void TQtPlatform::StopTimer(TTimerId aTimer) {
  Synchronize([&] {
    const auto it = FTimers.find(aTimer);
    if (it == FTimers.end()) return;
    it->second->stop();
    it->second->deleteLater();
    FTimers.erase(it);
  });
}

bool TQtPlatform::ShellExecute(const std::string& /*aOperation*/, const std::string& aFile,
                               const std::string& aParameters) {
  return tvqStartProgram(aFile, aParameters);
}
