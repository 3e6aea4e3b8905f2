// The platform operations of the Qt front end: calls queued to the main
// thread through the Qt event loop (the synchronous form waits), timers as
// QTimers, program launch. An error that escapes a call goes to OnException.
#pragma once

#include <QObject>
#include <QTimer>

#include <exception>
#include <functional>
#include <map>

#include "tvqWebSocket_Platform.h"

class TQtPlatform : public QObject, public ItvqPlatform {
  Q_OBJECT

 public:
  TQtPlatform() = default;
  ~TQtPlatform() override;

  std::function<void(std::exception_ptr)> OnException;

  void Queue(TCall aCall) override;
  void Synchronize(TCall aCall) override;
  bool IsMainThread() const override;
  TTimerId StartTimer(int aIntervalMs, TCall aTick) override;
  void StopTimer(TTimerId aTimer) override;
  bool ShellExecute(const std::string& aOperation, const std::string& aFile, const std::string& aParameters) override;

 private:
  void Invoke(const TCall& aCall);

  std::map<TTimerId, QTimer*> FTimers;  // main thread only
  TTimerId FNextTimer = 1;
};
