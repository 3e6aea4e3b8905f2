// Public (part of the transport, but its tests include it, and
// tvqWebSocket_Server.h builds on it): the TCP server: listening sockets, one
// listener thread per binding, and one thread per accepted connection, which
// calls OnConnect once, OnExecute over and over while the peer is connected,
// and OnDisconnect once at the end, all on the connection's own thread.
//
// Start and stop are synchronous. Stop returns once every connection thread
// has run OnDisconnect and ended; no thread outlives the server.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tvqNetGlobal.h"
#include "tvqNetIOHandlerStack.h"
#include "tvqNetScheduler.h"
#include "tvqNetServerIOHandlerSocket.h"
#include "tvqNetThread.h"

class TNetCustomTCPServer;

// ---------------------------------------------------------------- connections per address

// How many connections each peer address holds, from accept until its
// context is destroyed. Shared with the contexts, which may outlive the
// server by a moment.
class TNetPeerTable {
 public:
  // Takes a place for aAddress unless it holds aLimit already. A refusal
  // sets aFirst when it is the first since the address last got a place, so
  // that a flood from one address is reported once, not per connection.
  bool Enter(const std::string& aAddress, int aLimit, bool& aFirst);
  void Leave(const std::string& aAddress);
  int Count(const std::string& aAddress);

 private:
  struct TEntry {
    int Count = 0;
    bool Refused = false;
  };
  std::mutex FLock;
  std::unordered_map<std::string, TEntry> FEntries;
};

// One connection's place in the table, given back when it goes.
class TNetPeerPlace {
 public:
  TNetPeerPlace(std::shared_ptr<TNetPeerTable> aTable, std::string aAddress)
      : FTable(std::move(aTable)), FAddress(std::move(aAddress)) {}
  TNetPeerPlace(const TNetPeerPlace&) = delete;
  TNetPeerPlace& operator=(const TNetPeerPlace&) = delete;
  ~TNetPeerPlace() { FTable->Leave(FAddress); }

 private:
  std::shared_ptr<TNetPeerTable> FTable;
  std::string FAddress;
};

// Why the listener closed a connection at once.
enum TNetRefusal {
  nrMaxConnections,            // MaxConnections connections are open
  nrMaxConnectionsPerAddress,  // its address holds MaxConnectionsPerAddress
};

// ---------------------------------------------------------------- bindings

// The local addresses to listen on. A new binding takes DefaultPort.
class TNetSocketHandles {
 public:
  int DefaultPort = 0;

  TNetSocketHandle& Add();
  std::size_t Count() const { return FItems.size(); }
  bool IsEmpty() const { return FItems.empty(); }
  TNetSocketHandle& operator[](std::size_t aIndex) const { return *FItems.at(aIndex); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TNetSocketHandle>> FItems;
};

// ---------------------------------------------------------------- contexts

// One accepted connection as the server sees it. It owns its TCP connection
// and, when set through SetData with ownership, its Data.
class TNetContext : public TNetTask {
 public:
  TNetContext(std::unique_ptr<TNetTCPConnection> aConnection, TtvqThreadList<TNetContext>& aContexts,
              TNetYarn* aYarn);
  ~TNetContext() override;

  TNetTCPConnection& Connection() const { return *FConnection; }
  TNetYarn* Yarn() const { return FYarn; }
  // The connection's socket handle, or none.
  TNetSocketHandle* Binding() const;

  // Free for the server's user. Data set with ownership is destroyed with
  // the context when still set then; ClearData forgets it without that.
  // It changes under the Contexts lock, so a thread that walks the
  // contexts under that lock reads it safely.
  void* Data() const { return FData.get(); }
  template <class T>
  void SetData(std::unique_ptr<T> aData) {
    auto held = FContexts.Lock();
    FData = DataHolder(aData.release(), [](void* p) { delete static_cast<T*>(p); });
  }
  void SetDataRef(void* aData) {
    auto held = FContexts.Lock();
    FData = DataHolder(aData, [](void*) {});
  }
  void ClearData() {
    auto held = FContexts.Lock();
    FData = DataHolder(nullptr, [](void*) {});
  }

 protected:
  using DataHolder = std::unique_ptr<void, void (*)(void*)>;

  std::unique_ptr<TNetTCPConnection> FConnection;
  TtvqThreadList<TNetContext>& FContexts;
  TNetYarn* FYarn;  // not owned
  DataHolder FData{nullptr, [](void*) {}};
};

// The context of a server connection: its steps are the server's.
class TNetServerContext : public TNetContext {
 public:
  TNetServerContext(std::unique_ptr<TNetTCPConnection> aConnection, TtvqThreadList<TNetContext>& aContexts,
                    TNetYarn* aYarn, TNetCustomTCPServer& aServer);

  TNetCustomTCPServer& Server() const { return FServer; }

  void DoBeforeRun() override;
  bool DoRun() override;
  void DoAfterRun() override;
  void DoException(std::exception_ptr aError) override;

  // Its place among the connections of its peer's address, when counted.
  std::unique_ptr<TNetPeerPlace> PeerPlace;

 private:
  TNetCustomTCPServer& FServer;
};

using TNetServerContextEvent = std::function<void(TNetContext&)>;
using TNetServerExceptionEvent = std::function<void(TNetContext&, std::exception_ptr)>;

// ---------------------------------------------------------------- listener

class TNetListenerThread : public TNetThread {
 public:
  TNetListenerThread(TNetCustomTCPServer& aServer, TNetSocketHandle& aBinding, std::string aName);
  ~TNetListenerThread() override;
  TNetSocketHandle& Binding() const { return FBinding; }

 protected:
  void BeforeRun() override;
  void Run() override;

 private:
  TNetCustomTCPServer& FServer;
  TNetSocketHandle& FBinding;
};

// ---------------------------------------------------------------- servers

class TNetCustomTCPServer {
 public:
  TNetCustomTCPServer();
  TNetCustomTCPServer(const TNetCustomTCPServer&) = delete;
  TNetCustomTCPServer& operator=(const TNetCustomTCPServer&) = delete;
  virtual ~TNetCustomTCPServer();

  std::string Name;

  bool Active() const { return FActive.load(std::memory_order_acquire); }
  // True from the start of a stop sequence to its end.
  bool Stopping() const { return FStopping.load(std::memory_order_acquire); }
  // Runs the start or the stop sequence on the caller's thread.
  void SetActive(bool aValue);

  TNetSocketHandles Bindings;
  int DefaultPort() const { return Bindings.DefaultPort; }
  void SetDefaultPort(int aPort) { Bindings.DefaultPort = aPort; }
  int ListenQueue = 15;
  int MaxConnections = 0;  // 0: no limit
  // Connections one peer address may hold at once (0: no limit); past it a
  // new connection is closed at once, as past MaxConnections.
  int MaxConnectionsPerAddress = 0;
  TNetReuseSocket ReuseSocket = rsOSDependent;
  bool UseNagle = true;

  // A scheduler or I/O handler assigned here is not owned; one made at
  // start is. Neither can change while the server is active.
  TNetScheduler* Scheduler() const { return FScheduler; }
  void SetScheduler(TNetScheduler* aScheduler);
  TNetServerIOHandler* IOHandler() const { return FIOHandler; }
  void SetIOHandler(TNetServerIOHandler* aIOHandler);

  // The live contexts; the list does not own them.
  TtvqThreadList<TNetContext> Contexts;

  TNetServerContextEvent OnContextCreated;
  TNetServerContextEvent OnConnect;
  TNetServerContextEvent OnDisconnect;
  TNetServerExceptionEvent OnException;
  std::function<void(TNetListenerThread&, std::exception_ptr)> OnListenException;
  std::function<void(TNetSocketHandle&)> OnBeforeBind;
  std::function<void(TNetCustomTCPServer&)> OnAfterBind;
  std::function<void(TNetListenerThread&)> OnBeforeListenerRun;
  // On the listener thread, for each connection closed at once by a limit;
  // aFirst for the first of a run (of the address, or while the server is
  // full), so that the run is reported once.
  std::function<void(TNetRefusal aWhy, const std::string& aPeerIP, int aPeerPort, bool aFirst)> OnRefused;
  // The connections aAddress holds (counted while MaxConnectionsPerAddress is set).
  int ConnectionsOf(const std::string& aAddress) { return FPeers->Count(aAddress); }

 protected:
  friend class TNetServerContext;
  friend class TNetListenerThread;

  virtual void CheckOkToBeActive() {}
  virtual void Startup();
  virtual void Shutdown();

  // The steps each connection thread runs.
  virtual void DoConnect(TNetContext& aContext);
  virtual bool DoExecute(TNetContext& aContext);
  virtual void DoDisconnect(TNetContext& aContext);
  virtual void DoException(TNetContext& aContext, std::exception_ptr aError);

  // One pass of a listener: take one connection in.
  void ListenOnce(TNetListenerThread& aListener);
  // On the listener thread, for each accepted connection before its thread
  // starts: the I/O handler it will use (the accepted one, or one that
  // takes its socket over).
  virtual std::unique_ptr<TNetIOHandlerSocket> PrepareIOHandler(std::unique_ptr<TNetIOHandlerSocket> aAccepted) {
    return aAccepted;
  }

 private:
  void StartListening();
  void StopListening();
  void TerminateAllThreads();
  // Closes a connection a limit refuses and reports it.
  void Refuse(TNetTCPConnection& aConnection, TNetRefusal aWhy, bool aFirst);

  std::atomic<bool> FActive{false};
  std::shared_ptr<TNetPeerTable> FPeers = std::make_shared<TNetPeerTable>();
  std::atomic<bool> FFullReported{false};  // a refusal while full was reported
  std::atomic<bool> FStopping{false};
  TNetScheduler* FScheduler = nullptr;  // owned when FImplicitScheduler
  std::unique_ptr<TNetScheduler> FImplicitScheduler;
  TNetServerIOHandler* FIOHandler = nullptr;  // owned when FImplicitIOHandler
  std::unique_ptr<TNetServerIOHandler> FImplicitIOHandler;
  TtvqCriticalSection FListenersLock;
  std::vector<std::unique_ptr<TNetListenerThread>> FListeners;
};

// Adds OnExecute, without which the server does not start.
class TNetTCPServer : public TNetCustomTCPServer {
 public:
  // Stops first, while OnExecute still exists for the threads that run it.
  ~TNetTCPServer() override;

  TNetServerContextEvent OnExecute;

 protected:
  void CheckOkToBeActive() override;
  bool DoExecute(TNetContext& aContext) override;
};

class TtvqTLSContext;

// The TCP server that the WebSocket server owns.
class TtvqWSCustomServer : public TNetTCPServer {
 public:
  ~TtvqWSCustomServer() override;

  std::function<void(TNetCustomTCPServer&)> OnStartup;
  std::function<void(TNetCustomTCPServer&)> OnShutdown;
  // Whether the connection on aPort uses TLS; never asked without TLS.
  // Unassigned: every connection uses TLS while a context is set.
  std::function<void(int aPort, bool& aUseSSL)> OnQuerySSLPort;

  // The certificate and key of TLS connections (none: no TLS). Replacing it
  // is safe at any time: a connection takes the context set when it is
  // accepted and keeps it to its end.
  void SetTLS(std::shared_ptr<TtvqTLSContext> aContext);
  std::shared_ptr<TtvqTLSContext> TLS() const;

 protected:
  void Startup() override;
  void Shutdown() override;
  std::unique_ptr<TNetIOHandlerSocket> PrepareIOHandler(std::unique_ptr<TNetIOHandlerSocket> aAccepted) override;

 private:
  mutable std::mutex FTLSLock;
  std::shared_ptr<TtvqTLSContext> FTLS;
};
