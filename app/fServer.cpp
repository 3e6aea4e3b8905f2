#include "fServer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tvqNetTLS.h"
#include "tvqText.h"

std::string tvqExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "./";
  const std::string executable(path, static_cast<std::size_t>(length));
  return executable.substr(0, executable.rfind('/') + 1);
}

std::string tvqBrowserProgram(const std::string& aName) {
  std::vector<std::string> candidates;
  if (aName == "chrome") candidates = {"google-chrome", "google-chrome-stable", "chromium", "chromium-browser"};
  else if (aName == "firefox") candidates = {"firefox", "firefox-esr"};
  else candidates = {"xdg-open"};  // safari and explorer: the desktop's default browser
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::vector<std::string> dirs;
  for (std::string dir; std::getline(folders, dir, ':');)
    if (!dir.empty()) dirs.push_back(dir);
  for (const std::string& candidate : candidates)
    for (const std::string& dir : dirs)
      if (::access((dir + "/" + candidate).c_str(), X_OK) == 0) return candidate;
  return {};
}

std::string tvqServerStatusText(const TServerStatus& aStatus) {
  if (!aStatus.Running) return aStatus.Reason.empty() ? "Stopped" : "Stopped: " + aStatus.Reason;
  return "Running on port " + std::to_string(aStatus.Port) + " — " + std::to_string(aStatus.Clients) +
         (aStatus.Clients == 1 ? " client" : " clients") + " connected";
}

std::string tvqLogText(std::string_view aText, std::size_t aMaxCharacters) {
  std::string out;
  out.reserve(std::min(aText.size(), aMaxCharacters == std::string::npos ? aText.size() : aMaxCharacters * 2));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(aText.data());
  std::size_t at = 0;
  for (std::size_t characters = 0; at < aText.size(); ++characters) {
    if (characters == aMaxCharacters) return out + "\u2026";
    const std::size_t length = tvqUTF8SequenceLength(bytes + at, aText.size() - at);
    const std::uint8_t lead = bytes[at];
    // C0 controls, DEL, and the C1 controls (U+0080..U+009F, "\xC2\x80" to
    // "\xC2\x9F") that terminals act on as well.
    const bool c1 = length == 2 && lead == 0xC2 && bytes[at + 1] < 0xA0;
    char escaped[16] = "";
    if (lead == '\n') std::snprintf(escaped, sizeof escaped, "\\n");
    else if (lead == '\r') std::snprintf(escaped, sizeof escaped, "\\r");
    else if (lead == '\t') std::snprintf(escaped, sizeof escaped, "\\t");
    else if (lead < 0x20 || lead == 0x7F) std::snprintf(escaped, sizeof escaped, "\\u%04X", lead);
    else if (c1) std::snprintf(escaped, sizeof escaped, "\\u%04X", bytes[at + 1]);
    else if (length == 0) std::snprintf(escaped, sizeof escaped, "\\x%02X", lead);  // not UTF-8
    if (escaped[0] != '\0') {
      out += escaped;
      at += length == 0 ? 1 : length;
    } else {
      out.append(aText.substr(at, length));
      at += length;
    }
  }
  return out;
}

namespace {

// "client 127.0.0.1:40312" or "client [::1]:40312", as the limit lines name it.
std::string ClientName(const std::string& aIP, int aPort) {
  const std::string host = aIP.find(':') != std::string::npos ? "[" + aIP + "]" : aIP;
  return "client " + host + ":" + std::to_string(aPort);
}

}  // namespace

std::string tvqLimitOption(std::string_view aWhat) {
  static const std::pair<std::string_view, std::string_view> kOptions[] = {
      {" rows", "--max-rows"},
      {" channels per connection", "--max-channels-per-connection"},
      {" channels", "--max-channels"},
      {" names per request", "--max-names-per-request"},
      {" retained bytes", "--max-retained-bytes"},
      {" pending calls", "--max-pending-calls"},
      {" held messages", "--max-held-qos"},
      {" transactions", "--max-transactions"},
      {" bytes in a transaction", "--max-transaction-size"},
  };
  for (const auto& [ending, option] : kOptions)
    if (aWhat.ends_with(ending)) return std::string(option);
  return {};
}

TfrmServer::TfrmServer(ItvqPlatform& aPlatform, TLineSink aLog, TLineSink aShowError, int aPort,
                       const std::vector<std::string>& aAddresses)
    : FPlatform(aPlatform), FLog(std::move(aLog)), FShowError(std::move(aShowError)), FAddresses(aAddresses) {
  WSServer.Platform = &FPlatform;
  WSServer.SetPort(aPort);
  WSServer.Options.IndexPage = "wsquotes.html";  // "GET /": the live quotes
  SetBindings();
  WSPServer_dataset.Platform = &FPlatform;
  WSPServer_dataset.SetServer(&WSServer);
  WSPServer_tvq.Platform = &FPlatform;
  WSPServer_tvq.SetServer(&WSServer);
  WSPServer_dataset.OnConnect = [this](TtvqWSConnection* c) {
    Log("Connected: " + c->Guid());
    RefreshStatus();
  };
  WSPServer_dataset.OnDisconnect = [this](TtvqWSConnection* c, int aCode) {
    Log("Disconnected (" + std::to_string(aCode) + "): " + c->Guid());
    RefreshStatus();
  };
  WSPServer_dataset.OnError = [this](TtvqWSConnection* c, const std::string& aError) {
    Log("Error: " + (c ? c->Guid() : std::string()) + ":" + tvqLogText(aError));
  };
  WSPServer_dataset.OnMessage = [this](TtvqWSConnection* c, const std::string& aText) {
    Log("Message Received (" + c->Guid() + "): " + tvqLogText(aText));
  };
  WSPServer_dataset.OnSubscription = [this](TtvqWSConnection* c, const std::string& aChannel) {
    Log("Subscribed: " + c->Guid() + ":" + tvqLogText(aChannel));
  };
  WSPServer_dataset.OnUnSubscription = [this](TtvqWSConnection* c, const std::string& aChannel) {
    Log("Unsubscribed: " + c->Guid() + ":" + tvqLogText(aChannel));
  };
  // The other clients count too: those of the base sub-protocol and those
  // without one.
  WSPServer_tvq.OnConnect = WSServer.OnConnect = [this](TtvqWSConnection*) { RefreshStatus(); };
  WSPServer_tvq.OnDisconnect = WSServer.OnDisconnect = [this](TtvqWSConnection*, int) { RefreshStatus(); };
  LogRecordChanges();
  SetTrafficLimits({});
  // A client past one of its budgets: one line, whichever thread found it.
  WSServer.OnTrafficLimit = [this](const std::string& aPeer, TtvqTrafficLimit aLimit, const std::string& aWhat) {
    static const char* const kOptions[tlCount] = {"--max-message-size", "--max-messages-per-second",
                                                  "--max-input-rate",   "--max-backlog",
                                                  "--max-output-total", "--write-timeout"};
    LogFromAnyThread("client " + aPeer + " closed: " + aWhat + " (" + kOptions[aLimit] + ")");
  };
  OnLaunch = [this](const std::string& aProgram, const std::string& aPage) {
    FPlatform.ShellExecute("open", aProgram, aPage);
  };
}

// Closing the window: the timer goes, the server stops (every connection
// thread ends), then the components and the table.
TfrmServer::~TfrmServer() {
  OnStatusChange = nullptr;
  SetTimer1Enabled(false);
  try {
    WSServer.SetActive(false);
  } catch (...) {
  }
  WSPServer_dataset.SetDataSet(nullptr);
  dsQuotes.SetDataSet(nullptr);
}

void TfrmServer::SetTrafficLimits(const TTrafficLimits& aLimits) {
  TtvqWSServerOptions& options = WSServer.Options;
  options.MaxMessageSize = aLimits.MaxMessageSize;
  options.MaxMessagesPerSecond = aLimits.MaxMessagesPerSecond;
  options.MaxInputRate = aLimits.MaxInputRate;
  options.MaxBacklog = static_cast<std::size_t>(aLimits.MaxBacklog);
  options.MaxOutputTotal = static_cast<std::size_t>(aLimits.MaxOutputTotal);
  options.WriteTimeOut = aLimits.WriteTimeout * 1000;
}

// The origins are fixed here from the configured port and addresses: the
// Host header a request brings is never trusted for them. A client's login
// runs on its connection's thread (OnAuthentication); a failed one waits
// there first, longer with each failure from that address, and is logged
// (the user name only when it is one the users file could hold; never the
// password).
void TfrmServer::SetAccess(const TAccessOptions& aAccess) {
  FAccess = aAccess;
  FUsers = aAccess.UsersFile.empty() ? std::vector<TAccessUser>{} : tvqReadUsersFile(aAccess.UsersFile);
  FAnonymous = aAccess.Anonymous.value_or(aAccess.UsersFile.empty() ? TAccessRole::Editor : TAccessRole::Viewer);

  FAccessSet = true;
  SetOrigins();

  WSPServer_dataset.ClientPublish = WSPServer_tvq.ClientPublish = aAccess.ClientPublish;
  const TAccessRole anonymous = aAccess.ReadOnly && FAnonymous == TAccessRole::Editor ? TAccessRole::Viewer : FAnonymous;
  const char* login = aAccess.UsersFile.empty() ? "none" : FAnonymous == TAccessRole::None ? "required" : "optional";
  WSServer.Options.AuthInfo =
      std::string("{\"login\":\"") + login + "\",\"role\":\"" + tvqRoleName(anonymous) + "\"}";

  WSServer.OnAuthentication = [this](TtvqWSConnection* c, const std::string& aUser, const std::string& aPassword,
                                     bool& aAuthenticated) {
    TAccessRole role = FAnonymous;
    if (!aUser.empty()) {
      const std::string address = c->IP();
      std::this_thread::sleep_for(FLoginThrottle.Delay(address));
      role = tvqLoginRole(FUsers, aUser, aPassword);
      if (role == TAccessRole::None) {
        FLoginThrottle.Failed(address);
        const bool plain = std::all_of(aUser.begin(), aUser.end(), [](char ch) {
          return std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '@' || ch == '-';
        });
        const std::string line = "Login failed: " + (plain && aUser.size() <= 64 ? aUser : std::string("(a name no user has)")) +
                                 " from " + address;
        LogFromAnyThread(line);
      } else {
        FLoginThrottle.Succeeded(address);
      }
    }
    aAuthenticated = role != TAccessRole::None;
    c->SetReadOnly(FAccess.ReadOnly || role == TAccessRole::Viewer);
  };
}

// The server's own origins are those of the plain port and, with a TLS port
// beside it, that port's https origins (nothing serves http there).
void TfrmServer::SetOrigins() {
  std::vector<std::string> origins = FAccess.AllowOrigins;
  if (origins.empty()) {
    const std::vector<std::string> interfaces = tvqInterfaceAddresses();
    const std::string host = tvqHostName();
    origins = tvqOwnOrigins(WSServer.Port(), FAddresses, interfaces, host);
    if (FTLS.Port != 0)
      for (std::string& origin : tvqOwnOrigins(FTLS.Port, FAddresses, interfaces, host))
        if (origin.starts_with("https://")) origins.push_back(std::move(origin));
  }
  std::string allowed;
  for (const std::string& origin : origins) allowed += (allowed.empty() ? "" : ",") + origin;
  const bool any = std::find(origins.begin(), origins.end(), "*") != origins.end();
  WSServer.SecurityOptions.OriginsAllowed = any ? std::string() : allowed;
}

// Made again from the settings each time, so that SetTLS may follow the
// constructor without doubling a binding. No binding of our own leaves the
// server to listen on every IPv4 and IPv6 address; once the TLS port has
// bindings, the plain port needs those any-addresses written out too.
void TfrmServer::SetBindings() {
  std::vector<std::pair<std::string, bool>> addresses;  // each with whether it is IPv6
  for (const std::string& address : FAddresses) addresses.emplace_back(address, address.find(':') != std::string::npos);
  if (addresses.empty() && FTLS.Port != 0) {
    addresses.emplace_back("", false);
    if (NetIPv6Available()) addresses.emplace_back("", true);
  }
  std::vector<int> ports{WSServer.Port()};  // first: the status shows the first binding's port
  if (FTLS.Port != 0) ports.push_back(FTLS.Port);
  TNetSocketHandles& bindings = WSServer.Bindings();
  bindings.Clear();
  for (const int port : ports) {
    for (const auto& [address, ipv6] : addresses) {
      TNetSocketHandle& binding = bindings.Add();
      if (ipv6) binding.SetIPVersion(Net_IPv6);
      binding.IP = address;
      binding.Port = port;
    }
  }
}

// The pair is loaded before anything changes: a broken one leaves the
// server as it was.
void TfrmServer::SetTLS(const TTLSOptions& aTLS) {
  std::shared_ptr<TtvqTLSContext> context;
  if (!aTLS.CertFile.empty() || !aTLS.KeyFile.empty()) context = TtvqTLSContext::Load(aTLS.CertFile, aTLS.KeyFile);
  FTLS = context ? aTLS : TTLSOptions{};
  WSServer.SetTLS(context);
  WSServer.TLSPorts = FTLS.Port != 0 ? std::vector<int>{FTLS.Port} : std::vector<int>{};
  SetBindings();
  if (FAccessSet) SetOrigins();
}

bool TfrmServer::ReloadTLS() {
  if (FTLS.CertFile.empty()) {
    FShowError("No TLS certificate to reload (the server was started without --tls-cert)");
    return false;
  }
  try {
    WSServer.SetTLS(TtvqTLSContext::Load(FTLS.CertFile, FTLS.KeyFile));
  } catch (const std::exception& e) {
    FShowError(tvqLogText("TLS certificate not reloaded, the one in use stays: " + std::string(e.what()),
                          std::string::npos));
    return false;
  }
  Log("TLS certificate reloaded from " + FTLS.CertFile);
  return true;
}

TDMQuotes& TfrmServer::DMQuotes() {
  if (!FDMQuotes) FDMQuotes = std::make_unique<TDMQuotes>();
  return *FDMQuotes;
}

void TfrmServer::SetMaxFilesPerRequest(int aValue) { WSServer.Options.MaxFilesPerRequest = aValue; }

void TfrmServer::SetTimer1Enabled(bool aValue) {
  if (aValue == Timer1Enabled()) return;
  if (aValue) {
    FTimer1 = FPlatform.StartTimer(250, [this] { Run(&TfrmServer::Timer1Timer); });
  } else {
    FPlatform.StopTimer(FTimer1);
    FTimer1 = 0;
  }
}

void TfrmServer::FormCreate() {
  TDMQuotes& quotes = DMQuotes();
  dsQuotes.SetDataSet(&quotes.cdsQuotes);
  WSPServer_dataset.SetDataSet(&quotes.cdsQuotes);
  Run(&TfrmServer::btnStartClick);  // Start, clicked in code
}

// A failed start is shown as usual, and the status keeps its reason.
void TfrmServer::btnStartClick() {
  try {
    WSServer.SetActive(true);
  } catch (...) {
    FStopReason = ErrorText(std::current_exception());
    RefreshStatus();
    throw;
  }
  FStopReason.clear();
  RefreshStatus();
  DMQuotes().FillQuotes();
  SetTimer1Enabled(true);
}

void TfrmServer::btnStopClick() {
  SetTimer1Enabled(false);
  WSServer.SetActive(false);
  FStopReason.clear();
  RefreshStatus();
}

void TfrmServer::Timer1Timer() {
  DMQuotes().MoveQuote();
  RefreshStatus();  // catches up with clients whose events are still on the way
}

void TfrmServer::RefreshStatus() {
  TServerStatus status;
  status.Running = WSServer.Active();
  if (!status.Running) {
    status.Reason = FStopReason;
  } else {
    status.Port = WSServer.Port();
    if (!WSServer.Bindings().IsEmpty() && WSServer.Bindings()[0].Port != 0) status.Port = WSServer.Bindings()[0].Port;
    // A connection counts from its handshake until it is gone; the server
    // keeps the objects of the listed ones alive past this call.
    for (const TtvqWSConnection* connection : WSServer.GetConnectionList())
      if (connection->Enabled() && !connection->Disconnected()) ++status.Clients;
  }
  if (status == FStatus) return;
  FStatus = std::move(status);
  if (OnStatusChange) OnStatusChange();
}

// The component raises the record events only for what a client sent; the
// connection is checked all the same. A delete is logged when a record
// went: one that names no record of the table changes nothing.
//   Added: <guid> row <ID>     a new record, or an update of an unknown key
//   Edited: <guid> row <ID>    an update of a record
//   Deleted: <guid> row <ID>   a delete
void TfrmServer::LogFromAnyThread(const std::string& aLine) {
  if (FPlatform.IsMainThread()) return Log(aLine);
  FPlatform.Queue([this, alive = std::weak_ptr<bool>(FAlive), aLine] {
    if (alive.lock()) Log(aLine);
  });
}

void TfrmServer::LogRecordChanges() {
  const auto id = [](TDataSet& aDataSet) {
    const TField* field = aDataSet.FindField("ID");
    return field ? field->AsString() : std::string();
  };
  WSPServer_dataset.OnAfterNewRecord = [this, id](TtvqWSConnection* c, TDataSet& aDataSet) {
    if (c) Log("Added: " + c->Guid() + " row " + id(aDataSet));
  };
  WSPServer_dataset.OnAfterUpdateRecord = [this, id](TtvqWSConnection* c, TDataSet& aDataSet) {
    if (c) Log("Edited: " + c->Guid() + " row " + id(aDataSet));
  };
  WSPServer_dataset.OnBeforeDeleteRecord = [this](TtvqWSConnection*, TDataSet& aDataSet, const ItvqObjectJSON& aRecord,
                                                  bool&) {
    const ItvqObjectJSON key = aRecord->JSONObject()->GetNode("ID");
    FDeletingID = key ? tvqLogText(key->ValueText()) : std::string();
    FRecordsBeforeDelete = aDataSet.RecordCount();
  };
  WSPServer_dataset.OnAfterDeleteRecord = [this](TtvqWSConnection* c, TDataSet& aDataSet) {
    if (c && aDataSet.RecordCount() < FRecordsBeforeDelete) Log("Deleted: " + c->Guid() + " row " + FDeletingID);
  };
}

// --idle-timeout N: the heartbeat pings a connection quiet for half of N
// and drops it when nothing has come for all of N.
void TfrmServer::SetConnectionLimits(const TConnectionLimits& aLimits) {
  const int total =
      aLimits.MaxConnections > 0 ? aLimits.MaxConnections : tvqConnectionsForDescriptors(tvqRaiseDescriptorLimit());
  WSServer.SetMaxConnections(total);
  WSServer.SetMaxConnectionsPerAddress(aLimits.MaxConnectionsPerAddress);
  WSServer.HeartBeat.Enabled = aLimits.IdleTimeout > 0;
  WSServer.HeartBeat.Interval = (aLimits.IdleTimeout + 1) / 2;
  WSServer.HeartBeat.Timeout = aLimits.IdleTimeout - WSServer.HeartBeat.Interval;
  WSServer.Options.FrameTimeOut = aLimits.FrameTimeout * 1000;
  WSServer.OnConnectionLimit = [this, aLimits, total](TtvqConnectionLimit aLimit, const std::string& aIP, int aPort) {
    const std::string client = ClientName(aIP, aPort) + " closed: ";
    switch (aLimit) {
      case clMaxConnections:
        return Log(client + "more than " + std::to_string(total) + " connections (--max-connections)");
      case clMaxConnectionsPerAddress:
        return Log(client + "more than " + std::to_string(aLimits.MaxConnectionsPerAddress) +
                   " connections from its address (--max-connections-per-address)");
      case clIdleTimeOut:
        return Log(client + "nothing received for " + std::to_string(aLimits.IdleTimeout) + " s (--idle-timeout)");
      case clFrameTimeOut:
        return Log(client + "a frame not completed within " + std::to_string(aLimits.FrameTimeout) +
                   " s (--frame-timeout)");
    }
  };
}

// The page path is one argument, unquoted; nothing is reported when no such
// browser is installed.
void TfrmServer::OpenBrowser(const std::string& aName) {
  const std::string program = tvqBrowserProgram(aName);
  if (program.empty()) return;
  OnLaunch(program, PageFolder + "wsquotes.html");
}

void TfrmServer::Run(void (TfrmServer::*aHandler)()) {
  Run([this, aHandler] { (this->*aHandler)(); });
}

void TfrmServer::Run(const std::function<void()>& aHandler) {
  try {
    aHandler();
  } catch (...) {
    ShowError(std::current_exception());
  }
}

std::string TfrmServer::ErrorText(std::exception_ptr aError) {
  try {
    std::rethrow_exception(aError);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

// An error may quote a client's text ("'...' is not a valid floating point
// value"): it is shown as a log line shows a client's text.
void TfrmServer::ShowError(std::exception_ptr aError) { FShowError(tvqLogText(ErrorText(aError))); }

// Both sub-protocol servers take the same limits; a client's first refusal
// is logged with its address, never once per message.
void TfrmServer::SetProtocolLimits(const TProtocolLimits& aLimits) {
  for (TtvqWSProtocol_tvq_Server* server :
       {static_cast<TtvqWSProtocol_tvq_Server*>(&WSPServer_dataset), &WSPServer_tvq}) {
    server->MaxChannelsPerConnection = aLimits.MaxChannelsPerConnection;
    server->MaxChannels = aLimits.MaxChannels;
    server->MaxNamesPerRequest = aLimits.MaxNamesPerRequest;
    server->MaxRetainedPerChannel = aLimits.MaxRetainedPerChannel;
    server->MaxRetainedBytes = aLimits.MaxRetainedBytes;
    server->RetainedExpiry = aLimits.RetainedExpiry;
    server->MaxPendingCalls = aLimits.MaxPendingCalls;
    server->MaxHeldQoS = aLimits.MaxHeldQoS;
    server->MaxTransactions = aLimits.MaxTransactions;
    server->MaxTransactionSize = aLimits.MaxTransactionSize;
    server->OnLimitReached = [this](TtvqWSConnection* aConnection, const std::string& aWhat) {
      if (!aConnection) return;
      const std::string option = tvqLimitOption(aWhat);
      Log(ClientName(aConnection->IP(), aConnection->Port()) + " refused: more than " + aWhat +
          (option.empty() ? std::string() : " (" + option + ")"));
    };
  }
  WSPServer_dataset.MaxRows = aLimits.MaxRows;
}
