#include "fServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../support/WebSocketClient.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using std::chrono::milliseconds;
using test::WaitUntil;
using test::WebSocketClient;

const std::string kDataset = "dataset.tvq.tickerhall";

// The window logic on an event loop of its own, listening on an ephemeral
// loopback port (or aPort); the log and the error handler write into lists.
class Form : public ::testing::Test {
 protected:
  explicit Form(int aPort = 0) : frmServer(loop, Sink(log), Sink(errors), aPort, "127.0.0.1") {
    main = std::thread([this] { loop.Run(); });
    EXPECT_TRUE(WaitUntil([&] { return loop.Running(); }));
    loop.OnException = [this](std::exception_ptr e) { frmServer.ShowError(e); };
  }
  ~Form() override {
    loop.Synchronize([this] { frmServer.Run(&TfrmServer::btnStopClick); });
    loop.Quit();
    main.join();
  }

  std::function<void(const std::string&)> Sink(std::vector<std::string>& aLines) {
    return [this, &aLines](const std::string& aLine) {
      std::lock_guard guard(lock);
      aLines.push_back(aLine);
    };
  }
  std::vector<std::string> Lines(const std::vector<std::string>& aLines) {
    std::lock_guard guard(lock);
    return aLines;
  }
  bool Logged(const std::string& aLine) {
    return WaitUntil([&] {
      const auto lines = Lines(log);
      return std::find(lines.begin(), lines.end(), aLine) != lines.end();
    });
  }
  void OnMain(const std::function<void()>& aWork) { loop.Synchronize(aWork); }
  int Port() {
    int port = 0;
    OnMain([&] { port = frmServer.WSServer.Bindings()[0].Port; });
    return port;
  }
  // A dataset client past its connect sequence; its Guid in aGuid.
  WebSocketClient Connect(std::string& aGuid) {
    WebSocketClient client(Port(), kDataset);
    const std::string session = client.NextText();
    aGuid = session.substr(session.find("\"message\":\"") + 11, 32);
    for (int i = 0; i < 23; ++i) client.NextText();
    return client;
  }
  int RecordCount() {
    int count = -1;
    OnMain([&] { count = frmServer.DMQuotes().cdsQuotes.RecordCount(); });
    return count;
  }

  TtvqEventLoop loop;
  std::thread main;
  std::mutex lock;
  std::vector<std::string> log, errors;
  TfrmServer frmServer;
};

TEST_F(Form, CreatingTheWindowStartsEverything) {
  OnMain([this] { frmServer.FormCreate(); });
  OnMain([this] {
    EXPECT_TRUE(frmServer.WSServer.Active());
    EXPECT_TRUE(frmServer.Timer1Enabled());
    EXPECT_EQ(frmServer.dsQuotes.DataSet(), &frmServer.DMQuotes().cdsQuotes);
    EXPECT_EQ(frmServer.WSPServer_dataset.DataSet(), &frmServer.DMQuotes().cdsQuotes);
  });
  EXPECT_EQ(RecordCount(), 20);
  // The ticker runs: a subscriber sees quotes move.
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"tvq@dataset@update"},"id":"1"})");
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@acknowledgment"));
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@subscribe"));
  EXPECT_THAT(client.NextText(), HasSubstr(R"("method":"tvq@dataset","channel":"tvq@dataset@update")"));
  EXPECT_THAT(Lines(errors), IsEmpty());
}

TEST_F(Form, StopThenStartKeepsTheLogAndRefills) {
  OnMain([this] { frmServer.FormCreate(); });
  std::string guid;
  WebSocketClient client = Connect(guid);
  ASSERT_TRUE(Logged("Connected: " + guid));
  OnMain([this] { frmServer.Run(&TfrmServer::btnStopClick); });
  OnMain([this] {
    EXPECT_FALSE(frmServer.Timer1Enabled());
    EXPECT_FALSE(frmServer.WSServer.Active());
  });
  EXPECT_TRUE(client.Raw().WaitForClose());
  OnMain([this] { frmServer.Run(&TfrmServer::btnStopClick); });  // stopped: nothing changes
  OnMain([this] { frmServer.Run(&TfrmServer::btnStartClick); });
  EXPECT_EQ(RecordCount(), 20);
  OnMain([this] { EXPECT_TRUE(frmServer.Timer1Enabled()); });
  EXPECT_EQ(Lines(log).front(), "Connected: " + guid);  // the log survives
  std::string again;
  WebSocketClient second = Connect(again);
  // Start while running drops the clients and refills.
  OnMain([this] { frmServer.Run(&TfrmServer::btnStartClick); });
  EXPECT_TRUE(second.Raw().WaitForClose());
  EXPECT_EQ(RecordCount(), 20);
  EXPECT_THAT(Lines(errors), IsEmpty());
}

TEST_F(Form, LogLinesOfClientActivity) {
  OnMain([this] { frmServer.FormCreate(); });
  WebSocketClient plain(Port(), "");  // no sub-protocol: no line
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"tvq@dataset@update"}})");
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@message","params":{"message":"hello there"}})");
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@unsubscribe","params":{"channel":"tvq@dataset@update"}})");
  ASSERT_TRUE(Logged("Unsubscribed: " + guid + ":tvq@dataset@update"));
  OnMain([&] {
    frmServer.WSPServer_dataset.DoReportError(frmServer.WSServer.GetConnectionByGuid(guid), "something failed");
  });
  ASSERT_TRUE(Logged("Error: " + guid + ":something failed"));
  std::string other;
  WebSocketClient closing = Connect(other);
  closing.Raw().Send(test::CloseFrame(1000));
  ASSERT_TRUE(Logged("Disconnected (1000): " + other));
  const std::vector<std::string> lines = Lines(log);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_THAT(std::vector(lines.begin(), lines.begin() + 5),
              ElementsAre("Connected: " + guid, "Subscribed: " + guid + ":tvq@dataset@update",
                          "Message Received (" + guid + "): hello there",
                          "Unsubscribed: " + guid + ":tvq@dataset@update", "Error: " + guid + ":something failed"));
}

TEST_F(Form, AFailingHandlerIsShownAndTheProgramGoesOn) {
  OnMain([this] { frmServer.FormCreate(); });
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@update","dataset":{"ID":3,"LAST":"8265,2x"}}})");
  ASSERT_TRUE(WaitUntil([&] { return !Lines(errors).empty(); }));
  EXPECT_EQ(Lines(errors).front(), "'8265,2x' is not a valid floating point value");
  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"tvq@dataset@update"}})");
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@subscribe"));
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@dataset@update"));  // the ticker goes on
}

TEST_F(Form, BrowserButtonsStartTheInstalledBrowserWithThePage) {
  // A search path with just the programs this test says are installed.
  const std::filesystem::path bin = std::filesystem::temp_directory_path() / ("tickerhall-bin-" + std::to_string(getpid()));
  std::filesystem::create_directories(bin);
  for (const char* program : {"chromium", "xdg-open"}) {
    std::ofstream(bin / program) << "#!/bin/sh\n";
    std::filesystem::permissions(bin / program, std::filesystem::perms::owner_all);
  }
  const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", bin.c_str(), 1);
  std::vector<std::pair<std::string, std::string>> launched;
  frmServer.OnLaunch = [&](const std::string& aProgram, const std::string& aPage) { launched.emplace_back(aProgram, aPage); };
  frmServer.PageFolder = "/opt/my programs/";
  for (auto click : {&TfrmServer::btnChromeClick, &TfrmServer::btnFirefoxClick, &TfrmServer::btnSafariClick,
                     &TfrmServer::btnExplorerClick})
    (frmServer.*click)();
  setenv("PATH", savedPath.c_str(), 1);
  std::filesystem::remove_all(bin);
  const std::string page = "/opt/my programs/wsquotes.html";  // one argument, unquoted
  EXPECT_THAT(launched, ElementsAre(std::pair{std::string("chromium"), page}, std::pair{std::string("xdg-open"), page},
                                    std::pair{std::string("xdg-open"), page}));
  EXPECT_EQ(tvqExecutableFolder().back(), '/');
}

// A loopback port already taken by another listener.
struct TTakenPort {
  TTakenPort() {
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(socket, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~TTakenPort() { ::close(socket); }
  int socket = -1;
  int port = 0;
};

// The start fails with the bind error, the table stays empty and the timer
// off.
class BusyPort : private TTakenPort, public Form {
 protected:
  BusyPort() : Form(port) {}
};

TEST_F(BusyPort, StartShowsTheBindErrorAndLeavesTheTableEmpty) {
  OnMain([this] { frmServer.FormCreate(); });
  EXPECT_THAT(Lines(errors), ElementsAre("Could not bind socket."));
  EXPECT_EQ(RecordCount(), 0);
  OnMain([this] { EXPECT_FALSE(frmServer.Timer1Enabled()); });
}

}  // namespace
