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
#include <optional>
#include <sstream>
#include <thread>

#include "tvqNetTLS.h"
#include "../support/JsonRpcTexts.h"
#include "../support/MainThread.h"
#include "../support/WebSocketClient.h"
#include "../support/TakenPort.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using std::chrono::milliseconds;
using test::WaitUntil;
using test::WebSocketClient;

const std::string kDataset = "dataset.tvq.tickerhall";

// The window logic on an event loop of its own, listening on an ephemeral
// loopback port (or aPort); the log and the error handler write into lists.
class Form : public ::testing::Test {
 protected:
  explicit Form(int aPort = 0) : frmServer(loop, Sink(log), Sink(errors), aPort, {"127.0.0.1"}) {
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
  // The status line now, and each one the form notified.
  std::string Status() {
    std::string text;
    OnMain([&] { text = frmServer.StatusText(); });
    return text;
  }
  void WatchStatus() {
    OnMain([this] { frmServer.OnStatusChange = [this] { Sink(statuses)(frmServer.StatusText()); }; });
  }
  bool StatusBecomes(const std::string& aText) {
    return WaitUntil([&] { return !Lines(statuses).empty() && Lines(statuses).back() == aText; });
  }

  TtvqEventLoop loop;
  std::thread main;
  std::mutex lock;
  std::vector<std::string> log, errors, statuses;
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

// A client's changes to the table are logged with the record's ID; the
// ticker's own moves, a change that fails and a delete that finds no record
// are not.
TEST_F(Form, ClientChangesToTheTableAreLogged) {
  OnMain([this] { frmServer.FormCreate(); });
  std::string guid;
  WebSocketClient client = Connect(guid);
  const struct {
    const char* channel;
    const char* dataset;
  } sent[] = {
      {"tvq@dataset@update", R"({"ID":3,"LAST":"8265,50"})"},
      {"tvq@dataset@update", R"({"ID":4,"LAST":"8265,2x"})"},  // fails
      {"tvq@dataset@new",
       R"({"ID":21,"NAME":"Symbol 21","EXCHANGE":"NYSE","OPEN":"10,00","HIGH":"10,00","LOW":"10,00","LAST":"10,00"})"},
      {"tvq@dataset@update", R"({"ID":22,"NAME":"Symbol 22"})"},  // an unknown key adds the record
      {"tvq@dataset@delete", R"({"ID":5})"},
      {"tvq@dataset@delete", R"({"ID":99})"},  // no such record
      {"tvq@dataset@update", R"({"ID":"7","HIGH":"9999,00"})"},
  };
  for (const auto& message : sent) client.SendText(test::ClientRecord(message.channel, message.dataset));
  ASSERT_TRUE(Logged("Edited: " + guid + " row 7"));
  OnMain([this] {
    for (int tick = 0; tick < 10; ++tick) frmServer.Timer1Timer();
  });
  std::vector<std::string> changes;
  for (const std::string& line : Lines(log))
    if (line.rfind("Added: ", 0) == 0 || line.rfind("Edited: ", 0) == 0 || line.rfind("Deleted: ", 0) == 0)
      changes.push_back(line);
  EXPECT_THAT(changes, ElementsAre("Edited: " + guid + " row 3", "Added: " + guid + " row 21",
                                   "Added: " + guid + " row 22", "Deleted: " + guid + " row 5",
                                   "Edited: " + guid + " row 7"));
  EXPECT_THAT(Lines(errors), ElementsAre("'8265,2x' is not a valid floating point value"));
  EXPECT_EQ(RecordCount(), 21);
}

TEST(ServerStatusText, SaysRunningOnWhichPortWithHowManyClientsOrWhyStopped) {
  const struct {
    TServerStatus status;
    const char* text;
  } cases[] = {
      {{true, 5413, 0, ""}, "Running on port 5413 — 0 clients connected"},
      {{true, 5413, 1, ""}, "Running on port 5413 — 1 client connected"},
      {{true, 8080, 12, ""}, "Running on port 8080 — 12 clients connected"},
      {{false, 5413, 0, ""}, "Stopped"},
      {{false, 5413, 0, "Could not bind socket."}, "Stopped: Could not bind socket."},
  };
  for (const auto& c : cases) EXPECT_EQ(tvqServerStatusText(c.status), c.text);
}

// A client's text in a log line: control characters escaped, so that it
// cannot start a line of its own (or move a terminal's cursor), and cut
// after 200 characters (not bytes).
TEST(LogText, EscapesControlCharactersAndCutsLongTexts) {
  const std::string e = "\xC3\xA9";  // é, two bytes
  const struct {
    const char* name;
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain", "hello there", "hello there"},
      {"line feed", "one\n2026-12-11T10:57:23.123Z Connected: forged", "one\\n2026-12-11T10:57:23.123Z Connected: forged"},
      {"CR and tab", "a\rb\tc", "a\\rb\\tc"},
      {"escape sequence, bell, DEL", "\x1b[2J\a\x7f", "\\u001B[2J\\u0007\\u007F"},
      {"NUL", std::string("a\0b", 3), "a\\u0000b"},
      {"C1 control (CSI)", "x\xC2\x9B" "31m", "x\\u009B31m"},
      {"not UTF-8", "a\xFF\xC3", "a\\xFF\\xC3"},
      {"UTF-8 kept", e + "\xE2\x82\xAC\xF0\x9F\x98\x80 \xC2\xA0", e + "\xE2\x82\xAC\xF0\x9F\x98\x80 \xC2\xA0"},
      {"backslashes kept", R"(a\nb\\)", R"(a\nb\\)"},
      {"200 characters", std::string(200, 'a'), std::string(200, 'a')},
      {"201 characters", std::string(201, 'a'), std::string(200, 'a') + "\xE2\x80\xA6"},
      {"15 MiB", std::string(15 << 20, 'a'), std::string(200, 'a') + "\xE2\x80\xA6"},
      {"characters, not bytes", [&] { std::string t; for (int i = 0; i < 300; ++i) t += e; return t; }(),
       [&] { std::string t; for (int i = 0; i < 200; ++i) t += e; return t + "\xE2\x80\xA6"; }()},
      {"an escape counts once", std::string(199, 'a') + "\n\n", std::string(199, 'a') + "\\n\xE2\x80\xA6"},
  };
  for (const auto& c : cases) EXPECT_EQ(tvqLogText(c.text), c.shown) << c.name;
  EXPECT_EQ(tvqLogText(std::string(300, 'a'), std::string::npos), std::string(300, 'a'));
}

TEST(LimitOption, NamesTheOptionOfEachRefusal) {
  const struct {
    const char* what;
    const char* option;
  } cases[] = {
      {"10000 rows", "--max-rows"},
      {"256 channels per connection", "--max-channels-per-connection"},
      {"10000 channels", "--max-channels"},
      {"64 names per request", "--max-names-per-request"},
      {"4194304 retained bytes", "--max-retained-bytes"},
      {"64 pending calls", "--max-pending-calls"},
      {"64 held messages", "--max-held-qos"},
      {"16 transactions", "--max-transactions"},
      {"1048576 bytes in a transaction", "--max-transaction-size"},
      {"something else", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(tvqLimitOption(c.what), c.option) << c.what;
}

// What clients send reaches the log and the error handler escaped and cut;
// a client's first refusal names its address, its port and the option.
TEST_F(Form, ClientTextsInTheLogAreEscapedAndCutAndARefusalNamesTheClient) {
  TProtocolLimits limits;
  limits.MaxRows = 20;
  frmServer.SetProtocolLimits(limits);
  OnMain([this] { frmServer.FormCreate(); });
  std::string guid;
  WebSocketClient client = Connect(guid);
  int port = 0;
  OnMain([&] { port = frmServer.WSServer.GetConnectionByGuid(guid)->Port(); });

  client.SendText(R"({"jsonrpc":"2.0","method":"tvq@message","params":{"message":")" + std::string(1000, 'x') + R"("}})");
  ASSERT_TRUE(Logged("Message Received (" + guid + "): " + std::string(200, 'x') + "\xE2\x80\xA6"));
  // The price is decoded before it is read: the line feed is a real one in
  // the error, and is shown escaped.
  client.SendText(test::ClientRecord("tvq@dataset@update", R"({"ID":3,"LAST":"1\n2026-12-11T10:57:23.123Z Forged"})"));
  ASSERT_TRUE(WaitUntil([&] { return !Lines(errors).empty(); }));
  EXPECT_EQ(Lines(errors).front(), "'1\\n2026-12-11T10:57:23.123Z Forged' is not a valid floating point value");
  for (const std::string& line : Lines(log)) EXPECT_EQ(line.find('\n'), std::string::npos) << line;

  for (int id = 21; id <= 23; ++id)
    client.SendText(test::ClientRecord("tvq@dataset@new", R"({"ID":)" + std::to_string(id) + "}"));
  const std::string refused = "client 127.0.0.1:" + std::to_string(port) + " refused: more than 20 rows (--max-rows)";
  ASSERT_TRUE(Logged(refused));
  EXPECT_EQ(RecordCount(), 20);
  const auto lines = Lines(log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), refused), 1);  // once, however often it is refused
}

// The status counts the open WebSocket connections of every sub-protocol
// (and those without one), not a connection that has not completed its
// handshake; it follows clients that come and go, Stop and Start, and
// each change is notified.
TEST_F(Form, StatusFollowsTheServerAndItsClients) {
  WatchStatus();
  EXPECT_EQ(Status(), "Stopped");
  OnMain([this] { frmServer.FormCreate(); });
  const std::string running = "Running on port " + std::to_string(Port()) + " — ";
  EXPECT_THAT(Lines(statuses), ElementsAre(running + "0 clients connected"));

  std::string guid;
  WebSocketClient dataset = Connect(guid);
  EXPECT_TRUE(StatusBecomes(running + "1 client connected"));
  test::LoopbackClient handshakeNotSent(Port());
  WebSocketClient base(Port(), tvqBaseSubProtocol);
  WebSocketClient plain(Port(), "");
  EXPECT_TRUE(StatusBecomes(running + "3 clients connected"));
  OnMain([this] { frmServer.RefreshStatus(); });
  EXPECT_EQ(Status(), running + "3 clients connected");

  base.Raw().Send(test::CloseFrame(1000));
  EXPECT_TRUE(StatusBecomes(running + "2 clients connected"));
  plain.Raw().Close();
  EXPECT_TRUE(StatusBecomes(running + "1 client connected"));

  OnMain([this] { frmServer.Run(&TfrmServer::btnStopClick); });
  EXPECT_EQ(Lines(statuses).back(), "Stopped");
  OnMain([this] {
    EXPECT_FALSE(frmServer.Status().Running);
    EXPECT_EQ(frmServer.Status().Clients, 0);
  });
  OnMain([this] { frmServer.Run(&TfrmServer::btnStartClick); });
  EXPECT_EQ(Lines(statuses).back(), "Running on port " + std::to_string(Port()) + " — 0 clients connected");
  EXPECT_THAT(Lines(errors), IsEmpty());
}

// ---------------------------------------------------------------- hostile input

std::string Record(const std::string& aDataset) { return test::ClientRecord("tvq@dataset@update", aDataset); }

std::string ManyMembers() {
  std::string dataset = R"({"ID":3)";
  for (int i = 0; i < 10000; ++i) dataset += ",\"m" + std::to_string(i) + "\":" + std::to_string(i);
  return dataset + "}";
}

struct THostileCase {
  const char* name;
  bool websocket;       // the bytes follow a completed dataset handshake
  std::string bytes;
  int closeCode;        // the close frame expected; 0: none
  bool dropped;         // the server ends the connection
  bool reported;        // one error goes to the default error handler
};

// Each hostile input costs at most its own connection and one reported
// error; a subscriber connected throughout keeps receiving the ticker.
TEST_F(Form, HostileInputCostsOnlyItsOwnConnection) {
  // UTF-8 checked, and close frames sent before a drop, so that the close
  // codes show (the program itself drops without them).
  frmServer.WSServer.Options.ValidateUTF8 = true;
  frmServer.WSServer.Options.CleanDisconnect = true;
  OnMain([this] { frmServer.FormCreate(); });
  std::string watcherGuid;
  WebSocketClient watcher = Connect(watcherGuid);
  watcher.SendText(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"tvq@dataset@update"}})");
  ASSERT_THAT(watcher.NextText(), HasSubstr("tvq@subscribe"));

  const std::string hixie =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://x\r\n"
      "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\nSec-WebSocket-Key1: 12345678\r\n"
      "Sec-WebSocket-Key2: 87654321\r\n\r\n12345678";
  const THostileCase cases[] = {
      {"oversized request", false, "GET / HTTP/1.1\r\nX-Padding: " + std::string(20000, 'a') + "\r\n\r\n", 0, true, false},
      {"oversized frame", true, test::ClientHeader(0x81, std::uint64_t{17} << 20) + std::string(1000, 'x'), 1009, true, false},
      {"64-bit length with the top bit set", true, test::ClientHeader(0x81, std::uint64_t{1} << 63), 0, true, false},
      {"invalid UTF-8", true, test::ClientFrame(0x81, "\xC3\x28 bad"), 1007, true, false},
      {"truncated frame, then the client goes", true, test::ClientFrame(0x81, std::string(200, 'x')).substr(0, 50), 0, false, false},
      {"text that is not JSON", true, test::ClientFrame(0x81, "hello"), 0, false, true},
      {"10000 nested brackets", true, test::ClientFrame(0x81, std::string(10000, '[')), 0, false, true},
      {"a record with 10000 members", true, test::ClientFrame(0x81, Record(ManyMembers())), 0, false, false},
      {"price 1e999", true, test::ClientFrame(0x81, Record(R"({"ID":4,"LAST":"1e999"})")), 0, false, true},
      {"post with Content-Length -1", false, "POST /tvq/xhr/" + watcherGuid + " HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc", 0, true, false},
      {"post with Content-Length 2^40", false, "POST /tvq/xhr/" + watcherGuid + " HTTP/1.1\r\nContent-Length: 1099511627776\r\n\r\nabc", 0, true, false},
      {"Hixie-76 key without blanks", false, hixie, 0, true, false},
  };
  for (const THostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t errorsBefore = Lines(errors).size();
    {
      std::string guid;
      test::LoopbackClient raw;
      std::optional<WebSocketClient> client;
      if (c.websocket) {
        client.emplace(Connect(guid));
        client->Raw().Send(c.bytes);
      } else {
        raw.Connect(Port());
        raw.Send(c.bytes);
      }
      test::LoopbackClient& socket = c.websocket ? client->Raw() : raw;
      if (c.closeCode != 0) {
        const std::string rest = socket.ReceiveUntilClose();
        const std::string close = {static_cast<char>(0x88), 0x02, static_cast<char>(c.closeCode >> 8),
                                   static_cast<char>(c.closeCode & 0xFF)};
        EXPECT_NE(rest.find(close.substr(2)), std::string::npos) << "no close " << c.closeCode;
      } else if (c.dropped) {
        EXPECT_TRUE(socket.WaitForClose());
      } else if (c.reported) {
        EXPECT_TRUE(WaitUntil([&] { return Lines(errors).size() > errorsBefore; }));
      }
    }
    // The subscriber connected throughout still gets the ticker's updates.
    for (int i = 0; i < 3; ++i) EXPECT_THAT(watcher.NextText(), HasSubstr("tvq@dataset")) << i;
    EXPECT_LE(Lines(errors).size(), errorsBefore + (c.reported ? 1 : 0));
  }
  EXPECT_THAT(Lines(errors), ElementsAre("Error decoding message.", "Error decoding message.",
                                         "'1e999' is not a valid floating point value"));
}

using test::TTakenPort;

// The start fails with the bind error, the table stays empty and the timer
// off.
class BusyPort : protected TTakenPort, public Form {
 protected:
  BusyPort() : Form(port) {}
};

TEST_F(BusyPort, StartShowsTheBindErrorAndLeavesTheTableEmpty) {
  OnMain([this] { frmServer.FormCreate(); });
  EXPECT_THAT(Lines(errors), ElementsAre("Could not bind socket. 127.0.0.1:" + std::to_string(port) +
                                         ": address already in use (another program listens on that port)"));
  EXPECT_EQ(RecordCount(), 0);
  OnMain([this] { EXPECT_FALSE(frmServer.Timer1Enabled()); });
}

// The status says why the server is stopped until Stop is clicked; a Start
// that fails again says so again.
TEST_F(BusyPort, TheStatusSaysWhyTheServerIsStopped) {
  WatchStatus();
  OnMain([this] { frmServer.FormCreate(); });
  const std::string reason = "Could not bind socket. 127.0.0.1:" + std::to_string(port) +
                             ": address already in use (another program listens on that port)";
  EXPECT_THAT(Lines(statuses), ElementsAre("Stopped: " + reason));
  OnMain([this] { EXPECT_FALSE(frmServer.Status().Running); });
  OnMain([this] { frmServer.Run(&TfrmServer::btnStopClick); });
  EXPECT_EQ(Status(), "Stopped");
  OnMain([this] { frmServer.Run(&TfrmServer::btnStartClick); });
  EXPECT_EQ(Status(), "Stopped: " + reason);
  EXPECT_THAT(Lines(statuses), ElementsAre("Stopped: " + reason, "Stopped", "Stopped: " + reason));
}

// ---------------------------------------------------------------- TLS

// Throw-away self-signed pairs ("first", "second"), made with the openssl
// command in a temporary folder that goes with the test.
class TLSFiles {
 public:
  TLSFiles()
      : FFolder(std::filesystem::temp_directory_path() / ("tickerhall-tls-" + std::to_string(::getpid()) + "-" +
                                                          std::to_string(++FCount))) {
    std::filesystem::create_directories(FFolder);
    for (const char* name : {"first", "second"}) {
      const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                                  "-subj /CN=" + std::string(name) + " -keyout '" + Key(name) + "' -out '" +
                                  Cert(name) + "' >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) ADD_FAILURE() << "the openssl command made no pair: " << command;
    }
  }
  ~TLSFiles() { std::filesystem::remove_all(FFolder); }
  std::string Cert(const std::string& aName) const { return (FFolder / (aName + ".pem")).string(); }
  std::string Key(const std::string& aName) const { return (FFolder / (aName + ".key")).string(); }
  std::string Path(const std::string& aName) const { return (FFolder / aName).string(); }

 private:
  static inline int FCount = 0;
  std::filesystem::path FFolder;
};

// The window logic made, set up and destroyed on a main thread of its own;
// never started.
class TLSForm {
 public:
  TLSForm(int aPort, const std::vector<std::string>& aAddresses) {
    main.Run([&] { FForm.emplace(main.loop, Sink(log), Sink(errors), aPort, aAddresses); });
  }
  ~TLSForm() {
    main.Run([this] { FForm.reset(); });
  }
  void Run(const std::function<void(TfrmServer&)>& aWork) {
    main.Run([&] { aWork(*FForm); });
  }
  // The server's listening sockets as "IP PORT", "[v6] PORT" for an IPv6
  // any-address.
  std::vector<std::string> Bindings() {
    std::vector<std::string> list;
    Run([&](TfrmServer& aForm) {
      TNetSocketHandles& bindings = aForm.WSServer.Bindings();
      for (std::size_t i = 0; i < bindings.Count(); ++i) {
        const bool ipv6 = bindings[i].IPVersion() == Net_IPv6;
        list.push_back((bindings[i].IP.empty() ? std::string(ipv6 ? "[v6]" : "[v4]") : bindings[i].IP) + " " +
                       std::to_string(bindings[i].Port));
      }
    });
    return list;
  }
  std::vector<std::string> Origins() {
    std::vector<std::string> origins;
    Run([&](TfrmServer& aForm) {
      std::istringstream list(aForm.WSServer.SecurityOptions.OriginsAllowed);
      for (std::string origin; std::getline(list, origin, ',');) origins.push_back(origin);
    });
    return origins;
  }

  test::MainThread main;
  std::vector<std::string> log, errors;  // written on the main thread only

 private:
  static std::function<void(const std::string&)> Sink(std::vector<std::string>& aLines) {
    return [&aLines](const std::string& aLine) { aLines.push_back(aLine); };
  }
  std::optional<TfrmServer> FForm;
};

// A TLS port listens beside the plain one on each listened address (with
// none, on the any-addresses, which the server would no longer add itself);
// it is the server's TLS port; and its https pages, but not http ones, are
// the server's own origins, whether access was set before TLS or after.
TEST(FormTLS, ATLSPortListensBesideThePlainOneAndItsHttpsPagesAreOwnOrigins) {
  const TLSFiles files;
  const std::vector<std::string> any =
      NetIPv6Available() ? std::vector<std::string>{"[v4] 5999", "[v6] 5999", "[v4] 6443", "[v6] 6443"}
                         : std::vector<std::string>{"[v4] 5999", "[v4] 6443"};
  const struct {
    std::vector<std::string> addresses;
    std::vector<std::string> bindings;
    bool accessFirst;
  } cases[] = {
      {{"127.0.0.1", "::1"}, {"127.0.0.1 5999", "::1 5999", "127.0.0.1 6443", "::1 6443"}, false},
      {{"127.0.0.1"}, {"127.0.0.1 5999", "127.0.0.1 6443"}, true},
      {{}, any, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bindings.back());
    TLSForm form(5999, c.addresses);
    form.Run([&](TfrmServer& aForm) {
      if (c.accessFirst) aForm.SetAccess({});
      aForm.SetTLS({files.Cert("first"), files.Key("first"), 6443});
      aForm.SetTLS({files.Cert("first"), files.Key("first"), 6443});  // again: no binding twice
      if (!c.accessFirst) aForm.SetAccess({});
      EXPECT_THAT(aForm.WSServer.TLSPorts, ElementsAre(6443));
      EXPECT_EQ(aForm.TLS().Port, 6443);
    });
    EXPECT_EQ(form.Bindings(), c.bindings);
    const std::vector<std::string> origins = form.Origins();
    EXPECT_THAT(origins, Contains("https://127.0.0.1:6443"));
    EXPECT_THAT(origins, Contains("https://localhost:6443"));
    EXPECT_THAT(origins, Not(Contains("http://127.0.0.1:6443")));
    EXPECT_THAT(origins, Contains("http://127.0.0.1:5999"));
    EXPECT_THAT(origins, Contains("https://127.0.0.1:5999"));
  }
}

// Without a TLS port the one port speaks TLS: the bindings and the origins
// are those of a server without TLS. Given origins stay as given.
TEST(FormTLS, WithoutATLSPortThePlainPortsBindingsAndOriginsStay) {
  const TLSFiles files;
  TLSForm plain(5999, {"127.0.0.1"});
  plain.Run([](TfrmServer& aForm) { aForm.SetAccess({}); });
  TLSForm onePort(5999, {"127.0.0.1"});
  onePort.Run([&](TfrmServer& aForm) {
    aForm.SetAccess({});
    aForm.SetTLS({files.Cert("first"), files.Key("first"), 0});
    EXPECT_THAT(aForm.WSServer.TLSPorts, IsEmpty());
  });
  EXPECT_THAT(onePort.Bindings(), ElementsAre("127.0.0.1 5999"));
  EXPECT_EQ(onePort.Origins(), plain.Origins());

  TLSForm given(5999, {"127.0.0.1"});
  given.Run([&](TfrmServer& aForm) {
    TAccessOptions access;
    access.AllowOrigins = {"https://quotes.example.com"};
    aForm.SetAccess(access);
    aForm.SetTLS({files.Cert("first"), files.Key("first"), 6443});
  });
  EXPECT_THAT(given.Origins(), ElementsAre("https://quotes.example.com"));
}

// A pair that cannot be used throws with the file's name and changes
// nothing: no TLS port, no binding, no origin of it.
TEST(FormTLS, ABrokenPairThrowsNamingTheFileAndChangesNothing) {
  const TLSFiles files;
  std::ofstream(files.Path("not-pem.txt")) << "no certificate here\n";
  const struct {
    std::string cert, key, names;
  } cases[] = {
      {files.Path("missing.pem"), files.Key("first"), files.Path("missing.pem")},
      {files.Path("not-pem.txt"), files.Key("first"), files.Path("not-pem.txt")},
      {files.Cert("first"), files.Path("not-pem.txt"), files.Path("not-pem.txt")},
      {files.Cert("first"), files.Key("second"), files.Key("second")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cert + " " + c.key);
    TLSForm form(5999, {"127.0.0.1"});
    form.Run([](TfrmServer& aForm) { aForm.SetAccess({}); });
    const std::vector<std::string> origins = form.Origins();
    form.Run([&](TfrmServer& aForm) {
      try {
        aForm.SetTLS({c.cert, c.key, 6443});
        ADD_FAILURE() << "accepted";
      } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.names));
      }
      EXPECT_THAT(aForm.WSServer.TLSPorts, IsEmpty());
      EXPECT_EQ(aForm.WSServer.TLS(), nullptr);
      EXPECT_TRUE(aForm.TLS().CertFile.empty());
    });
    EXPECT_THAT(form.Bindings(), ElementsAre("127.0.0.1 5999"));
    EXPECT_EQ(form.Origins(), origins);
  }
}

// A reload takes the files as they are now; one that fails says why, with
// the file, on the error handler, and the next good one works again.
TEST(FormTLS, ReloadTakesTheFilesAgainAndAFailureSaysWhy) {
  const TLSFiles files;
  const std::string cert = files.Path("live.pem"), key = files.Path("live.key");
  const auto install = [&](const std::string& aCert, const std::string& aKey) {
    std::filesystem::copy_file(aCert, cert, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(aKey, key, std::filesystem::copy_options::overwrite_existing);
  };
  TLSForm withoutTLS(5999, {"127.0.0.1"});
  withoutTLS.Run([](TfrmServer& aForm) { EXPECT_FALSE(aForm.ReloadTLS()); });
  EXPECT_THAT(withoutTLS.errors, ElementsAre(HasSubstr("No TLS certificate")));

  install(files.Cert("first"), files.Key("first"));
  TLSForm form(5999, {"127.0.0.1"});
  form.Run([&](TfrmServer& aForm) {
    aForm.SetTLS({cert, key, 6443});
    const std::shared_ptr<TtvqTLSContext> first = aForm.WSServer.TLS();
    ASSERT_NE(first, nullptr);
    install(files.Cert("second"), files.Key("second"));
    EXPECT_TRUE(aForm.ReloadTLS());
    const std::shared_ptr<TtvqTLSContext> second = aForm.WSServer.TLS();
    EXPECT_NE(second, first);
    EXPECT_THAT(form.log, ElementsAre("TLS certificate reloaded from " + cert));
    EXPECT_THAT(form.errors, IsEmpty());

    install(files.Cert("second"), files.Key("first"));
    EXPECT_FALSE(aForm.ReloadTLS());
    ASSERT_EQ(form.errors.size(), 1u);
    EXPECT_THAT(form.errors[0], HasSubstr("TLS certificate not reloaded"));
    EXPECT_THAT(form.errors[0], HasSubstr(key));
    std::filesystem::remove(cert);
    EXPECT_FALSE(aForm.ReloadTLS());
    ASSERT_EQ(form.errors.size(), 2u);
    EXPECT_THAT(form.errors[1], HasSubstr(cert));
    EXPECT_EQ(form.log.size(), 1u);
    EXPECT_EQ(aForm.WSServer.TLS(), second);  // the pair in use stays

    install(files.Cert("first"), files.Key("first"));
    EXPECT_TRUE(aForm.ReloadTLS());
    EXPECT_EQ(form.log.size(), 2u);
    // Reloads leave the listening sockets as they were.
    EXPECT_THAT(aForm.WSServer.TLSPorts, ElementsAre(6443));
  });
  EXPECT_THAT(form.Bindings(), ElementsAre("127.0.0.1 5999", "127.0.0.1 6443"));
}

}  // namespace
