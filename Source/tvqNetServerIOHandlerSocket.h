// Internal to the library: the server side of the I/O handlers: it makes
// the I/O handler of each connection and performs the accept. Only the
// transport's own units include it.
#pragma once

#include <functional>
#include <memory>

#include "tvqNetIOHandlerStack.h"
#include "tvqNetThread.h"

class TNetServerIOHandler {
 public:
  virtual ~TNetServerIOHandler() = default;
  virtual void Init() {}
  virtual void Shutdown() {}
  // Waits in 250 ms slices for a connection on aListener until one is
  // accepted or aThread is stopped; none when it gave up. aEachSlice runs
  // after every slice that brought nothing.
  virtual std::unique_ptr<TNetIOHandlerSocket> Accept(TNetSocketHandle& aListener, TNetThread& aThread,
                                                      const std::function<void()>& aEachSlice = {}) = 0;
};

class TNetServerIOHandlerSocket : public TNetServerIOHandler {};

class TNetServerIOHandlerStack : public TNetServerIOHandlerSocket {
 public:
  static constexpr int kAcceptSliceMs = 250;
  std::unique_ptr<TNetIOHandlerSocket> Accept(TNetSocketHandle& aListener, TNetThread& aThread,
                                              const std::function<void()>& aEachSlice = {}) override;
};
