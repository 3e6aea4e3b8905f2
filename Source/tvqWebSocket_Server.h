// Public: the WebSocket server component (TtvqWebSocketServer) and its
// server-side connection (TtvqWSConnectionServer): configuration, start and
// stop, the intake of each connection's first request, the opening
// handshakes (RFC 6455 and Hixie-76), the built-in HTTP files, the HTTP
// posts, and the operations through which sub-protocols reach the clients.
// The requests themselves are read and judged in tvqWebSocket_Request; here
// they meet the sockets.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tvqNetCustomTCPServer.h"
#include "tvqWebSocket_Classes_Net.h"
#include "tvqWebSocket_Request.h"

// Asked during the opening handshake, on the connection's own thread, when the
// server has it: aUser and aPassword come from the request target's login
// path (both empty when it has none). Authenticated starts false; left false,
// the handshake completes and the connection is closed with 1008 at once,
// unreported ("Authentication failed", or "Login required" when no login
// was given).
using TtvqWSAuthenticationEvent = std::function<void(TtvqWSConnection*, const std::string& aUser,
                                                     const std::string& aPassword, bool& aAuthenticated)>;

class TtvqWSConnectionServer : public TtvqWSConnection_Net {
 public:
  TtvqWSHandShakeServer Handshake;
  std::string ServerOriginsAllowed;
  int AuthenticationCloseCode = 1000;
  std::string AuthenticationCloseReason;
  TtvqWSAuthenticationEvent OnAuthentication;  // the server's
  // When the transport accepted the connection.
  const std::chrono::steady_clock::time_point Accepted = std::chrono::steady_clock::now();
  // The heartbeat's state, the connection's own thread's: when input last
  // came, and whether the heartbeat has pinged since.
  std::chrono::steady_clock::time_point LastInput = Accepted;
  bool HeartBeatPinged = false;
  // The last sign that the peer is there: its input; on a Hixie-76
  // connection, which has no ping, also its socket taking our output (a
  // viewer that only receives is alive while it reads).
  std::chrono::steady_clock::time_point LastSignOfLife() const;

  std::string URL() const override { return Handshake.Get; }

  // Marks the connection usable: the handshake (or an accepted unknown
  // protocol) is done.
  void Enable() { SetEnabled(true); }
  // Writes an HTTP answer (or the handshake response) whole.
  void WriteResponse(const std::string& aBytes);

 protected:
  void DoHandshake() override;

 private:
  // Reads the request and writes the 101 answer; throws the refusal.
  void AnswerHandshake();
  // Asks OnAuthentication about the request's login; a refusal sets the
  // authentication close code and reason.
  void Authenticate();
  // The 101 answer followed by the close frame of a refused login; the line
  // is dropped once the peer answered (or after a second).
  [[noreturn]] void RefuseLogin(std::string aResponse);
  int FRefusalStatus = 400;  // the HTTP status a refusal is answered with
};

struct TtvqWSServerOptions {
  TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
  bool HTMLFiles = true;
  bool JavascriptFiles = true;
  // The registered page served for "GET /" (empty: none, the request is
  // refused as any unknown one is). A query after the path is ignored.
  std::string IndexPage;
  // A write that makes no progress for this many ms fails (0: never): a
  // blocking one on the socket, and a connection's backlog (see below).
  int WriteTimeOut = 0;
  bool RaiseDisconnectExceptions = true;
  bool ValidateUTF8 = false;
  bool CleanDisconnect = false;
  // The largest first request (and post body) taken, in bytes.
  std::size_t MaxRequestSize = 16 * 1024;
  // A connection whose first request is not complete this many ms after it
  // was accepted is dropped (0: no limit), so that connections that never
  // speak, or speak a byte at a time, cannot keep their threads for ever.
  int FirstRequestTimeOut = 30000;
  // The most bytes a connection may have waiting for its socket; a client
  // that stops reading is dropped past it (0: no limit).
  std::size_t MaxBacklog = kTvqDefaultMaxBacklog;
  // ---- the traffic budgets of each connection (0: none): the largest
  // message taken (past it: closed 1009), frames and bytes a second read
  // (token buckets with a burst of twice the rate; past them: closed 1008),
  // and what all connections together may hold for their sockets (past it
  // the largest backlogs are dropped). WriteTimeOut (ms) also drops a
  // connection whose backlog has not moved for that long.
  std::uint64_t MaxMessageSize = 16u * 1024u * 1024u;
  int MaxMessagesPerSecond = 0;
  std::uint64_t MaxInputRate = 0;
  std::size_t MaxOutputTotal = 0;
  // A frame (or fragmented message) a client has begun must end within this
  // many ms (0: no limit), or the connection is closed with 1008.
  int FrameTimeOut = 30000;
  // A connection the server has closed (its close frame written, the TCP
  // connection left to the peer) is dropped when the peer has not dropped it
  // within this many ms (0: no limit), so that a peer that never answers the
  // close holds its thread no longer. An honest peer answers within a round
  // trip; five seconds leave room for a slow link.
  int CloseTimeOut = 5000;
  // The JSON text answered to "GET /tvq/auth/info" (what a page must know
  // before it connects: whether a login is asked for); empty: that request is
  // an unknown one.
  std::string AuthInfo;
  // The most distinct files one request may name in a comma list (0: no
  // limit); a file named twice is sent once. More are refused with 400, so a
  // short request cannot ask for a large answer.
  int MaxFilesPerRequest = 16;

  int ReadTimeOut() const { return FReadTimeOut; }
  void SetReadTimeOut(int aValue) { FReadTimeOut = aValue <= 0 ? 1 : aValue; }

 private:
  int FReadTimeOut = 10;
};

struct TtvqWSFallBack {
  struct {
    bool Enabled = false;
    std::string Domain = "*";
    std::string Ports = "*";
  } Flash;
  struct {
    bool Enabled = false;
    int Retry = 3;
  } ServerSentEvents;
};

// The limits on connections that close a client: the two the listener
// applies at accept, the heartbeat's idle time-out, and a frame's deadline.
enum TtvqConnectionLimit {
  clMaxConnections,
  clMaxConnectionsPerAddress,
  clIdleTimeOut,
  clFrameTimeOut,
};
inline constexpr int kTvqConnectionLimits = 4;

struct TtvqWSSecurityOptions {
  std::string OriginsAllowed;  // comma-separated patterns; empty: no check
};

// The server over the TCP transport: owns the TCP server and wires its
// callbacks.
class TtvqWSServer_Net_Base : public TtvqWSComponent_Server_Net {
 public:
  TtvqWSServer_Net_Base();
  ~TtvqWSServer_Net_Base() override;

  TtvqWSServerOptions Options;
  TtvqWSFallBack FallBack;
  TtvqWSSecurityOptions SecurityOptions;

  std::function<void(TtvqWSServer_Net_Base&)> OnStartup;
  std::function<void(TtvqWSServer_Net_Base&)> OnShutdown;
  std::function<void(TtvqWSConnection*, bool&)> OnTCPConnect;
  // Before each ping of Ping: Handled true leaves that connection out.
  std::function<void(TtvqWSServer_Net_Base&, TtvqWSConnection*, bool&)> OnBeforeHeartBeat;
  // A connection passed one of its traffic budgets (once per connection, on
  // any thread; see TtvqTrafficLimitEvent).
  TtvqTrafficLimitEvent OnTrafficLimit;
  // How many connections passed each budget since the server was made.
  int TrafficLimitCount(TtvqTrafficLimit aLimit) const { return FTrafficLimits[aLimit].load(); }
  // What every connection's backlog holds together.
  std::size_t OutputTotal() const { return FOutputBudget.Total(); }
  // Logins: see TtvqWSAuthenticationEvent. Unassigned: every connection is
  // let in without a question.
  TtvqWSAuthenticationEvent OnAuthentication;

  bool Active() const;
  // True: start listening (on a listening server, every client is dropped
  // first); false: drop every client and stop. Calls are serialised by the
  // component's lock. On the main thread, a stop also delivers the last
  // events and frees every connection object before it returns.
  void SetActive(bool aValue);
  // The same from a helper thread; the caller does not wait.
  void Start();
  void Stop();
  void ReStart();

  int Port() const { return TCPServer().DefaultPort(); }
  void SetPort(int aPort) { TCPServer().SetDefaultPort(aPort); }
  TNetSocketHandles& Bindings() { return TCPServer().Bindings; }

  // TLS (tvqNetTLS.h): sets or replaces the certificate and key; null: no
  // TLS. Safe while the server runs (a reload): connections accepted
  // afterwards use the new pair, open ones keep theirs.
  void SetTLS(std::shared_ptr<TtvqTLSContext> aContext) { TCPServer().SetTLS(std::move(aContext)); }
  std::shared_ptr<TtvqTLSContext> TLS() const { return TCPServer().TLS(); }
  // The local ports that speak TLS while a context is set; empty: every
  // port does. Set before the server starts. The TCP server's
  // OnQuerySSLPort reads it.
  std::vector<int> TLSPorts;
  int MaxConnections() const { return TCPServer().MaxConnections; }
  void SetMaxConnections(int aValue) { TCPServer().MaxConnections = aValue; }
  int MaxConnectionsPerAddress() const { return TCPServer().MaxConnectionsPerAddress; }
  void SetMaxConnectionsPerAddress(int aValue) { TCPServer().MaxConnectionsPerAddress = aValue; }

  // A client closed by a connection limit, on the main thread: once per
  // connection closed by the heartbeat or a frame's deadline, once per run
  // of refusals at accept (of one address, or while the server is full).
  std::function<void(TtvqConnectionLimit aLimit, const std::string& aIP, int aPort)> OnConnectionLimit;
  // How many clients each limit has closed, every refusal counted.
  std::uint64_t ConnectionLimitCount(TtvqConnectionLimit aLimit) const {
    return FLimitCounts[static_cast<std::size_t>(aLimit)].load(std::memory_order_relaxed);
  }

  using TtvqWSComponent_Server::Broadcast;
  void Broadcast(const std::string& aMessage, const std::string& aChannel = {}, const std::string& aProtocol = {},
                 const std::vector<std::string>& aExclude = {}, const std::vector<std::string>& aInclude = {}) override;
  void Broadcast(const TtvqBytes& aStream, const std::string& aChannel = {}, const std::string& aProtocol = {},
                 const std::vector<std::string>& aExclude = {}, const std::vector<std::string>& aInclude = {},
                 int aSize = 0, TwsStreaming aStreaming = stmNone) override;
  bool WriteData(const std::string& aGuid, const std::string& aMessage) override;
  bool WriteData(const std::string& aGuid, const TtvqBytes& aStream, int aSize = 0,
                 TwsStreaming aStreaming = stmNone) override;
  void Ping(const std::string& aText);
  void DisconnectAll();

  std::vector<TtvqWSConnection*> GetConnectionList() override { return ConnectionsSnapshot(); }
  TtvqWSConnection* GetConnectionByGuid(const std::string& aGuid);
  TtvqWSConnection* GetConnectionByIndex(int aIndex);
  int ConnectionCount();
  // The transport contexts; each one's data is its connection. Always in pairs.
  TtvqThreadList<TNetContext>::TList& LockList();
  void UnLockList();

  TtvqWSCustomServer& TCPServer() const { return *FTCPServer; }

 protected:
  // The transport's callbacks, each on the connection's own thread.
  void OnServerConnectEvent(TNetContext& aContext);
  void OnServerExecuteEvent(TNetContext& aContext);
  void OnServerDisconnectEvent(TNetContext& aContext);
  void DoHandshakeCompleted(TtvqWSConnection& aConnection);
  // Ends a connection that carried something other than a WebSocket.
  void DoCloseRequest(TNetContext& aContext);

  // Stops everything, once: the most derived server calls it first.
  void ShutdownServer() noexcept;
  // Runs aWork on the main thread: at once when already there (or when
  // there is no platform), otherwise queued without waiting, so that a
  // helper thread holding the component's lock never waits for the main
  // thread.
  void OnMainThread(const std::function<void()>& aWork);
  // A text that the connection received, or that a post hands it: stored as
  // its last received text and notified, one at a time per connection.
  void DeliverMessage(TtvqWSConnection& aConnection, const std::string& aText);

  // The request kinds of the intake.
  void DoHTTPFileRequest(TtvqWSConnectionServer& aConnection, const TtvqFileRequest& aFile);
  void DoXHRRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection);
  void DoProtocolRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection);
  void DoAuthInfoRequest(TtvqWSConnectionServer& aConnection);
  // A post's Origin, when it has one, is one of SecurityOptions.OriginsAllowed.
  bool PostOriginAllowed(const std::vector<std::string>& aLines) const;

 private:
  template <class FWrite>
  void BroadcastTo(const std::string& aChannel, const std::string& aProtocol, const std::vector<std::string>& aExclude,
                   const std::vector<std::string>& aInclude, FWrite&& aWrite);
  void RunHelper(std::function<void()> aWork);
  // The intake of a connection's first request: waiting for input, gathering
  // the request, and acting on its kind.
  bool AwaitInput(TNetContext& aContext, TtvqWSConnectionServer* aConnection);
  // A connection in its closing state waits for its peer to drop it, until
  // Options.CloseTimeOut.
  void AwaitPeerClose(TtvqWSConnectionServer& aConnection);
  std::optional<std::string> GatherFirstRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection);
  bool DoFirstRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection, const TtvqRequest& aRequest);
  bool FirstRequestLate(const TtvqWSConnectionServer& aConnection) const;
  // How long a connection's thread may sleep before its next deadline: the
  // first request's, the heartbeat's ping and time-out, a frame's.
  int WaitLimitMs(const TtvqWSConnectionServer& aConnection) const;
  // The heartbeat of one quiet connection, on its own thread.
  void DoHeartBeat(TtvqWSConnectionServer& aConnection);
  // Counts a client closed by a limit and, when aReport, tells the main thread.
  void NoteConnectionLimit(TtvqConnectionLimit aLimit, const std::string& aIP, int aPort, bool aReport);
  TtvqRequestOptions RequestOptions() const;
  std::string ReadPostBody(TNetIOHandler& aIO, const std::vector<std::string>& aHeaders);

  // The connections of the live contexts, copied under the contexts lock.
  std::vector<TtvqWSConnection*> ConnectionsSnapshot();

  std::array<std::atomic<std::uint64_t>, kTvqConnectionLimits> FLimitCounts{};
  std::unique_ptr<TtvqWSCustomServer> FTCPServer;
  TtvqOutputBudget FOutputBudget;
  std::array<std::atomic<int>, tlCount> FTrafficLimits{};
  // Start, Stop and ReStart run one after the other on one helper thread.
  std::mutex FHelperLock;
  std::condition_variable FHelperWake;
  std::deque<std::function<void()>> FHelperQueue;
  std::thread FHelper;
  bool FHelperRunning = false;
  bool FShutDown = false;
};

class TtvqWSServer : public TtvqWSServer_Net_Base {
 public:
  ~TtvqWSServer() override { ShutdownServer(); }
  enum TwsServerType { wsTCP };
  TwsServerType ServerType = wsTCP;
};

class TtvqWebSocketServer : public TtvqWSServer {
 public:
  ~TtvqWebSocketServer() override { ShutdownServer(); }
};
