#include "tvqNetCustomTCPServer.h"

#include <utility>

#include "tvqNetSchedulerOfThread.h"
#include "tvqNetTLS.h"

// ---------------------------------------------------------------- connections per address

bool TNetPeerTable::Enter(const std::string& aAddress, int aLimit, bool& aFirst) {
  std::lock_guard guard(FLock);
  TEntry& entry = FEntries[aAddress];
  if (aLimit > 0 && entry.Count >= aLimit) {
    aFirst = !std::exchange(entry.Refused, true);
    return false;
  }
  ++entry.Count;
  entry.Refused = false;
  return true;
}

void TNetPeerTable::Leave(const std::string& aAddress) {
  std::lock_guard guard(FLock);
  const auto it = FEntries.find(aAddress);
  if (it != FEntries.end() && --it->second.Count <= 0) FEntries.erase(it);
}

int TNetPeerTable::Count(const std::string& aAddress) {
  std::lock_guard guard(FLock);
  const auto it = FEntries.find(aAddress);
  return it == FEntries.end() ? 0 : it->second.Count;
}

// ---------------------------------------------------------------- bindings

TNetSocketHandle& TNetSocketHandles::Add() {
  FItems.push_back(std::make_unique<TNetSocketHandle>());
  FItems.back()->Port = DefaultPort;
  return *FItems.back();
}

// ---------------------------------------------------------------- contexts

TNetContext::TNetContext(std::unique_ptr<TNetTCPConnection> aConnection, TtvqThreadList<TNetContext>& aContexts,
                         TNetYarn* aYarn)
    : FConnection(std::move(aConnection)), FContexts(aContexts), FYarn(aYarn) {}

TNetContext::~TNetContext() {
  FContexts.Remove(this);
  FData.reset();
  FConnection.reset();  // closes the socket
}

TNetSocketHandle* TNetContext::Binding() const {
  return FConnection && FConnection->Socket() ? &FConnection->Socket()->Binding() : nullptr;
}

TNetServerContext::TNetServerContext(std::unique_ptr<TNetTCPConnection> aConnection,
                                     TtvqThreadList<TNetContext>& aContexts, TNetYarn* aYarn,
                                     TNetCustomTCPServer& aServer)
    : TNetContext(std::move(aConnection), aContexts, aYarn), FServer(aServer) {}

void TNetServerContext::DoBeforeRun() {
  FContexts.Add(this);
  // Accepted just as a stop began: the stop's walk of Contexts may have
  // missed it, so it disconnects itself.
  if (FServer.Stopping()) Connection().Disconnect(false);
  FServer.DoConnect(*this);
}

bool TNetServerContext::DoRun() { return FServer.DoExecute(*this); }

void TNetServerContext::DoAfterRun() {
  struct LeaveContexts {
    TNetServerContext& context;
    ~LeaveContexts() { context.FContexts.Remove(&context); }
  } leave{*this};
  FServer.DoDisconnect(*this);
}

void TNetServerContext::DoException(std::exception_ptr aError) { FServer.DoException(*this, aError); }

// ---------------------------------------------------------------- listener

TNetListenerThread::TNetListenerThread(TNetCustomTCPServer& aServer, TNetSocketHandle& aBinding, std::string aName)
    : TNetThread(std::move(aName), true), FServer(aServer), FBinding(aBinding) {}

TNetListenerThread::~TNetListenerThread() {
  Stop();
  WaitFor();
}

void TNetListenerThread::BeforeRun() {
  if (FServer.OnBeforeListenerRun) FServer.OnBeforeListenerRun(*this);
}

void TNetListenerThread::Run() { FServer.ListenOnce(*this); }

// ---------------------------------------------------------------- TNetCustomTCPServer

TNetCustomTCPServer::TNetCustomTCPServer() = default;

TNetCustomTCPServer::~TNetCustomTCPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TNetCustomTCPServer::SetScheduler(TNetScheduler* aScheduler) {
  if (FActive) throw ENetCannotChangeScheduler();
  FImplicitScheduler.reset();
  FScheduler = aScheduler;
}

void TNetCustomTCPServer::SetIOHandler(TNetServerIOHandler* aIOHandler) {
  if (FActive) throw ENetException("Cannot change the IOHandler while the server is Active.");
  FImplicitIOHandler.reset();
  FIOHandler = aIOHandler;
}

void TNetCustomTCPServer::SetActive(bool aValue) {
  if (aValue == FActive) return;
  if (!aValue) {
    std::exception_ptr error;
    FStopping = true;
    TtvqClearOnExit stopEnds(FStopping);
    StopListening();
    try {
      // Without telling the peers: each connection thread then finds its
      // socket closed at its next look.
      auto contexts = Contexts.Lock();
      for (TNetContext* context : *contexts) context->Connection().Disconnect(false);
    } catch (...) {
      error = std::current_exception();
    }
    TerminateAllThreads();
    if (FIOHandler) FIOHandler->Shutdown();
    FActive = false;
    Shutdown();
    if (error) std::rethrow_exception(error);
    return;
  }

  CheckOkToBeActive();
  try {
    if (Bindings.IsEmpty()) {
      Bindings.Add();
      if (NetIPv6Available()) Bindings.Add().SetIPVersion(Net_IPv6);
    }
    if (!FIOHandler) {
      FImplicitIOHandler = std::make_unique<TNetServerIOHandlerStack>();
      FIOHandler = FImplicitIOHandler.get();
    }
    FIOHandler->Init();
    if (!FScheduler) {
      FImplicitScheduler = std::make_unique<TNetSchedulerOfThreadDefault>();
      FImplicitScheduler->Name = Name + "Scheduler";
      FScheduler = FImplicitScheduler.get();
    }
    FScheduler->Init();
    StartListening();
  } catch (...) {
    FActive = true;
    try {
      SetActive(false);
    } catch (...) {
    }
    throw;
  }
  FActive = true;
  Startup();
}

void TNetCustomTCPServer::StartListening() {
  TtvqLock guard(FListenersLock);
  std::vector<std::size_t> ready;  // indexes of the bindings set up in this pass
  try {
    for (std::size_t i = 0; i < Bindings.Count(); ++i) {
      TNetSocketHandle& binding = Bindings[i];
      if (binding.HandleAllocated()) continue;  // it has its listener
      binding.AllocateSocket();
      ready.push_back(i);
      if (ReuseSocket != rsOSDependent) binding.ReuseSocket = ReuseSocket;
      if (OnBeforeBind) OnBeforeBind(binding);
      binding.Bind();
      binding.UseNagle = UseNagle;
      binding.ApplyNagle();
    }
  } catch (...) {
    for (std::size_t i : ready) Bindings[i].Release();
    throw;
  }
  if (!ready.empty() && OnAfterBind) OnAfterBind(*this);

  const std::string prefix = Name.empty() ? "NetCustomTCPServer" : Name;
  for (std::size_t n = 0; n < ready.size(); ++n) {
    TNetSocketHandle& binding = Bindings[ready[n]];
    try {
      binding.Listen(ListenQueue);
      FListeners.push_back(std::make_unique<TNetListenerThread>(
          *this, binding, prefix + " Listener #" + std::to_string(ready[n] + 1)));
      // Listener threads would run at the highest priority where the
      // platform lets an ordinary process raise it; Linux does not.
      FListeners.back()->Start();
    } catch (...) {
      for (std::size_t m = n; m < ready.size(); ++m) Bindings[ready[m]].Release();
      throw;
    }
  }
}

void TNetCustomTCPServer::StopListening() {
  TtvqLock guard(FListenersLock);
  for (auto& listener : FListeners) {
    listener->Stop();
    listener->Binding().CloseSocket();  // wakes an accept wait at once
    listener->WaitFor();
    listener->Binding().Release();
    listener.reset();
  }
  FListeners.clear();
}

void TNetCustomTCPServer::TerminateAllThreads() {
  if (FScheduler) FScheduler->TerminateAllYarns();
  if (FImplicitScheduler) {
    FImplicitScheduler.reset();
    FScheduler = nullptr;
  }
}

void TNetCustomTCPServer::ListenOnce(TNetListenerThread& aListener) {
  TNetYarn* yarn = nullptr;
  try {
    // The thread for the next connection exists before the accept begins.
    yarn = FScheduler->AcquireYarn();
    std::unique_ptr<TNetIOHandlerSocket> handler =
        FIOHandler->Accept(aListener.Binding(), aListener, [this] { FScheduler->ReapFinished(); });
    if (!handler) {
      FScheduler->TerminateYarn(std::exchange(yarn, nullptr));
      aListener.Stop();
      return;
    }
    auto connection = std::make_unique<TNetTCPConnection>(PrepareIOHandler(std::move(handler)));
    if (MaxConnections > 0 && Contexts.Lock()->size() >= static_cast<std::size_t>(MaxConnections)) {
      Refuse(*connection, nrMaxConnections, !FFullReported.exchange(true));
      FScheduler->TerminateYarn(std::exchange(yarn, nullptr));
      return;
    }
    // Counted from here, before the connection's thread runs, so that a
    // burst from one address cannot slip past the cap.
    std::unique_ptr<TNetPeerPlace> place;
    if (MaxConnectionsPerAddress > 0) {
      const std::string& peer = connection->IOHandler()->Binding().PeerIP;
      bool first = false;
      if (!FPeers->Enter(peer, MaxConnectionsPerAddress, first)) {
        Refuse(*connection, nrMaxConnectionsPerAddress, first);
        FScheduler->TerminateYarn(std::exchange(yarn, nullptr));
        return;
      }
      place = std::make_unique<TNetPeerPlace>(FPeers, peer);
    }
    FFullReported = false;
    auto context = std::make_unique<TNetServerContext>(std::move(connection), Contexts, yarn, *this);
    context->PeerPlace = std::move(place);
    if (OnContextCreated) OnContextCreated(*context);
    FScheduler->StartYarn(std::exchange(yarn, nullptr), std::move(context));
  } catch (...) {
    if (yarn) FScheduler->TerminateYarn(yarn);
    if (OnListenException) {
      try {
        OnListenException(aListener, std::current_exception());
      } catch (...) {
      }
    }
    // Only this connection is lost; a short pause keeps a failure that
    // repeats (no thread to be had) from spinning.
    aListener.WaitForStop(100);
  }
}

// Refused: no context, no hooks. The refusal is told before the socket
// closes, so that whoever sees the close also finds it counted.
void TNetCustomTCPServer::Refuse(TNetTCPConnection& aConnection, TNetRefusal aWhy, bool aFirst) {
  if (OnRefused) {
    const TNetSocketHandle& peer = aConnection.IOHandler()->Binding();
    try {
      OnRefused(aWhy, peer.PeerIP, peer.PeerPort, aFirst);
    } catch (...) {
    }
  }
  aConnection.Disconnect(true);
}

void TNetCustomTCPServer::Startup() {}
void TNetCustomTCPServer::Shutdown() {}

void TNetCustomTCPServer::DoConnect(TNetContext& aContext) {
  if (OnConnect) OnConnect(aContext);
}

bool TNetCustomTCPServer::DoExecute(TNetContext& aContext) { return aContext.Connection().Connected(); }

void TNetCustomTCPServer::DoDisconnect(TNetContext& aContext) {
  if (OnDisconnect) OnDisconnect(aContext);
}

void TNetCustomTCPServer::DoException(TNetContext& aContext, std::exception_ptr aError) {
  if (OnException) OnException(aContext, aError);
}

// ---------------------------------------------------------------- TNetTCPServer

TNetTCPServer::~TNetTCPServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TNetTCPServer::CheckOkToBeActive() {
  if (!OnExecute) throw ENetTCPNoOnExecute();
}

bool TNetTCPServer::DoExecute(TNetContext& aContext) {
  OnExecute(aContext);
  return aContext.Connection().Connected();
}

// ---------------------------------------------------------------- TtvqWSCustomServer

TtvqWSCustomServer::~TtvqWSCustomServer() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TtvqWSCustomServer::SetTLS(std::shared_ptr<TtvqTLSContext> aContext) {
  std::lock_guard guard(FTLSLock);
  FTLS = std::move(aContext);
}

std::shared_ptr<TtvqTLSContext> TtvqWSCustomServer::TLS() const {
  std::lock_guard guard(FTLSLock);
  return FTLS;
}

// Only the session is made here (memory, no I/O): the handshake runs on the
// connection's own thread as its first input comes, within its first
// request's deadline.
std::unique_ptr<TNetIOHandlerSocket> TtvqWSCustomServer::PrepareIOHandler(
    std::unique_ptr<TNetIOHandlerSocket> aAccepted) {
  std::shared_ptr<TtvqTLSContext> context = TLS();
  if (!context) return aAccepted;
  bool useSSL = true;
  if (OnQuerySSLPort) OnQuerySSLPort(aAccepted->Binding().Port, useSSL);
  if (!useSSL) return aAccepted;
  return std::make_unique<TNetIOHandlerTLS>(*aAccepted, std::move(context));
}

void TtvqWSCustomServer::Startup() {
  if (OnStartup) OnStartup(*this);
}

void TtvqWSCustomServer::Shutdown() {
  if (OnShutdown) OnShutdown(*this);
}
