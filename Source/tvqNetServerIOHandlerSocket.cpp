#include "tvqNetServerIOHandlerSocket.h"

std::unique_ptr<TNetIOHandlerSocket> TNetServerIOHandlerStack::Accept(TNetSocketHandle& aListener,
                                                                      TNetThread& aThread,
                                                                      const std::function<void()>& aEachSlice) {
  auto handler = std::make_unique<TNetIOHandlerStack>();
  handler->Open();
  while (!aThread.Stopped() && aListener.HandleAllocated()) {
    if (!aListener.Select(kAcceptSliceMs)) {
      if (aEachSlice) aEachSlice();
      continue;
    }
    if (aThread.Stopped()) continue;
    if (handler->Binding().Accept(aListener.Handle())) {
      // Accepted sockets take the listening socket's Nagle setting, whether
      // or not the platform carries it over.
      handler->Binding().UseNagle = aListener.UseNagle;
      handler->Binding().ApplyNagle();
      return handler;
    }
  }
  return nullptr;
}
