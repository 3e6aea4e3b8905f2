#include "fServer.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

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

TfrmServer::TfrmServer(ItvqPlatform& aPlatform, TLineSink aLog, TLineSink aShowError, int aPort,
                       const std::vector<std::string>& aAddresses)
    : FPlatform(aPlatform), FLog(std::move(aLog)), FShowError(std::move(aShowError)) {
  WSServer.Platform = &FPlatform;
  WSServer.SetPort(aPort);
  WSServer.Options.IndexPage = "wsquotes.html";  // "GET /": the live quotes
  for (const std::string& address : aAddresses) {
    TNetSocketHandle& binding = WSServer.Bindings().Add();
    if (address.find(':') != std::string::npos) binding.SetIPVersion(Net_IPv6);
    binding.IP = address;
  }
  WSPServer_dataset.Platform = &FPlatform;
  WSPServer_dataset.SetServer(&WSServer);
  WSPServer_tvq.Platform = &FPlatform;
  WSPServer_tvq.SetServer(&WSServer);
  WSPServer_dataset.OnConnect = [this](TtvqWSConnection* c) { Log("Connected: " + c->Guid()); };
  WSPServer_dataset.OnDisconnect = [this](TtvqWSConnection* c, int aCode) {
    Log("Disconnected (" + std::to_string(aCode) + "): " + c->Guid());
  };
  WSPServer_dataset.OnError = [this](TtvqWSConnection* c, const std::string& aError) {
    Log("Error: " + (c ? c->Guid() : std::string()) + ":" + aError);
  };
  WSPServer_dataset.OnMessage = [this](TtvqWSConnection* c, const std::string& aText) {
    Log("Message Received (" + c->Guid() + "): " + aText);
  };
  WSPServer_dataset.OnSubscription = [this](TtvqWSConnection* c, const std::string& aChannel) {
    Log("Subscribed: " + c->Guid() + ":" + aChannel);
  };
  WSPServer_dataset.OnUnSubscription = [this](TtvqWSConnection* c, const std::string& aChannel) {
    Log("Unsubscribed: " + c->Guid() + ":" + aChannel);
  };
  OnLaunch = [this](const std::string& aProgram, const std::string& aPage) {
    FPlatform.ShellExecute("open", aProgram, aPage);
  };
}

// Closing the window: the timer goes, the server stops (every connection
// thread ends), then the components and the table.
TfrmServer::~TfrmServer() {
  SetTimer1Enabled(false);
  try {
    WSServer.SetActive(false);
  } catch (...) {
  }
  WSPServer_dataset.SetDataSet(nullptr);
  dsQuotes.SetDataSet(nullptr);
}

TDMQuotes& TfrmServer::DMQuotes() {
  if (!FDMQuotes) FDMQuotes = std::make_unique<TDMQuotes>();
  return *FDMQuotes;
}

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

void TfrmServer::btnStartClick() {
  WSServer.SetActive(true);
  DMQuotes().FillQuotes();
  SetTimer1Enabled(true);
}

void TfrmServer::btnStopClick() {
  SetTimer1Enabled(false);
  WSServer.SetActive(false);
}

void TfrmServer::Timer1Timer() { DMQuotes().MoveQuote(); }

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

void TfrmServer::ShowError(std::exception_ptr aError) {
  std::string message;
  try {
    std::rethrow_exception(aError);
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  FShowError(message);
}
