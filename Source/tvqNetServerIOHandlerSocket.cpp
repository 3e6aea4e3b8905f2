#include "tvqNetServerIOHandlerSocket.h"

std::unique_ptr<TNetIOHandlerSocket> TNetServerIOHandlerStack::Accept(TNetSocketHandle& aListener,
                                                                      TNetThread& aThread) {
  auto handler = std::make_unique<TNetIOHandlerStack>();
  handler->Open();
  while (!aThread.Stopped() && aListener.HandleAllocated()) {
    if (!aListener.Select(kAcceptSliceMs) || aThread.Stopped()) continue;
    if (handler->Binding().Accept(aListener.Handle())) return handler;
  }
  return nullptr;
}
