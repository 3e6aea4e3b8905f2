// Public: the logic of the server window, frmServer, free of any window
// toolkit: the quote table, the WebSocket server and the dataset
// component, the 250 ms ticker, Start and Stop, the log lines of client
// activity (with the clients' changes to the table), the server's status
// (running, port, clients) and the four browser buttons. A front end (the
// Qt window or the headless program) gives it a platform (main-thread
// queue, timers, program launch), a line sink for the log, the default
// error handler, and optionally a grid through dsQuotes.
//
// Everything here runs on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Access.h"
#include "ConnectionLimits.h"
#include "ProtocolLimits.h"
#include "RecordTable.h"
#include "TLSOptions.h"
#include "TrafficLimits.h"
#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Protocol_Dataset_Server.h"
#include "tvqWebSocket_Protocol_tvq_Server.h"
#include "tvqWebSocket_Server.h"
#include "uDMQuotes.h"

// The folder of the running executable, with its trailing "/".
std::string tvqExecutableFolder();

// The program a browser button names ("chrome", "firefox", "safari",
// "explorer"), as installed here: the first candidate found on the search
// path; empty when none is.
std::string tvqBrowserProgram(const std::string& aName);

// What the window shows of the server.
struct TServerStatus {
  bool Running = false;
  int Port = 0;     // the port listened on (the one bound, when asked for port 0); 0 when stopped
  int Clients = 0;  // open WebSocket connections, whatever their sub-protocol
  // Why the server is stopped: the error of the last Start when it failed;
  // empty after a Stop.
  std::string Reason;
  friend bool operator==(const TServerStatus&, const TServerStatus&) = default;
};

// The status line: "Running on port 5413 — 2 clients connected", "Stopped",
// or "Stopped: " followed by the reason.
std::string tvqServerStatusText(const TServerStatus& aStatus);

// A client's text as a log line shows it: control characters escaped (a
// line feed as "\n", others as "\u001B"), so that no text can start a line
// of its own, and cut after aMaxCharacters characters, followed by "…".
std::string tvqLogText(std::string_view aText, std::size_t aMaxCharacters = 200);
// The option that sets the limit a refusal names ("256 channels per
// connection" gives "--max-channels-per-connection"); empty when unknown.
std::string tvqLimitOption(std::string_view aWhat);

class TfrmServer {
 public:
  using TLineSink = std::function<void(const std::string&)>;

  // aPort: the listening port (the program's is 5413); aAddresses: the
  // local addresses to listen on (none: every IPv4 and IPv6 address).
  TfrmServer(ItvqPlatform& aPlatform, TLineSink aLog, TLineSink aShowError, int aPort = 5413,
             const std::vector<std::string>& aAddresses = {});
  TfrmServer(const TfrmServer&) = delete;
  TfrmServer& operator=(const TfrmServer&) = delete;
  ~TfrmServer();

  // The data module, created on first use.
  TDMQuotes& DMQuotes();
  // The grid's link to the table; a front end with a grid watches it.
  TDataSource dsQuotes;
  TtvqWebSocketServer WSServer;
  TtvqWSPServer_Dataset WSPServer_dataset;
  // The base sub-protocol beside it (channels, publish, RPC), so that its
  // test page works against the program too. Its connections are not
  // logged: the log speaks of the quote table's clients.
  TtvqWSProtocol_tvq_Server WSPServer_tvq;

  // The traffic budgets; the defaults hold until a front end sets its
  // options. Each connection takes them when it is accepted.
  void SetTrafficLimits(const TTrafficLimits& aLimits);
  // ---- access control (--allow-origin, --users, --anonymous, --read-only,
  // --client-publish). Before the server starts; throws for a users file
  // that cannot be read or has a bad line. Without a call every page may
  // connect and every client edit, as the window always let them.
  void SetAccess(const TAccessOptions& aAccess);
  // The role of a client that gives no login (None: it must log in).
  TAccessRole AnonymousRole() const { return FAnonymous; }
  // ---- TLS (--tls-cert, --tls-key, --tls-port). Before the server starts:
  // loads the certificate and key, and throws std::runtime_error naming the
  // file and what is wrong with it (the program does not start then). With
  // a port, plain and TLS listen side by side on every listened address;
  // without one, the one port speaks TLS. The default origins then count
  // the TLS port's https origins too. A pair without files: no TLS.
  void SetTLS(const TTLSOptions& aTLS);
  // Loads the same files again (on SIGHUP): connections accepted afterwards
  // get the new pair, open ones keep theirs. A pair that fails keeps the
  // old one, and the error says why. False when nothing was reloaded.
  bool ReloadTLS();
  const TTLSOptions& TLS() const { return FTLS; }

  // What one client can make the sub-protocol servers hold; call before
  // the server starts. A client's first refusal is logged once.
  void SetProtocolLimits(const TProtocolLimits& aLimits);

  bool Timer1Enabled() const { return FTimer1 != 0; }
  void SetTimer1Enabled(bool aValue);
  // Where the browser buttons find "wsquotes.html" (the executable's folder).
  std::string PageFolder = tvqExecutableFolder();
  // Starts a browser program with the page path; the platform's launch by
  // default.
  std::function<void(const std::string& aProgram, const std::string& aPage)> OnLaunch;

  // HTTP files: the most distinct files one request may name (0: no limit);
  // called before the server starts.
  void SetMaxFilesPerRequest(int aValue);

  // ---- the window's handlers
  void FormCreate();
  void btnStartClick();
  void btnStopClick();
  void Timer1Timer();
  void btnChromeClick() { OpenBrowser("chrome"); }
  void btnFirefoxClick() { OpenBrowser("firefox"); }
  void btnSafariClick() { OpenBrowser("safari"); }
  void btnExplorerClick() { OpenBrowser("explorer"); }
  void OpenBrowser(const std::string& aName);

  // The server's status, brought up to date on Start and Stop, when a
  // client connects or leaves, and on each tick of the ticker.
  const TServerStatus& Status() const { return FStatus; }
  std::string StatusText() const { return tvqServerStatusText(FStatus); }
  // Runs after each change of Status().
  std::function<void()> OnStatusChange;
  // Counts the clients again and notes whether the server listens.
  void RefreshStatus();

  // The limits on connections, before the server starts: raises the
  // descriptor limit when MaxConnections is 0 and takes the connections it
  // allows; logs each client a limit closes.
  void SetConnectionLimits(const TConnectionLimits& aLimits);

  // Runs a handler as the window does: an error it raises goes to the
  // default error handler, and the program goes on.
  void Run(void (TfrmServer::*aHandler)());
  void Run(const std::function<void()>& aHandler);
  // The default error handler.
  void ShowError(std::exception_ptr aError);

 private:
  // Every line is escaped: whatever a client's text reached it, it stays
  // one line.
  void Log(const std::string& aLine) { FLog(tvqLogText(aLine, std::string::npos)); }
  // The same from any thread: a connection thread's line is queued to the
  // main thread, and dropped when the window logic is gone by then.
  void LogFromAnyThread(const std::string& aLine);
  // The log lines of a client's changes to the table ("Added", "Edited",
  // "Deleted"); the ticker's own changes are not logged.
  void LogRecordChanges();
  static std::string ErrorText(std::exception_ptr aError);
  // The listening sockets: the plain port on each listened address (none:
  // the server's own any-addresses), and the TLS port beside it when there
  // is one.
  void SetBindings();
  // The allowed origins from the access settings, or the server's own.
  void SetOrigins();

  ItvqPlatform& FPlatform;
  TLineSink FLog;
  TLineSink FShowError;
  ItvqPlatform::TTimerId FTimer1 = 0;
  TServerStatus FStatus;
  std::string FStopReason;  // the error of the last Start, when it failed
  // A client's delete in progress: the key it names and the records before.
  std::string FDeletingID;
  int FRecordsBeforeDelete = 0;
  // Access control: the listened addresses (for the default origins), the
  // settings, the users, and the failed logins per address. Read by the
  // connection threads' logins: set before the server starts only.
  std::vector<std::string> FAddresses;
  TAccessOptions FAccess;
  bool FAccessSet = false;  // SetAccess has run: the origins are ours to keep up to date
  TTLSOptions FTLS;
  std::vector<TAccessUser> FUsers;
  TAccessRole FAnonymous = TAccessRole::Editor;
  TLoginThrottle FLoginThrottle;
  // Gone with the window: a log line queued by a connection thread is then
  // dropped.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  // Declared last: destroyed first, after the server has stopped.
  std::unique_ptr<TDMQuotes> FDMQuotes;
};
