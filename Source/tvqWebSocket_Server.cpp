#include "tvqWebSocket_Server.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <limits>
#include <unordered_set>

#include "tvqNetTLS.h"
#include "tvqWebSocket_Codec.h"
#include "tvqWebSocket_HTTPResponse.h"
#include "tvqWebSocket_Platform.h"

namespace {

constexpr int kListenQueue = 1024;
// The longest sleep of a connection thread with nothing to do.
constexpr int kIdleWaitMs = 5000;

bool InList(const std::vector<std::string>& aList, const std::string& aGuid) {
  return std::find(aList.begin(), aList.end(), aGuid) != aList.end();
}

std::string ReplaceIgnoringCase(std::string aText, std::string_view aPlaceholder, const std::string& aValue) {
  std::size_t at = 0;
  while (true) {
    const auto it = std::search(aText.begin() + static_cast<std::ptrdiff_t>(at), aText.end(), aPlaceholder.begin(),
                                aPlaceholder.end(), [](char x, char y) {
                                  return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
                                });
    if (it == aText.end()) return aText;
    const auto position = static_cast<std::size_t>(it - aText.begin());
    aText.replace(position, aPlaceholder.size(), aValue);
    at = position + aValue.size();
  }
}

std::string LocalTimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
  return text;
}

}  // namespace

// ---------------------------------------------------------------- the handshake

// Under the write lock, in one flush: nothing else may be written into the
// middle of an answer or before the handshake response.
void TtvqWSConnectionServer::WriteResponse(const std::string& aBytes) {
  SendBlocking(reinterpret_cast<const std::uint8_t*>(aBytes.data()), aBytes.size());
}

std::chrono::steady_clock::time_point TtvqWSConnectionServer::LastSignOfLife() const {
  if (Specification != spHixie76) return LastInput;
  return std::max(LastInput, LastOutput());
}

// A refused opening handshake is answered in HTTP before the connection is
// dropped, so that the client learns why: 426 with the version this server
// speaks for an unknown version, 403 for an origin that is not allowed, 400
// for everything else.
void TtvqWSConnectionServer::DoHandshake() {
  FRefusalStatus = 400;
  try {
    AnswerHandshake();
  } catch (const TtvqWSException&) {
    if (!Enabled() && HasTCPConnection()) {
      const std::string answer = FRefusalStatus == 426   ? "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"
                                 : FRefusalStatus == 403 ? "HTTP/1.1 403 Forbidden\r\n"
                                                         : "HTTP/1.1 400 Bad Request\r\n";
      try {
        WriteResponse(answer + "Connection: close\r\nContent-Length: 0\r\n\r\n");
      } catch (...) {
        // the peer is gone already; the refusal goes on as it was
      }
    }
    throw;
  }
}

// The request's lines are judged by tvqAnswerHandshake; here the Hixie-76
// body is read between parsing and answering, and the answer is carried out.
void TtvqWSConnectionServer::AnswerHandshake() {
  tvqParseHandshake(HeadersRequest, Handshake);
  std::string key3;
  if (tvqHandshakeHasBody(Handshake) && InputSize() > 0) {
    TtvqBytes body;
    while (body.size() < 8 && HasTCPConnection()) {
      if (DoReadBytes(8 - body.size(), body) == 0 && !WaitForInput() && InputSize() == 0 && !Active())
        throw ENetConnClosedGracefully();
    }
    key3.assign(body.begin(), body.end());
    tvqRecordKey3(Handshake, key3);
  }
  const TtvqHandshakeAnswer answer = tvqAnswerHandshake(Handshake, Protocol, ServerOriginsAllowed);
  if (answer.Specification) Specification = *answer.Specification;
  if (answer.Protocol) {
    Protocol = *answer.Protocol;
    HeadersResponse.clear();
  }
  if (!answer.Accepted) {
    FRefusalStatus = answer.Status;
    throw TtvqWSException(answer.Error);
  }
  Authenticate();

  if (Transport() == trpUndefined) SetTransport(Specification == spHixie76 ? trpHixie76 : trpRFC6455);
  HeadersResponse = answer.Lines;
  if (OnHandshake) OnHandshake(*this, HeadersResponse);
  std::string response;
  for (const std::string& line : HeadersResponse) response += line + "\r\n";
  response += "\r\n";
  if (Specification == spHixie76) response += tvqHixie76Challenge(Handshake.Key1, Handshake.Key2, key3);
  if (AuthenticationCloseCode != 1000) RefuseLogin(std::move(response));
  WriteResponse(response);
  SetEnabled(true);
  if (OnUpdate) OnUpdate(*this, 1);
}

void TtvqWSConnectionServer::Authenticate() {
  if (!OnAuthentication) return;
  const TtvqLogin login = tvqLoginOfTarget(Handshake.Get);
  bool authenticated = false;
  if (login.Valid) OnAuthentication(this, login.User, login.Password, authenticated);
  if (authenticated) {
    User = login.User;
    return;
  }
  AuthenticationCloseCode = 1008;
  AuthenticationCloseReason = login.Given ? "Authentication failed" : "Login required";
}

// A refused client gets nothing of the server's data: the connection is never
// enabled nor reported. The close frame carries the code and the reason
// (Hixie-76 has no close reason: its line is just dropped).
void TtvqWSConnectionServer::RefuseLogin(std::string aResponse) {
  if (Specification != spHixie76) {
    std::string payload{static_cast<char>(AuthenticationCloseCode >> 8), static_cast<char>(AuthenticationCloseCode & 0xFF)};
    payload += AuthenticationCloseReason;
    TtvqBytes frame;
    tvqAppendFrame(frame, opClose, true, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
    aResponse.append(frame.begin(), frame.end());
  }
  WriteResponse(aResponse);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (InputSize() == 0 && HasTCPConnection() && std::chrono::steady_clock::now() < until) WaitForInput();
  throw ENetConnClosedGracefully();
}

// ---------------------------------------------------------------- TtvqWSServer_Net_Base

TtvqWSServer_Net_Base::TtvqWSServer_Net_Base() : FTCPServer(std::make_unique<TtvqWSCustomServer>()) {
  tvqRegisterBuiltInResponses();
  SetPort(80);
  TtvqWSCustomServer& tcp = *FTCPServer;
  tcp.OnConnect = [this](TNetContext& c) { OnServerConnectEvent(c); };
  tcp.OnExecute = [this](TNetContext& c) { OnServerExecuteEvent(c); };
  tcp.OnDisconnect = [this](TNetContext& c) { OnServerDisconnectEvent(c); };
  tcp.OnStartup = [this](TNetCustomTCPServer&) {
    if (OnStartup) OnStartup(*this);
  };
  tcp.OnShutdown = [this](TNetCustomTCPServer&) {
    if (OnShutdown) OnShutdown(*this);
  };
  tcp.OnQuerySSLPort = [this](int aPort, bool& aUseSSL) {
    aUseSSL = TLSPorts.empty() || std::find(TLSPorts.begin(), TLSPorts.end(), aPort) != TLSPorts.end();
  };
  tcp.OnRefused = [this](TNetRefusal aWhy, const std::string& aIP, int aPort, bool aFirst) {
    NoteConnectionLimit(aWhy == nrMaxConnections ? clMaxConnections : clMaxConnectionsPerAddress, aIP, aPort, aFirst);
  };
}

TtvqWSServer_Net_Base::~TtvqWSServer_Net_Base() {
  ShutdownServer();
  FTCPServer.reset();
}

void TtvqWSServer_Net_Base::ShutdownServer() noexcept {
  {
    std::unique_lock guard(FHelperLock);
    if (FShutDown) return;
    FShutDown = true;
    FHelperQueue.clear();  // commands not yet begun are dropped
    FHelperWake.wait(guard, [this] { return !FHelperRunning; });
  }
  if (FHelper.joinable()) FHelper.join();
  StopDeliveries();
  try {
    if (FTCPServer->Active()) DisconnectAll();
    FTCPServer->SetActive(false);
  } catch (...) {
  }
  StopConnectionsFreeTimer();
}

void TtvqWSServer_Net_Base::OnMainThread(const std::function<void()>& aWork) {
  ItvqPlatform* platform = Platform ? Platform : tvqPlatform();
  if (!platform || platform->IsMainThread()) {
    aWork();
    return;
  }
  platform->Queue([alive = AliveToken(), aWork] {
    if (*alive) aWork();
  });
}

void TtvqWSServer_Net_Base::DeliverMessage(TtvqWSConnection& aConnection, const std::string& aText) {
  TtvqLock guard(aConnection.FCSArray[1]);
  aConnection.SetMsgReceived(aText);
  DoNotifyMessage(&aConnection);
}

bool TtvqWSServer_Net_Base::Active() const { return FTCPServer->Active(); }

// The free-list timer and the parked connections belong to the main
// thread: a stop from a helper thread hands that part over to it.
void TtvqWSServer_Net_Base::SetActive(bool aValue) {
  TtvqLock serialised(FCS);
  TtvqWSCustomServer& tcp = *FTCPServer;
  if (aValue) {
    if (tcp.Active())
      DisconnectAll();
    else
      OnMainThread([this] { StopConnectionsFreeTimer(); });
    tcp.UseNagle = false;
    // A burst of browsers connecting at once must not overflow the accept
    // queue: a dropped handshake is only retried after a second.
    tcp.ListenQueue = std::max(tcp.ListenQueue, kListenQueue);
    tcp.SetActive(true);
    if (tcp.Active()) OnMainThread([this] { StartConnectionsFreeTimer(); });
    return;
  }
  if (tcp.Active()) DisconnectAll();
  tcp.SetActive(false);
  // Every connection thread has ended: deliver their last events, then free
  // every connection object, so that none is left after the stop.
  OnMainThread([this] {
    DrainAll();
    StopConnectionsFreeTimer();
  });
}

void TtvqWSServer_Net_Base::RunHelper(std::function<void()> aWork) {
  std::lock_guard guard(FHelperLock);
  if (FShutDown) return;
  FHelperQueue.push_back(std::move(aWork));
  if (FHelperRunning) return;
  if (FHelper.joinable()) FHelper.join();  // it has finished its queue
  FHelperRunning = true;
  FHelper = std::thread([this] {
    std::unique_lock lock(FHelperLock);
    while (!FHelperQueue.empty()) {
      std::function<void()> work = std::move(FHelperQueue.front());
      FHelperQueue.pop_front();
      lock.unlock();
      try {
        TtvqLock component(FCS);
        work();
      } catch (...) {
        // the caller does not wait, so there is nobody to tell
      }
      lock.lock();
    }
    FHelperRunning = false;
    FHelperWake.notify_all();
  });
}

void TtvqWSServer_Net_Base::Start() { RunHelper([this] { SetActive(true); }); }
void TtvqWSServer_Net_Base::Stop() { RunHelper([this] { SetActive(false); }); }
void TtvqWSServer_Net_Base::ReStart() {
  RunHelper([this] {
    SetActive(false);
    SetActive(true);
  });
}

// ---- connections

void TtvqWSServer_Net_Base::OnServerConnectEvent(TNetContext& aContext) {
  if (TNetSocketHandle* binding = aContext.Binding()) {
    if (Options.WriteTimeOut > 0) binding->SetSendTimeout(Options.WriteTimeOut);
    if (TCPKeepAlive.Enabled) binding->SetKeepAlive(true, TCPKeepAlive.Time, TCPKeepAlive.Interval);
  }
  auto connection = std::make_unique<TtvqWSConnectionServer>();
  connection->ServerOriginsAllowed = SecurityOptions.OriginsAllowed;
  connection->OnAuthentication = OnAuthentication;
  connection->ValidateUTF8 = Options.ValidateUTF8;
  connection->CleanDisconnect = Options.CleanDisconnect;
  connection->RaiseDisconnectExceptions = Options.RaiseDisconnectExceptions;
  connection->FragmentedMessages = Options.FragmentedMessages;
  connection->Masked = false;
  connection->Protocol = ProtocolNames();
  connection->ReadTimeOut = Options.ReadTimeOut();
  connection->MaxBacklog = Options.MaxBacklog;
  // The traffic budgets.
  connection->MaxMessageSize = Options.MaxMessageSize;
  connection->MaxMessagesPerSecond = Options.MaxMessagesPerSecond;
  connection->MaxInputRate = Options.MaxInputRate;
  connection->WriteTimeOut = Options.WriteTimeOut;
  FOutputBudget.Limit = Options.MaxOutputTotal;
  connection->SetOutputBudget(&FOutputBudget);
  connection->OnTrafficLimit = [this](const std::string& aPeer, TtvqTrafficLimit aLimit, const std::string& aWhat) {
    ++FTrafficLimits[aLimit];
    if (OnTrafficLimit) OnTrafficLimit(aPeer, aLimit, aWhat);
  };
  connection->FrameTimeOut = Options.FrameTimeOut;
  connection->SetTCPConnection(&aContext.Connection());
  connection->OnMessage = [this](TtvqWSConnection& c, const std::string& text) {
    if (!IsDestroying()) DeliverMessage(c, text);
  };
  connection->OnBinary = [this](TtvqWSConnection& c, const TtvqBytes& data) {
    if (IsDestroying()) return;
    c.MsgBinaryReceived = data;
    DoNotifyBinary(&c);
  };
  connection->OnFragmented = [this](TtvqWSConnection& c, const TtvqBytes& data, TOpcode opCode, bool more) {
    if (!IsDestroying()) DoNotifyFragmented(&c, data, opCode, more);
  };
  connection->OnUpdate = [this](TtvqWSConnection& c, int state) {
    if (state == 1) DoHandshakeCompleted(c);
  };
  connection->OnHandshake = OnHandshake;
  connection->OnSubscription = [this](TtvqWSConnection& c, const std::string& channel) {
    DoConnectionSubscription(c, channel);
  };
  connection->OnUnSubscription = [this](TtvqWSConnection& c, const std::string& channel) {
    DoConnectionUnSubscription(c, channel);
  };
  TtvqWSConnectionServer* raw = connection.release();
  aContext.SetDataRef(raw);
  if (OnTCPConnect) {
    bool accept = true;
    OnTCPConnect(raw, accept);
    if (!accept) DoReportError(raw, "Connection rejected by server.");  // dropped before any byte is read
  }
}

void TtvqWSServer_Net_Base::OnServerDisconnectEvent(TNetContext& aContext) {
  auto* connection = static_cast<TtvqWSConnectionServer*>(aContext.Data());
  if (!connection) return;
  aContext.ClearData();
  connection->SetTCPConnection(nullptr);  // the socket goes with the context
  if (IsDestroying()) {
    connection->FFreed = true;
    delete connection;
    return;
  }
  if (!connection->Enabled()) {
    // No event: released at once, parked like the others, since a thread
    // that listed the connections may still hold it.
    DoFreeConnection(connection);
    return;
  }
  connection->SetDisconnected(true);
  DoNotifyDisconnect(connection);
}

void TtvqWSServer_Net_Base::DoHandshakeCompleted(TtvqWSConnection& aConnection) {
  if ((aConnection.Specification == spRFC6455 && !Specifications.RFC6455) ||
      (aConnection.Specification == spHixie76 && !Specifications.Drafts.Hixie76))
    aConnection.Disconnect();
  if (aConnection.Enabled() && !aConnection.Disconnected()) DoNotifyConnect(&aConnection);
}

void TtvqWSServer_Net_Base::DoCloseRequest(TNetContext& aContext) {
  aContext.Connection().IOHandler()->InputBuffer.Clear();
  auto* connection = static_cast<TtvqWSConnectionServer*>(aContext.Data());
  aContext.ClearData();
  aContext.Connection().Disconnect(false);
  if (connection) {
    connection->SetTCPConnection(nullptr);
    DoFreeConnection(connection);  // no event; parked, as a lister may still hold it
  }
}

void TtvqWSServer_Net_Base::OnServerExecuteEvent(TNetContext& aContext) {
  auto* connection = static_cast<TtvqWSConnectionServer*>(aContext.Data());
  const bool input = AwaitInput(aContext, connection);
  // A connection in use that woke without input may be due for its
  // heartbeat or past a frame's deadline.
  const bool inUse = connection && aContext.Data() == connection && connection->Enabled() && !connection->Disconnected();
  if (!input && !inUse) return;
  try {
    if (input) {
      if (!connection->Enabled()) {
        const std::optional<std::string> request = GatherFirstRequest(aContext, *connection);
        if (!request) return DoCloseRequest(aContext);
        if (!DoFirstRequest(aContext, *connection, tvqClassifyRequest(*request, RequestOptions()))) return;
      }
      connection->LastInput = std::chrono::steady_clock::now();
      connection->HeartBeatPinged = false;
      connection->DoReadData(true);
      connection->LastInput = std::chrono::steady_clock::now();
    } else {
      connection->CheckFrameDeadline();
      if (!connection->FrameTimedOut()) DoHeartBeat(*connection);
    }
  } catch (const ENetSilentException&) {
    throw;  // the transport ends the connection
  } catch (const std::exception& e) {
    if (connection->FrameTimedOut()) NoteConnectionLimit(clFrameTimeOut, connection->IP(), connection->Port(), true);
    DoReportError(connection, e.what());
    return;
  }
  if (connection->FrameTimedOut()) NoteConnectionLimit(clFrameTimeOut, connection->IP(), connection->Port(), true);
}

// A connection sleeps until its socket has input, its backlog can move on,
// another thread added to it, a stop shuts the socket, or its next deadline
// comes; one that sends nothing costs nothing while it waits, also before
// its first request. True when there is input to read; a connection without
// an object, or past its first request's deadline, is dropped.
bool TtvqWSServer_Net_Base::AwaitInput(TNetContext& aContext, TtvqWSConnectionServer* aConnection) {
  TNetIOHandler& io = *aContext.Connection().IOHandler();
  if (aConnection && aConnection->Disconnected()) {
    io.InputBuffer.Clear();
    AwaitPeerClose(*aConnection);
    io.InputBuffer.Clear();
    return false;
  }
  if (io.InputBufferIsEmpty()) {
    if (aConnection)
      aConnection->WaitForWork(WaitLimitMs(*aConnection));
    else
      io.CheckForDataOnSource(Options.ReadTimeOut());
  }
  if (!aConnection) {
    io.InputBuffer.Clear();
    aContext.Connection().Disconnect(false);
    return false;
  }
  if (aConnection->Disconnected()) {
    io.InputBuffer.Clear();  // closed meanwhile: its input is no longer read
    return false;
  }
  if (!aConnection->Enabled() && FirstRequestLate(*aConnection)) {
    DoCloseRequest(aContext);
    return false;
  }
  return !io.InputBufferIsEmpty();
}

// A closed connection reads nothing more (its input is dropped): its thread
// sleeps until the peer drops the TCP connection, as it should once it has
// answered the close, or until the closing deadline, past which the server
// drops it. A connection found closed without a close frame (dropped on
// another thread, or closed without its transport's knowing) is timed from
// when it is found.
void TtvqWSServer_Net_Base::AwaitPeerClose(TtvqWSConnectionServer& aConnection) {
  using namespace std::chrono;
  aConnection.NoteClosing();
  int waitMs = kIdleWaitMs;
  if (Options.CloseTimeOut > 0) {
    const auto deadline = *aConnection.ClosingSince() + milliseconds(Options.CloseTimeOut);
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count() + 1;
    if (left <= 1) {
      try {
        aConnection.DisconnectPeer();
      } catch (...) {
        // dropped in any case: the socket goes before anything can fail
      }
      return;
    }
    waitMs = static_cast<int>(std::min<long long>(left, kIdleWaitMs));
  }
  aConnection.WaitForWork(waitMs);
}

bool TtvqWSServer_Net_Base::FirstRequestLate(const TtvqWSConnectionServer& aConnection) const {
  return Options.FirstRequestTimeOut > 0 && std::chrono::steady_clock::now() - aConnection.Accepted >
                                                std::chrono::milliseconds(Options.FirstRequestTimeOut);
}

// An HTTP request is read up to the blank line that ends its header, and
// its body (a Hixie-76 key, a post's Content-Length), however far apart its
// bytes come; anything else is what has come once the line stays quiet for
// the read time-out. Past the size cap, past the first request's deadline,
// or when the server stops meanwhile, there is none (it is dropped without
// an answer). A peer that closes its side before the request is whole has
// said all it will: what came is the request.
std::optional<std::string> TtvqWSServer_Net_Base::GatherFirstRequest(TNetContext& aContext,
                                                                     TtvqWSConnectionServer& aConnection) {
  TNetIOHandlerSocket& io = *aContext.Connection().IOHandler();
  const auto dropped = [&] { return io.InputBuffer.Size() > Options.MaxRequestSize || FirstRequestLate(aConnection); };
  while (!dropped()) {
    const std::string_view gathered(reinterpret_cast<const char*>(io.InputBuffer.Data()), io.InputBuffer.Size());
    switch (tvqFirstRequestState(gathered, Options.MaxRequestSize)) {
      case rsComplete: return io.InputBuffer.AsString();
      case rsUnframed:
        if (!io.CheckForDataOnSource(Options.ReadTimeOut())) return io.InputBuffer.AsString();
        break;
      case rsIncomplete:
        if (io.ClosedGracefully()) return io.InputBuffer.AsString();
        if (!io.Binding().HandleAllocated()) return std::nullopt;
        aConnection.WaitForWork(WaitLimitMs(aConnection));
        break;
    }
  }
  return std::nullopt;
}

int TtvqWSServer_Net_Base::WaitLimitMs(const TtvqWSConnectionServer& aConnection) const {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  auto next = now + milliseconds(kIdleWaitMs);
  if (!aConnection.Enabled()) {
    if (Options.FirstRequestTimeOut > 0) next = aConnection.Accepted + milliseconds(Options.FirstRequestTimeOut);
  } else {
    if (HeartBeat.Enabled && HeartBeat.Interval > 0) {
      const auto life = aConnection.LastSignOfLife();
      if (!aConnection.HeartBeatPinged)
        next = std::min(next, life + seconds(HeartBeat.Interval));
      else if (HeartBeat.Timeout > 0)
        next = std::min(next, life + seconds(HeartBeat.Interval + HeartBeat.Timeout));
    }
    if (const auto frame = aConnection.FrameDeadline()) next = std::min(next, *frame);
  }
  // Rounded up, so that the thread wakes at the deadline, not just before it.
  const auto left = duration_cast<milliseconds>(next - now).count() + 1;
  return static_cast<int>(std::clamp<long long>(left, 1, std::numeric_limits<int>::max()));
}

// The heartbeat, on each connection's own thread, so that a busy connection
// costs nothing and a quiet one wakes only when something is due: a
// connection that has sent nothing for HeartBeat.Interval seconds is pinged
// once; one that then sends nothing, not even the pong, for
// HeartBeat.Timeout seconds more is dropped ("HeartBeat Timeout exceeded.",
// no closing handshake: the peer is gone or does not read). A Hixie-76
// connection cannot be pinged: it counts as quiet only while its socket
// takes none of our output either, so that a viewer that only receives
// stays, and one that receives nothing, or does not read, goes.
void TtvqWSServer_Net_Base::DoHeartBeat(TtvqWSConnectionServer& aConnection) {
  using namespace std::chrono;
  if (!HeartBeat.Enabled || HeartBeat.Interval <= 0) return;
  const auto quiet = steady_clock::now() - aConnection.LastSignOfLife();
  if (HeartBeat.Timeout > 0 && quiet >= seconds(HeartBeat.Interval + HeartBeat.Timeout)) {
    NoteConnectionLimit(clIdleTimeOut, aConnection.IP(), aConnection.Port(), true);
    const std::string text = "HeartBeat Timeout exceeded.";
    DoReportException(&aConnection, text, std::make_exception_ptr(TtvqWSException(text)));
    return;
  }
  if (quiet < seconds(HeartBeat.Interval) || aConnection.HeartBeatPinged) return;
  aConnection.HeartBeatPinged = true;
  bool handled = false;
  if (OnBeforeHeartBeat) OnBeforeHeartBeat(*this, &aConnection, handled);
  if (!handled) aConnection.Ping(LocalTimeStamp());
}

void TtvqWSServer_Net_Base::NoteConnectionLimit(TtvqConnectionLimit aLimit, const std::string& aIP, int aPort,
                                                bool aReport) {
  FLimitCounts[static_cast<std::size_t>(aLimit)].fetch_add(1, std::memory_order_relaxed);
  if (!aReport || !OnConnectionLimit) return;
  OnMainThread([this, aLimit, aIP, aPort] {
    if (OnConnectionLimit) OnConnectionLimit(aLimit, aIP, aPort);
  });
}

TtvqRequestOptions TtvqWSServer_Net_Base::RequestOptions() const {
  return {Options.IndexPage, Options.HTMLFiles, Options.JavascriptFiles, FallBack.Flash.Enabled,
          FallBack.ServerSentEvents.Enabled, !Options.AuthInfo.empty(), Options.MaxFilesPerRequest};
}

// Carries out what the classifier decided; true when the connection goes on
// to read: an upgrade (its handshake comes first), or an unknown protocol
// that the application accepts. Every other request is closed here.
bool TtvqWSServer_Net_Base::DoFirstRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection,
                                           const TtvqRequest& aRequest) {
  aConnection.HeadersRequest = aRequest.Lines;
  if (aRequest.Transport != trpUndefined && (!aRequest.TransportIfUndefined || aConnection.Transport() == trpUndefined))
    aConnection.SetTransport(aRequest.Transport);
  TNetIOHandler& io = *aContext.Connection().IOHandler();
  bool accept = false;
  switch (aRequest.Kind) {
    case rkUpgrade:
      // The header text is in HeadersRequest; only a Hixie-76 body stays buffered.
      io.InputBuffer.Clear();
      if (aRequest.Body)
        io.InputBuffer.Write(reinterpret_cast<const std::uint8_t*>(aRequest.Body->data()), aRequest.Body->size());
      return true;
    case rkXHRPost:
    case rkProtocolPost:
      // A post acts for a connection: a foreign page may no more post than
      // connect.
      if (!PostOriginAllowed(aRequest.Lines)) {
        aConnection.WriteResponse(tvqStatusAnswer(403, "Forbidden"));
        break;
      }
      if (aRequest.Kind == rkXHRPost) DoXHRRequest(aContext, aConnection);
      else DoProtocolRequest(aContext, aConnection);
      break;
    case rkFile: DoHTTPFileRequest(aConnection, aRequest.File); break;
    case rkAuthInfo: DoAuthInfoRequest(aConnection); break;
    case rkAuthSession: case rkFallBack: break;  // closed unanswered; the fallbacks are off
    case rkUnknown:
      if (OnUnknownProtocol) OnUnknownProtocol(&aConnection, accept);
      if (!accept) break;
      aConnection.Enable();
      DoHandshakeCompleted(aConnection);
      return true;
  }
  DoCloseRequest(aContext);
  return false;
}

// ---- files and posts

void TtvqWSServer_Net_Base::DoHTTPFileRequest(TtvqWSConnectionServer& aConnection, const TtvqFileRequest& aFile) {
  if (aFile.Kind == fkFlashMovie) {
    if (const auto movie = tvqFindResource("TVQ_WEBSOCKETMAIN_SWF"))
      aConnection.WriteResponse(tvqContentAnswer("application/x-shockwave-flash", *movie));
    return;
  }
  // No icon: a browser that asks is told so, instead of waiting on a closed
  // connection.
  if (aFile.Kind == fkFavicon) return aConnection.WriteResponse(tvqStatusAnswer(404, "Not Found"));
  if (aFile.Kind == fkTooManyFiles) return aConnection.WriteResponse(tvqStatusAnswer(400, "Bad Request"));
  std::string body;
  bool any = false;
  for (const std::string& name : TtvqSplitCommas(aFile.Names)) {
    const TtvqWSHTTPResponse_Base* response = TtvqWSHTTPResponse::Find(name);
    const std::optional<std::string> content = response ? response->Content() : std::nullopt;
    if (!content) continue;
    if (any) body += "\r\n";
    body += *content;
    any = true;
  }
  if (!any) return aConnection.WriteResponse(tvqStatusAnswer(404, "Not Found"));
  const std::string localIP = aConnection.LocalIP();
  const std::string host = localIP.find(':') != std::string::npos ? "[" + localIP + "]" : localIP;
  body = ReplaceIgnoringCase(std::move(body), "{%host%}", host);
  body = ReplaceIgnoringCase(std::move(body), "{%port%}", std::to_string(aConnection.LocalPort()));
  body = ReplaceIgnoringCase(std::move(body), "{%ssl%}", aConnection.UsesTLS() ? "s" : "");
  aConnection.WriteResponse(tvqContentAnswer(aFile.ContentType, body));
}

bool TtvqWSServer_Net_Base::PostOriginAllowed(const std::vector<std::string>& aLines) const {
  const std::string origin = tvqHeaderValue(aLines, "Origin: ");
  if (SecurityOptions.OriginsAllowed.empty() || origin.empty()) return true;
  const std::vector<std::string> patterns = TtvqSplitCommas(SecurityOptions.OriginsAllowed);
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return tvqMatchesMask(origin, p); });
}

// Not cached: an answer that changes with the server's settings.
void TtvqWSServer_Net_Base::DoAuthInfoRequest(TtvqWSConnectionServer& aConnection) {
  aConnection.WriteResponse(tvqContentAnswer("application/json", Options.AuthInfo));
}

std::string TtvqWSServer_Net_Base::ReadPostBody(TNetIOHandler& aIO, const std::vector<std::string>& aHeaders) {
  std::string value = tvqHeaderValue(aHeaders, "Content-Length: ");
  value.erase(0, value.find_first_not_of(' '));
  value.erase(value.find_last_not_of(' ') + 1);
  if (!value.empty() && value.front() == '+') value.erase(0, 1);
  std::int64_t length = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (ec != std::errc() || end != value.data() + value.size())
    throw TtvqWSException("'" + value + "' is not a valid integer value");
  const auto cut = static_cast<std::int32_t>(static_cast<std::uint32_t>(length));
  // A body larger than a request may be, or a negative length: dropped.
  if (cut < 0 || static_cast<std::size_t>(cut) > Options.MaxRequestSize)
    throw TtvqWSException("Content-Length " + value + " refused");
  if (cut == 0) return {};
  std::vector<std::uint8_t> body;
  aIO.ReadBytes(body, cut);
  return std::string(body.begin(), body.end());
}

namespace {

// Reads a post's header lines (its body stays buffered) and returns its
// request target with every aPrefix removed.
std::string ReadPostTarget(TNetIOHandler& aIO, std::vector<std::string>& aHeaders, std::string_view aPrefix) {
  aIO.Capture(aHeaders);
  const std::string first = aHeaders.empty() ? std::string() : aHeaders.front();
  std::string target = first.substr(std::min<std::size_t>(5, first.size()));  // after "POST "
  target = target.substr(0, target.find(" HTTP"));
  for (std::size_t at; (at = target.find(aPrefix)) != std::string::npos;) target.erase(at, aPrefix.size());
  return target;
}

}  // namespace

void TtvqWSServer_Net_Base::DoXHRRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection) {
  TNetIOHandler& io = *aContext.Connection().IOHandler();
  std::vector<std::string> headers;
  std::string target = ReadPostTarget(io, headers, "/tvq/xhr/");
  target.erase(0, target.find_first_not_of(' '));
  target.erase(target.find_last_not_of(' ') + 1);
  if (target.empty() || !GetConnectionByGuid(target)) return;
  const std::string body = ReadPostBody(io, headers);
  if (body.empty()) return;
  // Looked up again: the target may have gone while the body came.
  TtvqWSConnection* destination = GetConnectionByGuid(target);
  if (!destination || !destination->Enabled() || destination->Disconnected()) return;
  DeliverMessage(*destination, body);
  const std::string answer = tvqContentAnswer("text/html", "");
  aConnection.WriteResponse(answer);
}

void TtvqWSServer_Net_Base::DoProtocolRequest(TNetContext& aContext, TtvqWSConnectionServer& aConnection) {
  TNetIOHandler& io = *aContext.Connection().IOHandler();
  std::vector<std::string> headers;
  const std::string target = ReadPostTarget(io, headers, "/tvq/protocol/");
  const std::size_t slash = target.find('/');
  const std::string name = target.substr(0, slash);
  const std::string path = slash == std::string::npos ? std::string() : target.substr(slash + 1);
  if (name.empty()) return;
  for (TtvqWSComponent_Base* component : ProtocolObjects()) {
    if (!MatchesProtocol(name, *component)) continue;
    const std::string body = ReadPostBody(io, headers);
    std::string answerText;
    component->DoHTTPRequest(aConnection, path, answerText, body);
    const std::string answer = tvqContentAnswer("text/html", answerText);
    aConnection.WriteResponse(answer);
    return;
  }
}

// ---- operations

template <class FWrite>
void TtvqWSServer_Net_Base::BroadcastTo(const std::string& aChannel, const std::string& aProtocol,
                                        const std::vector<std::string>& aExclude,
                                        const std::vector<std::string>& aInclude, FWrite&& aWrite) {
  const auto deliver = [&](TtvqWSConnection* c, bool aFromIndex) {
    if (!c || !c->Enabled() || c->Disconnected()) return;
    if (InList(aExclude, c->Guid())) return;
    if (!aInclude.empty() && !InList(aInclude, c->Guid())) return;
    if (c->Transport() == trpHTTP2) return;
    if (!tvqSameText(c->Protocol, aProtocol)) return;
    if (!aFromIndex && !c->Subscribed(aChannel)) return;
    try {
      aWrite(*c);
    } catch (...) {
      // One target's failure costs only that target: it is dropped.
      if (OnException) DoEventException(c, "", std::current_exception());
      c->DisconnectPeer();
    }
  };
  if (!aChannel.empty() && Optimizations.Channels.Enabled) {
    // A connection subscribed to several of the named channels gets the
    // message once, in the order the index lists it first.
    const std::vector<std::string> channels = TtvqSplitCommas(aChannel);
    std::vector<TtvqWSConnection*> targets;
    for (const std::string& channel : channels) Channels().GetConnections(channel, targets);
    if (channels.size() > 1) {
      std::unordered_set<TtvqWSConnection*> seen;
      std::erase_if(targets, [&](TtvqWSConnection* c) { return !seen.insert(c).second; });
    }
    for (TtvqWSConnection* c : targets) deliver(c, true);
    return;
  }
  // Written after the contexts lock is released: a client that stops
  // reading must not hold up accepting and closing. Parked connections stay
  // alive well past this loop.
  const std::vector<TtvqWSConnection*> targets = ConnectionsSnapshot();
  for (auto it = targets.rbegin(); it != targets.rend(); ++it) deliver(*it, false);
}

std::vector<TtvqWSConnection*> TtvqWSServer_Net_Base::ConnectionsSnapshot() {
  std::vector<TtvqWSConnection*> connections;
  auto contexts = TCPServer().Contexts.Lock();
  for (TNetContext* context : *contexts)
    if (auto* c = static_cast<TtvqWSConnection*>(context->Data())) connections.push_back(c);
  return connections;
}

void TtvqWSServer_Net_Base::Broadcast(const std::string& aMessage, const std::string& aChannel,
                                      const std::string& aProtocol, const std::vector<std::string>& aExclude,
                                      const std::vector<std::string>& aInclude) {
  BroadcastTo(aChannel, aProtocol, aExclude, aInclude, [&](TtvqWSConnection& c) { c.WriteData(aMessage); });
}

void TtvqWSServer_Net_Base::Broadcast(const TtvqBytes& aStream, const std::string& aChannel,
                                      const std::string& aProtocol, const std::vector<std::string>& aExclude,
                                      const std::vector<std::string>& aInclude, int aSize, TwsStreaming aStreaming) {
  BroadcastTo(aChannel, aProtocol, aExclude, aInclude,
              [&](TtvqWSConnection& c) { c.WriteData(aStream, aSize, aStreaming); });
}

bool TtvqWSServer_Net_Base::WriteData(const std::string& aGuid, const std::string& aMessage) {
  TtvqWSConnection* c = GetConnectionByGuid(aGuid);
  if (!c || !c->Enabled() || c->Disconnected()) return false;
  try {
    c->WriteData(aMessage);
    return true;
  } catch (const std::exception& e) {
    DoReportError(c, e.what());
    return false;
  }
}

bool TtvqWSServer_Net_Base::WriteData(const std::string& aGuid, const TtvqBytes& aStream, int aSize,
                                      TwsStreaming aStreaming) {
  TtvqWSConnection* c = GetConnectionByGuid(aGuid);
  if (!c || !c->Enabled() || c->Disconnected()) return false;
  try {
    c->WriteData(aStream, aSize, aStreaming);
    return true;
  } catch (const std::exception& e) {
    DoReportError(c, e.what());
    return false;
  }
}

void TtvqWSServer_Net_Base::Ping(const std::string& aText) {
  const std::string text = aText.empty() ? LocalTimeStamp() : aText;
  for (TtvqWSConnection* c : ConnectionsSnapshot()) {
    bool handled = false;
    if (OnBeforeHeartBeat) OnBeforeHeartBeat(*this, c, handled);
    if (handled) continue;
    try {
      c->Ping(text);
    } catch (...) {
    }
  }
}

void TtvqWSServer_Net_Base::DisconnectAll() {
  auto contexts = TCPServer().Contexts.Lock();
  for (auto it = contexts->rbegin(); it != contexts->rend(); ++it) {
    auto* c = static_cast<TtvqWSConnection*>((*it)->Data());
    if (!c || !c->Active() || c->Disconnected()) continue;
    try {
      c->DisconnectPeer();
    } catch (...) {
      if (OnException) DoEventException(c, "", std::current_exception());
    }
  }
}

TtvqWSConnection* TtvqWSServer_Net_Base::GetConnectionByGuid(const std::string& aGuid) {
  if (Optimizations.Connections.Enabled) return Connections().GetConnection(aGuid);
  auto contexts = TCPServer().Contexts.Lock();
  for (TNetContext* context : *contexts)
    if (auto* c = static_cast<TtvqWSConnection*>(context->Data()); c && c->Guid() == aGuid) return c;
  return nullptr;
}

TtvqWSConnection* TtvqWSServer_Net_Base::GetConnectionByIndex(int aIndex) {
  if (aIndex < 0) throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
  auto contexts = TCPServer().Contexts.Lock();
  if (static_cast<std::size_t>(aIndex) >= contexts->size()) return nullptr;
  return static_cast<TtvqWSConnection*>((*contexts)[static_cast<std::size_t>(aIndex)]->Data());
}

int TtvqWSServer_Net_Base::ConnectionCount() { return static_cast<int>(TCPServer().Contexts.Lock()->size()); }

TtvqThreadList<TNetContext>::TList& TtvqWSServer_Net_Base::LockList() { return TCPServer().Contexts.LockList(); }
void TtvqWSServer_Net_Base::UnLockList() { TCPServer().Contexts.UnlockList(); }

