#include "tvqWebSocket_Server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "../support/LoopbackClient.h"
#include "../support/MainThread.h"
#include "../support/WebSocketClient.h"
#include "../support/WebSocketFrames.h"
#include "tvqWebSocket_HTTPResponse.h"
#include "tvqWebSocket_Platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::StartsWith;
using std::chrono::milliseconds;
using test::LoopbackClient;
using test::WaitUntil;

// Browser files as the program would carry them.
const unsigned char kBaseScript[] = "var tvq = 'http{%ssl%}://{%host%}:{%PORT%}/';";
const unsigned char kDatasetPage[] = "<script src=\"http{%ssl%}://{%host%}:{%port%}/dataset.tvq.tickerhall.js\"></script>";
const TtvqResource kFixtureResources[] = {
    {"TVQ_JS_TVQWEBSOCKETS", kBaseScript, sizeof kBaseScript - 1},
    {"TVQ_HTML_DATASET_TVQ_TICKERHALL", kDatasetPage, sizeof kDatasetPage - 1},
};

const std::string kDataset = "dataset.tvq.tickerhall";

std::string Upgrade(const std::string& aPath = "/", const std::string& aProtocols = "",
                    const std::string& aVersionLine = "GET /chat HTTP/1.1") {
  std::string request = aVersionLine + "\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://example.com\r\n";
  if (!aProtocols.empty()) request += "Sec-WebSocket-Protocol: " + aProtocols + "\r\n";
  (void)aPath;
  return request + "Sec-WebSocket-Version: 13\r\n\r\n";
}

class ServerFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static std::once_flag once;
    std::call_once(once, [] { tvqRegisterResources(kFixtureResources, 2); });
  }

  ServerFixture() {
    server.Platform = &loop;
    server.SetPort(0);  // an ephemeral port, never the program's
    dataset = server.RegisterProtocol(kDataset);
    dataset->OnConnect = [this](TtvqWSConnection* c) { Note("connect " + c->Guid()); };
    dataset->OnMessage = [this](TtvqWSConnection*, const std::string& text) { Note("message " + text); };
    dataset->OnDisconnect = [this](TtvqWSConnection*, int) { Note("disconnect"); };
    server.OnConnect = [this](TtvqWSConnection*) { Note("server connect"); };
    TNetSocketHandle& binding = server.Bindings().Add();
    binding.IP = "127.0.0.1";
    server.SetActive(true);
    port = binding.Port;
    main = std::thread([this] { loop.Run(); });
    EXPECT_TRUE(WaitUntil([&] { return loop.Running(); }));
  }
  ~ServerFixture() override {
    server.SetActive(false);
    loop.Synchronize([] {});
    loop.Quit();
    main.join();
  }

  void Note(const std::string& aEvent) {
    std::lock_guard guard(lock);
    events.push_back(aEvent);
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(lock);
    return events;
  }
  std::size_t Count(const std::string& aPrefix) {
    std::lock_guard guard(lock);
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(aPrefix, 0) == 0; }));
  }

  // A client that completed the handshake for the dataset sub-protocol; its
  // Guid as the server knows it.
  LoopbackClient Connect(std::string* aGuid = nullptr, const std::string& aProtocols = kDataset) {
    const std::size_t before = Count(aProtocols.empty() ? "server connect" : "connect");
    LoopbackClient client(port);
    client.Send(Upgrade("/", aProtocols));
    const std::string response = client.ReceiveUntil("\r\n\r\n");
    EXPECT_THAT(response, StartsWith("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_TRUE(WaitUntil([&] { return Count(aProtocols.empty() ? "server connect" : "connect") > before; }));
    if (aGuid) {
      std::lock_guard guard(lock);
      for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->rfind("connect ", 0) == 0) {
          *aGuid = it->substr(8);
          break;
        }
    }
    return client;
  }

  TtvqEventLoop loop;
  std::thread main;
  TtvqWebSocketServer server;
  TtvqWSComponent_Base* dataset = nullptr;
  int port = 0;
  std::mutex lock;
  std::vector<std::string> events;
};

// ---------------------------------------------------------------- handshakes

TEST(Handshake, AcceptValueOfTheSampleKey) {
  EXPECT_EQ(tvqWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Handshake, Hixie76ChallengeOfTheDraftsExample) {
  EXPECT_EQ(tvqHixie76Challenge("4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00", "^n:ds[4U"), "8jKS'y:G*Co,Wxa-");
  EXPECT_THROW(tvqHixie76Challenge("123", "1 2", "12345678"), TtvqWSException);
}

TEST_F(ServerFixture, AnswersAnRFC6455UpgradeByteForByte) {
  struct Case {
    std::string protocols, protocolLine;
  };
  for (const Case& c : {Case{"", ""}, Case{kDataset, "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\n"},
                        Case{"chat," + kDataset, "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\n"},
                        Case{"chat, " + kDataset, "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\n"},
                        Case{"DATASET.tvq.tickerhall,chat", "Sec-WebSocket-Protocol: DATASET.tvq.tickerhall\r\n"}}) {
    SCOPED_TRACE(c.protocols);
    LoopbackClient client(port);
    client.Send(Upgrade("/", c.protocols));
    const std::string expected = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
                                 c.protocolLine + "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                                 "Server: tvqWebSockets 4.4.6\r\n\r\n";
    EXPECT_EQ(client.Receive(expected.size()), expected);
  }
}

// The drafts' example of a Hixie-76 upgrade, its body (the third key) left
// out, and the challenge that answers it.
const std::string kHixie76Headers =
    "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
    "Upgrade: WebSocket\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: http://example.com\r\n\r\n";
const std::string kHixie76Key3 = "^n:ds[4U";
const std::string kHixie76Challenge = "8jKS'y:G*Co,Wxa-";

TEST_F(ServerFixture, AnswersAHixie76UpgradeWithTheDraftsChallenge) {
  const std::string& headers = kHixie76Headers;
  const std::string expected =
      "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Origin: http://example.com\r\nSec-WebSocket-Location: ws://example.com/demo\r\n"
      "Sec-WebSocket-Protocol: *\r\nServer: tvqWebSockets 4.4.6\r\n\r\n8jKS'y:G*Co,Wxa-";
  for (bool sameSegment : {true, false}) {
    SCOPED_TRACE(sameSegment);
    LoopbackClient client(port);
    if (sameSegment) {
      client.Send(headers + "^n:ds[4U");
    } else {
      client.Send(headers);
      std::this_thread::sleep_for(milliseconds(3));  // within the quiet window
      client.Send("^n:ds[4U");
    }
    EXPECT_EQ(client.Receive(expected.size()), expected);
    client.Send(std::string("\x00hixie\xFF", 7));
    EXPECT_TRUE(WaitUntil([&] { return Count("server connect") >= (sameSegment ? 1u : 2u); }));
  }
}

TEST_F(ServerFixture, RefusedUpgradesGetAnHTTPErrorAnswer) {
  struct Case {
    std::string name, request, answer;
  };
  const std::string badRequest = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  const std::string noKey = "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
  const auto withLine = [](std::string aRequest, const std::string& aFrom, const std::string& aTo) {
    return aRequest.replace(aRequest.find(aFrom), aFrom.size(), aTo);
  };
  const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==";
  const std::string version = "Sec-WebSocket-Version: 13";
  for (const Case& c : {
           Case{"HTTP/1.0", Upgrade("/", kDataset, "GET /chat HTTP/1.0"), badRequest},
           Case{"no key", noKey, badRequest},
           Case{"key of 8 bytes", withLine(Upgrade("/", kDataset), key, "Sec-WebSocket-Key: AAAAAAAAAAA="), badRequest},
           Case{"key not base64", withLine(Upgrade("/", kDataset), key, "Sec-WebSocket-Key: ????????????????????????"),
                badRequest},
           Case{"unknown protocol", Upgrade("/", "chat"), badRequest},
           Case{"unknown version", withLine(Upgrade("/", kDataset), version, "Sec-WebSocket-Version: 99"),
                "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nConnection: close\r\n"
                "Content-Length: 0\r\n\r\n"},
       }) {
    SCOPED_TRACE(c.name);
    LoopbackClient client(port);
    client.Send(c.request);
    EXPECT_EQ(client.ReceiveUntilClose(), c.answer);
  }
  EXPECT_EQ(Count("connect"), 0u);
}

TEST_F(ServerFixture, RequestsOfNoKnownKindAreClosedWithoutAnAnswer) {
  struct Case {
    std::string name, request;
  };
  for (const Case& c : {Case{"session request", "GET /tvq/req/auth/session/x HTTP/1.1\r\nUpgrade: websocket\r\n\r\n"},
                        Case{"HEAD of a page", "HEAD /tvqWebSockets.html HTTP/1.1\r\n\r\n"},
                        Case{"POST of a page", "POST /tvqWebSockets.html HTTP/1.1\r\n\r\n"},
                        Case{"event stream", "GET /x HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n"},
                        Case{"policy request", "<policy-file-request/>"}}) {
    SCOPED_TRACE(c.name);
    LoopbackClient client(port);
    client.Send(c.request);
    EXPECT_EQ(client.ReceiveUntilClose(), "");
  }
  EXPECT_EQ(Count("connect"), 0u);
}

// A request of no known kind is the application's to accept: it sees the
// request's lines and the transport the intake marked (HTTP for a file whose
// kind is switched off); an accepted connection is read as frames from its
// first byte.
TEST_F(ServerFixture, AnUnknownRequestIsTheApplicationsToAccept) {
  server.Options.JavascriptFiles = false;
  std::vector<std::pair<std::string, TwsTransport>> seen;  // guarded by lock
  server.OnUnknownProtocol = [&](TtvqWSConnection* c, bool& accept) {
    const std::vector<std::string>& lines = static_cast<TtvqWSConnectionServer*>(c)->HeadersRequest;
    const std::string first = lines.empty() ? std::string() : lines.front();
    accept = first.rfind('\x81', 0) == 0;
    std::lock_guard guard(lock);
    seen.emplace_back(accept ? "a frame" : first, c->Transport());
  };
  for (const char* request : {"GET /tvqWebSockets.js HTTP/1.1\r\n\r\n", "HEAD /x.html HTTP/1.1\r\n\r\n"}) {
    LoopbackClient client(port);
    client.Send(request);
    EXPECT_EQ(client.ReceiveUntilClose(), "") << request;
  }
  LoopbackClient raw(port);
  raw.Send(test::ClientFrame(0x81, "quote please"));
  EXPECT_TRUE(WaitUntil([&] { return Count("message quote please") == 1; }));
  std::lock_guard guard(lock);
  EXPECT_THAT(seen, ElementsAre(Pair("GET /tvqWebSockets.js HTTP/1.1", trpHTTP),
                                Pair("HEAD /x.html HTTP/1.1", trpUndefined), Pair("a frame", trpUndefined)));
}

// OnHandshake sees the answer's lines before they are written and may change
// them. A Hixie-76 key without blanks fails only after it, where the
// challenge is due, and is refused with 400.
TEST_F(ServerFixture, OnHandshakeMayChangeTheAnswerBeforeItIsWritten) {
  std::atomic<int> handshakes{0};
  server.OnHandshake = [&](TtvqWSConnection&, std::vector<std::string>& aLines) {
    ++handshakes;
    aLines.insert(aLines.end() - 1, "X-Answered-By: test");
  };
  LoopbackClient client(port);
  client.Send(Upgrade("/", kDataset));
  const std::string expected = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\n"
                               "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nX-Answered-By: test\r\n"
                               "Server: tvqWebSockets 4.4.6\r\n\r\n";
  EXPECT_EQ(client.Receive(expected.size()), expected);
  EXPECT_EQ(handshakes, 1);

  LoopbackClient hixie(port);
  hixie.Send("GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key1: 12345\r\n"
             "Origin: http://example.com\r\n\r\n^n:ds[4U");
  EXPECT_EQ(hixie.ReceiveUntilClose(), "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(handshakes, 2);
}

TEST_F(ServerFixture, ARequestSplitAFewMillisecondsApartIsOneRequest) {
  const std::string request = Upgrade("/", kDataset);
  LoopbackClient client(port);
  client.Send(request.substr(0, 40));
  std::this_thread::sleep_for(milliseconds(5));
  client.Send(request.substr(40));
  EXPECT_THAT(client.ReceiveUntil("\r\n\r\n"), StartsWith("HTTP/1.1 101 Switching Protocols"));
}

TEST_F(ServerFixture, AnOversizedFirstRequestIsDropped) {
  LoopbackClient client(port);
  client.Send("GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'x') + "\r\n");
  EXPECT_EQ(client.ReceiveUntilClose(), "");
}

// ---------------------------------------------------------------- files

TEST_F(ServerFixture, ServesTheBuiltInFiles) {
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string script = "var tvq = 'http://" + host + "/';";
  const std::string ok = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\n";
  struct Case {
    std::string request, answer;
  };
  for (const Case& c : {
           Case{"GET /tvqWebSockets.js HTTP/1.1", ok + "Content-Type: text/javascript; charset=utf-8\r\n"
                                                      "Server: tvqWebSockets 4.4.6\r\n\r\n" + script + "\r\n"},
           Case{"GET /any/deeper/path/tvqWebSockets.js HTTP/1.1", ok + "Content-Type: text/javascript; charset=utf-8\r\n"
                                                                      "Server: tvqWebSockets 4.4.6\r\n\r\n" + script + "\r\n"},
           Case{"GET /TVQWEBSOCKETS.JS HTTP/1.1", ok + "Content-Type: text/javascript; charset=utf-8\r\n"
                                                     "Server: tvqWebSockets 4.4.6\r\n\r\n" + script + "\r\n"},
           Case{"GET /dataset.tvq.tickerhall.html HTTP/1.1",
                ok + "Content-Type: text/html\r\nServer: tvqWebSockets 4.4.6\r\n\r\n<script src=\"http://" + host +
                    "/dataset.tvq.tickerhall.js\"></script>\r\n"},
           Case{"GET /missing.js HTTP/1.1", "HTTP/1.1 404 Not Found\r\n\r\n"},
           Case{"GET /dataset.tvq.tickerhall.js HTTP/1.1", "HTTP/1.1 404 Not Found\r\n\r\n"},  // not carried yet
           Case{"GET /tvqWebSockets.js?x=1 HTTP/1.1", ""},
           Case{"GET /favicon.ico HTTP/1.1", "HTTP/1.1 404 Not Found\r\n\r\n"},
           Case{"GET /index.htm HTTP/1.1", ""},
           Case{"GET / HTTP/1.1", ""},
       }) {
    SCOPED_TRACE(c.request);
    LoopbackClient client(port);
    client.Send(c.request + "\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(client.ReceiveUntilClose(), c.answer);
  }
}

// A request that names one file many times gets it once; more distinct files than the limit get 400, so a short
// request cannot ask for a large answer. (The limit is set before the first request: connection threads read it.)
TEST_F(ServerFixture, AFileListSendsEachFileOnceAndNoMoreThanTheLimit) {
  server.Options.MaxFilesPerRequest = 2;
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string script = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/javascript; "
                             "charset=utf-8\r\nServer: tvqWebSockets 4.4.6\r\n\r\nvar tvq = 'http://" + host +
                             "/';\r\n";
  std::string repeated = "GET /tvqWebSockets.js";
  for (int i = 0; i < 500; ++i) repeated += ",tvqWebSockets.js";
  struct Case {
    std::string request, answer;
  };
  for (const Case& c : {
           Case{repeated + " HTTP/1.1", script},
           Case{"GET /tvqWebSockets.js,TVQWEBSOCKETS.JS,missing.js,tvqWebSockets.js HTTP/1.1", script},
           Case{"GET /tvqWebSockets.js,a.js,b.js HTTP/1.1", "HTTP/1.1 400 Bad Request\r\n\r\n"},
       }) {
    SCOPED_TRACE(c.request.substr(0, 80));
    LoopbackClient client(port);
    client.Send(c.request + "\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(client.ReceiveUntilClose(), c.answer);
  }
}

// The index page answers "GET /", with or without a query, and nothing else.
TEST_F(ServerFixture, TheIndexPageAnswersTheRoot) {
  server.Options.IndexPage = "dataset.tvq.tickerhall.html";
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string page = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/html\r\n"
                           "Server: tvqWebSockets 4.4.6\r\n\r\n<script src=\"http://" + host +
                           "/dataset.tvq.tickerhall.js\"></script>\r\n";
  struct Case {
    std::string request, answer;
  };
  for (const Case& c : {Case{"GET / HTTP/1.1", page}, Case{"GET /? HTTP/1.1", page},
                        Case{"GET /?host=a&port=1 HTTP/1.1", page}, Case{"GET /index.htm HTTP/1.1", ""},
                        Case{"GET //x HTTP/1.1", ""}}) {
    SCOPED_TRACE(c.request);
    LoopbackClient client(port);
    client.Send(c.request + "\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(client.ReceiveUntilClose(), c.answer);
  }
}

// The index page is an HTML file: switched off with them. (Options are set
// before the first request: connection threads read them.)
TEST_F(ServerFixture, TheIndexPageIsSwitchedOffWithTheHTMLFiles) {
  server.Options.IndexPage = "dataset.tvq.tickerhall.html";
  server.Options.HTMLFiles = false;
  LoopbackClient client(port);
  client.Send("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.ReceiveUntilClose(), "");
}

TEST_F(ServerFixture, SwitchedOffFilesAreNotAnswered) {
  server.Options.JavascriptFiles = false;
  server.Options.HTMLFiles = false;
  for (const char* request : {"GET /tvqWebSockets.js HTTP/1.1\r\n\r\n", "GET /dataset.tvq.tickerhall.html HTTP/1.1\r\n\r\n"}) {
    LoopbackClient client(port);
    client.Send(request);
    EXPECT_EQ(client.ReceiveUntilClose(), "") << request;
  }
}

// ---------------------------------------------------------------- posts

TEST_F(ServerFixture, AnXHRPostIsAMessageOfTheNamedConnection) {
  std::string guid;
  LoopbackClient ws = Connect(&guid);
  ASSERT_EQ(guid.size(), 32u);
  struct Case {
    std::string target, body, length, answer;
    bool delivered;
  };
  for (const Case& c : {Case{guid, "hello", "5", "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/html\r\n"
                                                  "Server: tvqWebSockets 4.4.6\r\n\r\n\r\n", true},
                        Case{guid, "", "0", "", false},
                        Case{"0123456789ABCDEF0123456789ABCDEF", "lost", "4", "", false},
                        Case{guid, "x", "abc", "", false},
                        Case{guid, "x", "99999999", "", false}}) {
    SCOPED_TRACE(c.length);
    const std::size_t before = Count("message ");
    LoopbackClient post(port);
    post.Send("POST /tvq/xhr/" + c.target + " HTTP/1.1\r\nHost: h\r\nContent-Length: " + c.length + "\r\n\r\n" + c.body);
    EXPECT_EQ(post.ReceiveUntilClose(), c.answer);
    if (c.delivered) {
      EXPECT_TRUE(WaitUntil([&] { return Count("message ") > before; }));
      EXPECT_EQ(Events().back(), "message " + c.body);
    }
  }
}

TEST_F(ServerFixture, AProtocolPostReachesTheMatchingComponent) {
  LoopbackClient post(port);
  post.Send("POST /tvq/protocol/" + kDataset + "/anything HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_EQ(post.ReceiveUntilClose(), "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: text/html\r\n"
                                      "Server: tvqWebSockets 4.4.6\r\n\r\n\r\n");
  LoopbackClient unknown(port);
  unknown.Send("POST /tvq/protocol/nothing/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(unknown.ReceiveUntilClose(), "");
}

// ---------------------------------------------------------------- operations

TEST_F(ServerFixture, BroadcastReachesExactlyTheChosenClients) {
  std::string a, b, c;
  LoopbackClient clientA = Connect(&a), clientB = Connect(&b);
  LoopbackClient plain = Connect(&c, "");
  // a subscribes to the channel through the library: the server's index.
  loop.Synchronize([&] { server.GetConnectionByGuid(a)->DoSubscribe("tvq@dataset@update"); });
  struct Case {
    std::string name, channel, protocol;
    std::vector<std::string> exclude, include;
    bool toA, toB, toPlain;
  };
  for (const Case& t : {Case{"protocol", "", kDataset, {}, {}, true, true, false},
                        Case{"other case", "", "DATASET.TVQ.TICKERHALL", {}, {}, true, true, false},
                        Case{"no protocol", "", "", {}, {}, false, false, true},
                        Case{"exclude", "", kDataset, {a}, {}, false, true, false},
                        Case{"include", "", kDataset, {}, {b}, false, true, false},
                        Case{"channel", "tvq@dataset@update", kDataset, {}, {}, true, false, false}}) {
    SCOPED_TRACE(t.name);
    const std::string text = "to " + t.name;
    const std::string frame = std::string("\x81") + static_cast<char>(text.size()) + text;
    loop.Synchronize([&] { server.Broadcast(text, t.channel, t.protocol, t.exclude, t.include); });
    EXPECT_EQ(clientA.Receive(frame.size(), milliseconds(t.toA ? 5000 : 100)), t.toA ? frame : "");
    EXPECT_EQ(clientB.Receive(frame.size(), milliseconds(t.toB ? 5000 : 100)), t.toB ? frame : "");
    EXPECT_EQ(plain.Receive(frame.size(), milliseconds(t.toPlain ? 5000 : 100)), t.toPlain ? frame : "");
  }
  EXPECT_TRUE(server.WriteData(b, "direct"));
  EXPECT_EQ(clientB.Receive(8), "\x81\x06" "direct");
  EXPECT_FALSE(server.WriteData("0123456789ABCDEF0123456789ABCDEF", "nobody"));
}

TEST_F(ServerFixture, WriteDataRefusesAClientStillInItsHandshake) {
  LoopbackClient early(port);  // connected, and silent: its request never comes
  TtvqWSConnection* c = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (c = server.GetConnectionByIndex(0)) != nullptr; }));
  EXPECT_EQ(server.ConnectionCount(), 1);
  EXPECT_FALSE(server.WriteData(c->Guid(), "too early"));
  EXPECT_EQ(server.GetConnectionByIndex(5), nullptr);
  EXPECT_THROW(server.GetConnectionByIndex(-1), EListError);
}

TEST_F(ServerFixture, ActivatingARunningServerDropsEveryClientAndKeepsListening) {
  LoopbackClient first = Connect(), second = Connect();
  server.SetActive(true);
  EXPECT_TRUE(first.WaitForClose());
  EXPECT_TRUE(second.WaitForClose());
  EXPECT_TRUE(server.Active());
  LoopbackClient third = Connect();  // the same port still answers
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 2; }));
}

TEST_F(ServerFixture, StoppingWithThreeClientsLeavesNoConnection) {
  std::vector<LoopbackClient> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect());
  loop.Synchronize([&] { server.SetActive(false); });  // the Stop button, on the main thread
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ConnectionCount(), 0);
  EXPECT_EQ(Count("disconnect"), 3u);  // delivered by the stop itself
  EXPECT_EQ(server.ConnectionsFree().Count(), 0u);  // and every object freed
  for (auto& client : clients) EXPECT_TRUE(client.WaitForClose());
  EXPECT_THROW(LoopbackClient{port}, std::runtime_error);  // the port is closed
}

TEST_F(ServerFixture, MessagesFromClientsReachTheirComponentOnTheMainThread) {
  LoopbackClient client = Connect();
  client.Send(test::ClientFrame(0x81, "quote please"));
  EXPECT_TRUE(WaitUntil([&] { return Count("message quote please") == 1; }));
  client.Send(test::ClientFrame(0x81, "x", false));  // unmasked: dropped without an error event
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 1; }));
}

TEST_F(ServerFixture, OriginsOutsideTheAllowedPatternsAreRefused) {
  server.SecurityOptions.OriginsAllowed = "http://trusted.*,https://*.example.org";
  struct Case {
    std::string origin;
    bool accepted;
  };
  for (const Case& c : {Case{"http://trusted.host", true}, Case{"https://app.example.org", true},
                        Case{"http://example.com", false}}) {
    SCOPED_TRACE(c.origin);
    LoopbackClient client(port);
    std::string request = Upgrade("/", kDataset);
    request.replace(request.find("Origin: http://example.com"), 26, "Origin: " + c.origin);
    client.Send(request);
    const std::string answer = client.ReceiveUntil("\r\n\r\n", milliseconds(3000));
    EXPECT_EQ(answer.rfind("HTTP/1.1 101", 0) == 0, c.accepted) << answer;
  }
}

TEST_F(ServerFixture, PingReachesEveryClient) {
  LoopbackClient first = Connect(), second = Connect();
  loop.Synchronize([&] { server.Ping("hb"); });
  EXPECT_EQ(first.Receive(4), "\x89\x02hb");
  EXPECT_EQ(second.Receive(4), "\x89\x02hb");
  loop.Synchronize([&] { server.Ping(""); });  // the local time, 17 digits
  const std::string stamped = first.Receive(19);
  ASSERT_EQ(stamped.size(), 19u);
  EXPECT_THAT(stamped.substr(2), ::testing::MatchesRegex("[0-9]{17}"));
}

TEST_F(ServerFixture, StartAndStopRunOnHelperThreads) {
  server.Stop();
  EXPECT_TRUE(WaitUntil([&] { return !server.Active(); }));
  server.Start();
  EXPECT_TRUE(WaitUntil([&] { return server.Active(); }));
  LoopbackClient client = Connect();
  server.ReStart();
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return server.Active(); }));
}

TEST(ServerOptions, ReadTimeOutOfZeroReadsAsOne) {
  TtvqWSServerOptions options;
  options.SetReadTimeOut(0);
  EXPECT_EQ(options.ReadTimeOut(), 1);
  options.SetReadTimeOut(25);
  EXPECT_EQ(options.ReadTimeOut(), 25);
}

// A connection that does not complete its first request in time is dropped:
// one that never speaks, and one that speaks a byte at a time (which the
// quiet window alone would wait on until the size cap).
TEST(FirstRequest, ConnectionsThatDoNotCompleteTheirRequestInTimeAreDropped) {
  test::MainThread main;
  {
    TtvqWebSocketServer server;
    server.Options.FirstRequestTimeOut = 300;
    TNetSocketHandle& binding = test::ListenOnLoopback(server, main);
    server.RegisterProtocol(kDataset);
    server.SetActive(true);

    const auto started = std::chrono::steady_clock::now();
    LoopbackClient silent(binding.Port);
    LoopbackClient trickle(binding.Port);
    std::thread dribble([&] {
      const std::string request = Upgrade("/", kDataset);
      for (char c : request) {
        try {
          trickle.Send(std::string(1, c));
        } catch (...) {
          return;  // dropped
        }
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
    EXPECT_TRUE(silent.WaitForClose(std::chrono::seconds(5)));
    EXPECT_TRUE(trickle.WaitForClose(std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    dribble.join();

    // A client that speaks at once is served as before.
    LoopbackClient prompt(binding.Port);
    prompt.Send(Upgrade("/", kDataset));
    EXPECT_THAT(prompt.ReceiveUntil("\r\n\r\n"), StartsWith("HTTP/1.1 101 Switching Protocols\r\n"));
    main.Run([&] { server.SetActive(false); });
  }
}

// ---------------------------------------------------------------- traffic budgets

// A client past one of its input budgets is closed with the budget's code
// and a short reason, reported once, while a bystander on the same server
// gets every message sent to it meanwhile.
struct InputAttack {
  std::string name;
  std::function<void(TtvqWSServerOptions&)> limit;
  std::function<std::string()> attack;  // the attacker's bytes, sent at once
  TtvqTrafficLimit kind;
  std::string closeFrame;  // the close frame the attacker receives
};

class InputBudget : public ServerFixture, public ::testing::WithParamInterface<InputAttack> {};

TEST_P(InputBudget, ClosesTheAttackerAndNotTheBystander) {
  const InputAttack& c = GetParam();
  server.Options.CleanDisconnect = true;  // the 1009 of an oversized message is sent too
  c.limit(server.Options);
  std::vector<std::string> reports;
  server.OnTrafficLimit = [&](const std::string& aPeer, TtvqTrafficLimit aLimit, const std::string& aWhat) {
    Note("limit " + std::to_string(aLimit) + " " + aWhat);
    std::lock_guard guard(lock);
    reports.push_back(aPeer);
  };
  std::string bystanderGuid;
  LoopbackClient bystander = Connect(&bystanderGuid);
  LoopbackClient attacker = Connect();
  std::thread ticker([&] {
    for (int i = 0; i < 40; ++i) {
      server.Broadcast("tick " + std::to_string(i), "", kDataset, {}, {bystanderGuid});
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  try {
    attacker.Send(c.attack());
  } catch (const std::exception&) {
    // closed before it had sent everything: that is what is tested
  }
  std::string received = attacker.Receive(c.closeFrame.size(), std::chrono::seconds(10));
  EXPECT_EQ(received, c.closeFrame);
  EXPECT_TRUE(attacker.WaitForClose());
  ticker.join();
  for (int i = 0; i < 40; ++i) {
    const std::string text = "tick " + std::to_string(i);
    ASSERT_EQ(bystander.Receive(text.size() + 2), std::string("\x81") + static_cast<char>(text.size()) + text);
  }
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 1; }));
  EXPECT_EQ(server.TrafficLimitCount(c.kind), 1);
  std::lock_guard guard(lock);
  EXPECT_THAT(reports, ElementsAre(StartsWith("127.0.0.1:")));
}

std::string Repeated(const std::string& aFrame, int aTimes) {
  std::string bytes;
  for (int i = 0; i < aTimes; ++i) bytes += aFrame;
  return bytes;
}

std::string CloseFrame(int aCode, const std::string& aReason) {
  return std::string("\x88") + static_cast<char>(aReason.size() + 2) + static_cast<char>(aCode >> 8) +
         static_cast<char>(aCode & 0xFF) + aReason;
}

INSTANTIATE_TEST_SUITE_P(
    Traffic, InputBudget,
    ::testing::Values(
        InputAttack{"messages", [](TtvqWSServerOptions& o) { o.MaxMessagesPerSecond = 50; },
                    [] { return Repeated(test::ClientFrame(0x81, "edit"), 1000); }, tlMessageRate,
                    CloseFrame(1008, "Message rate exceeded")},
        InputAttack{"pings", [](TtvqWSServerOptions& o) { o.MaxMessagesPerSecond = 50; },
                    [] { return Repeated(test::ClientFrame(0x89, "p"), 1000); }, tlMessageRate,
                    ""},  // the pongs come first; the close is checked by the count
        InputAttack{"bytes", [](TtvqWSServerOptions& o) { o.MaxInputRate = 64 * 1024; },
                    [] { return Repeated(test::ClientFrame(0x82, std::string(16 * 1024, 'b')), 40); }, tlInputRate,
                    CloseFrame(1008, "Input rate exceeded")},
        InputAttack{"size", [](TtvqWSServerOptions& o) { o.MaxMessageSize = 1000; },
                    [] { return test::ClientFrame(0x81, std::string(1001, 's')); }, tlMessageSize,
                    CloseFrame(1009, "")}),
    [](const auto& info) { return info.param.name; });

// Clients that stop reading hold their backlogs; past the output budget the
// largest is dropped first, the others stay, and its memory comes back.
TEST_F(ServerFixture, PastTheOutputBudgetTheLargestBacklogIsDropped) {
  constexpr std::size_t kBudget = std::size_t{1} << 20;
  server.Options.MaxBacklog = 0;  // only the budget
  server.Options.MaxOutputTotal = kBudget;
  std::string a, b, c;
  LoopbackClient clientA = Connect(&a), clientB = Connect(&b), clientC = Connect(&c);
  const auto* connectionA = static_cast<TtvqWSConnection_Net*>(server.GetConnectionByGuid(a));
  const auto* connectionB = static_cast<TtvqWSConnection_Net*>(server.GetConnectionByGuid(b));
  const auto* connectionC = static_cast<TtvqWSConnection_Net*>(server.GetConnectionByGuid(c));
  const std::string chunk(16 * 1024, 'z');
  // Fills the client's socket, then its backlog, up to aBytes.
  const auto fill = [&](const std::string& aGuid, const TtvqWSConnection_Net* aConnection, std::size_t aBytes) {
    for (int i = 0; i < 4000 && aConnection->BacklogSize() < aBytes; ++i) server.WriteData(aGuid, chunk);
  };
  fill(a, connectionA, 600 * 1024);
  fill(b, connectionB, 300 * 1024);
  EXPECT_GE(server.OutputTotal(), 900u * 1024);
  EXPECT_EQ(server.TrafficLimitCount(tlOutputTotal), 0);
  fill(c, connectionC, 200 * 1024);  // the sum passes the budget
  EXPECT_TRUE(clientA.WaitForClose());
  EXPECT_EQ(server.TrafficLimitCount(tlOutputTotal), 1);
  EXPECT_TRUE(connectionB->Active());
  EXPECT_TRUE(connectionC->Active());
  EXPECT_LE(server.OutputTotal(), kBudget);
  clientB.Close();
  clientC.Close();
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 3; }));
  EXPECT_EQ(server.OutputTotal(), 0u);
}

// A client that reads nothing at all, while the ticker goes on, is dropped
// once its backlog has not moved for the write time-out; one that reads
// stays.
TEST_F(ServerFixture, AStuckReaderIsDroppedAfterTheWriteTimeOut) {
  server.Options.WriteTimeOut = 1000;
  std::string stuckGuid, readerGuid;
  LoopbackClient stuck = Connect(&stuckGuid), reader = Connect(&readerGuid);
  const auto* connection = static_cast<TtvqWSConnection_Net*>(server.GetConnectionByGuid(stuckGuid));
  const std::string chunk(64 * 1024, 'w');
  for (int i = 0; i < 4000 && connection->BacklogSize() == 0; ++i) server.WriteData(stuckGuid, chunk);
  ASSERT_GT(connection->BacklogSize(), 0u);
  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> dropped{false};
  const std::string tick(16 * 1024, 't');  // more than the socket's buffers take in the time-out
  std::thread ticker([&] {
    while (!dropped && std::chrono::steady_clock::now() - started < std::chrono::seconds(20)) {
      server.WriteData(stuckGuid, tick);
      std::this_thread::sleep_for(milliseconds(20));
    }
  });
  // Watched from the server's side: the client itself reads nothing.
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 1; }, std::chrono::seconds(20)));
  dropped = true;
  ticker.join();
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(900));
  EXPECT_EQ(server.TrafficLimitCount(tlWriteTimeOut), 1);
  EXPECT_TRUE(WaitUntil([&] { return server.OutputTotal() == 0; }));
  EXPECT_TRUE(server.WriteData(readerGuid, "still here"));
  EXPECT_EQ(reader.Receive(12), "\x81\x0A" "still here");
}

// ---------------------------------------------------------------- connection limits

// An HTTP request is read to its blank line and its body however far apart
// its bytes come (the quiet window of the read time-out cut each of these
// off and refused it).
TEST_F(ServerFixture, ARequestWhoseBytesComeFarApartIsAnswered) {
  const std::string upgrade = Upgrade("/", kDataset);
  std::vector<std::string> bytes;
  for (char c : upgrade) bytes.emplace_back(1, c);
  struct Case {
    std::string name;
    std::vector<std::string> pieces;
    milliseconds gap;
    std::string answer;
    std::string challenge;  // Hixie-76: what follows the answer's header
  };
  const std::vector<Case> cases = {
      {"an upgrade a byte at a time", bytes, milliseconds(20), "HTTP/1.1 101 Switching Protocols\r\n", ""},
      {"a file request in three pieces", {"GET /tvqWebSockets.js HT", "TP/1.1\r\nHost: h\r\n", "\r\n"},
       milliseconds(80), "HTTP/1.1 200 OK\r\n", ""},
      {"a Hixie-76 key after its header",
       {"GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
        "Upgrade: WebSocket\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: http://example.com\r\n\r\n",
        "^n:ds[4U"},
       milliseconds(80), "HTTP/1.1 101 WebSocket Protocol Handshake\r\n", "8jKS'y:G*Co,Wxa-"},
  };
  std::vector<std::string> answers(cases.size()), challenges(cases.size());
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < cases.size(); ++i)
    clients.emplace_back([&, i] {
      LoopbackClient client(port);
      try {
        for (const std::string& piece : cases[i].pieces) {
          client.Send(piece);
          std::this_thread::sleep_for(cases[i].gap);
        }
      } catch (const std::runtime_error&) {
        return;  // dropped before the request was whole
      }
      answers[i] = client.ReceiveUntil("\r\n\r\n");
      challenges[i] = client.Receive(cases[i].challenge.size(), milliseconds(500));
    });
  for (std::thread& t : clients) t.join();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_THAT(answers[i], StartsWith(cases[i].answer)) << cases[i].name;
    EXPECT_EQ(challenges[i], cases[i].challenge) << cases[i].name;
  }
}

double ProcessCPUSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Connections that say nothing sleep until their socket, or their first
// request's deadline, wakes them: a second of 200 silent connections costs
// the process next to no CPU (polling each every 10 ms cost a fifth of a
// core here).
TEST(ConnectionLimits, SilentConnectionsCostNoCPU) {
  test::MainThread main;
  {
    TtvqWebSocketServer server;
    TNetSocketHandle& binding = test::ListenOnLoopback(server, main);
    server.RegisterProtocol(kDataset);
    server.SetActive(true);
    std::vector<LoopbackClient> silent;
    for (int i = 0; i < 200; ++i) silent.emplace_back(binding.Port);
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 200; }));
    std::this_thread::sleep_for(milliseconds(100));  // every thread has begun its wait
    const double before = ProcessCPUSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCPUSeconds() - before, 0.08);
    main.Run([&] { server.SetActive(false); });
  }
}

// A server whose limits the tests set, reporting what they close.
struct LimitedServer {
  explicit LimitedServer(test::MainThread& aMain) : main(aMain), binding(test::ListenOnLoopback(server, aMain)) {
    TtvqWSComponent_Base* dataset = server.RegisterProtocol(kDataset);
    dataset->OnMessage = [this](TtvqWSConnection*, const std::string& text) { main.Note("message " + text); };
    server.OnConnectionLimit = [this](TtvqConnectionLimit aLimit, const std::string& aIP, int) {
      main.Note("limit " + std::to_string(aLimit) + " " + aIP);
    };
  }
  ~LimitedServer() {
    main.Run([&] { server.SetActive(false); });
  }
  int Port() const { return binding.Port; }
  test::MainThread& main;
  TtvqWebSocketServer server;
  TNetSocketHandle& binding;
};

// Past either cap a new connection is closed at once, unanswered; each
// refusal counts, the run of them is reported once; the clients within the
// cap keep working, and a place that comes free is taken again.
TEST(ConnectionLimits, ConnectionsOverACapAreClosedAtOnceWhileTheOthersWork) {
  for (const TtvqConnectionLimit limit : {clMaxConnectionsPerAddress, clMaxConnections}) {
    SCOPED_TRACE(limit);
    test::MainThread main;
    LimitedServer limited(main);
    TtvqWebSocketServer& server = limited.server;
    if (limit == clMaxConnections)
      server.SetMaxConnections(3);
    else
      server.SetMaxConnectionsPerAddress(3);
    server.SetActive(true);
    std::vector<std::unique_ptr<test::WebSocketClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<test::WebSocketClient>(limited.Port(), kDataset));
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 3; }));
    for (int i = 0; i < 2; ++i) {
      LoopbackClient over(limited.Port());
      over.Send(Upgrade("/", kDataset));
      EXPECT_EQ(over.ReceiveUntilClose(std::chrono::seconds(5)), "");
    }
    EXPECT_EQ(server.ConnectionLimitCount(limit), 2u);
    EXPECT_TRUE(main.Saw("limit " + std::to_string(limit) + " 127.0.0.1"));
    for (int i = 0; i < 3; ++i) clients[static_cast<std::size_t>(i)]->SendText("within " + std::to_string(i));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(main.Saw("message within " + std::to_string(i)));

    clients.pop_back();
    ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
    test::WebSocketClient again(limited.Port(), kDataset);
    again.SendText("again");
    EXPECT_TRUE(main.Saw("message again"));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(main.Events().size(), 5u);  // one report, four messages
  }
}

// A server frame as the client reads it: op-code byte and payload.
std::pair<int, std::string> NextFrame(LoopbackClient& aClient, milliseconds aTimeout) {
  const std::string header = aClient.Receive(2, aTimeout);
  if (header.size() < 2) return {-1, ""};
  const auto length = static_cast<std::size_t>(static_cast<std::uint8_t>(header[1]) & 0x7F);
  return {static_cast<std::uint8_t>(header[0]), aClient.Receive(length, aTimeout)};
}

// The heartbeat pings a connection quiet for its interval; one that sends
// nothing, not even the pong, for the interval and the time-out together is
// dropped, while one that answers stays.
TEST(ConnectionLimits, TheHeartBeatDropsAConnectionThatAnswersNoPing) {
  test::MainThread main;
  LimitedServer limited(main);
  limited.server.HeartBeat = {true, 1, 1};
  limited.server.SetActive(true);
  test::WebSocketClient silent(limited.Port(), kDataset);
  test::WebSocketClient answering(limited.Port(), kDataset);
  int pings = 0;
  std::thread answer([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4500);
    while (std::chrono::steady_clock::now() < until) {
      const auto [code, payload] = NextFrame(answering.Raw(), milliseconds(200));
      if (code != 0x89) continue;
      ++pings;
      answering.Raw().Send(test::ClientFrame(0x8A, payload));
    }
  });

  const auto [opCode, text] = NextFrame(silent.Raw(), std::chrono::seconds(5));
  EXPECT_EQ(opCode, 0x89);  // the ping
  EXPECT_TRUE(silent.Raw().WaitForClose(std::chrono::seconds(6)));
  answer.join();
  EXPECT_GE(pings, 2);
  answering.SendText("still here");
  EXPECT_TRUE(main.Saw("message still here"));
  EXPECT_EQ(limited.server.ConnectionLimitCount(clIdleTimeOut), 1u);
  EXPECT_TRUE(main.Saw("limit " + std::to_string(clIdleTimeOut) + " 127.0.0.1"));
}

// A connection the server has closed waits for its peer to drop the TCP
// connection, asleep: 200 peers that never answer the close cost the process
// next to no CPU over a second (polling each every 10 ms cost a fifth of a
// core), and they are dropped at the closing deadline; a peer that answers
// and drops its end is gone at once.
TEST(ConnectionLimits, ClosedConnectionsWaitForTheirPeersAsleepAndNotForEver) {
  test::MainThread main;
  LimitedServer limited(main);
  TtvqWebSocketServer& server = limited.server;
  server.Options.CloseTimeOut = 3000;
  server.SetActive(true);
  constexpr int kSilent = 200;
  std::vector<std::unique_ptr<test::WebSocketClient>> silent;
  for (int i = 0; i < kSilent; ++i) silent.push_back(std::make_unique<test::WebSocketClient>(limited.Port(), kDataset));
  test::WebSocketClient answering(limited.Port(), kDataset);
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<TtvqWSConnection*> all = server.GetConnectionList();
    return all.size() == kSilent + 1 && std::all_of(all.begin(), all.end(), [](auto* c) { return c->Enabled(); });
  }));

  main.Run([&] {
    for (TtvqWSConnection* c : server.GetConnectionList()) c->Close(1008);
  });
  const std::string closeFrame("\x88\x02\x03\xF0", 4);
  for (auto& client : silent) ASSERT_EQ(client->Raw().Receive(4), closeFrame);
  ASSERT_EQ(answering.Raw().Receive(4), closeFrame);
  answering.Raw().Send(test::ClientFrame(0x88, "\x03\xF0"));
  answering.Raw().Close();
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == kSilent; }, milliseconds(1500)));

  std::this_thread::sleep_for(milliseconds(200));  // every thread has begun its wait
  const double before = ProcessCPUSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(ProcessCPUSeconds() - before, 0.08);
  EXPECT_EQ(server.ConnectionCount(), kSilent);  // still within the deadline

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int dropped = 0;
  for (auto& client : silent) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
    dropped += client->Raw().WaitForClose(std::max(left, milliseconds(0))) ? 1 : 0;
  }
  EXPECT_EQ(dropped, kSilent);
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }, milliseconds(2000)));
}

// A Hixie-76 connection has no ping: the idle time-out takes its socket's
// taking our output for a sign of life, so a viewer that only receives stays
// past the time-out, while one that receives nothing, or whose peer does not
// read what it is sent, is dropped. An RFC 6455 connection must answer the
// ping, whatever it receives.
TEST(ConnectionLimits, TheIdleTimeOutKeepsAHixie76ViewerWhoseOutputMoves) {
  test::MainThread main;
  LimitedServer limited(main);
  TtvqWebSocketServer& server = limited.server;
  server.HeartBeat = {true, 1, 1};
  server.Options.MaxBacklog = 0;  // the peer that does not read is the time-out's, not the backlog cap's
  server.SetActive(true);
  struct Case {
    std::string name;
    bool hixie76;
    std::size_t fed;  // the size of each message it is sent (0: none)
    bool reads, stays;
  };
  const std::vector<Case> cases = {
      {"a Hixie-76 viewer that receives", true, 8, true, true},
      {"a Hixie-76 connection that receives nothing", true, 0, true, false},
      {"a Hixie-76 peer that does not read what it is sent", true, 1 << 20, false, false},
      {"an RFC 6455 viewer that receives and answers no ping", false, 8, true, false},
  };
  struct Peer {
    std::unique_ptr<LoopbackClient> client;
    std::string guid;
    std::thread reader;
    std::atomic<std::size_t> received{0};
    std::atomic<bool> closed{false};
  };
  std::vector<Peer> peers(cases.size());
  std::atomic<bool> stop{false};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::string> known;
    for (TtvqWSConnection* c : server.GetConnectionList()) known.push_back(c->Guid());
    Peer& peer = peers[i];
    if (cases[i].hixie76) {
      peer.client = std::make_unique<LoopbackClient>(limited.Port());
      peer.client->Send(kHixie76Headers + kHixie76Key3);
      ASSERT_THAT(peer.client->ReceiveUntil(kHixie76Challenge), StartsWith("HTTP/1.1 101 ")) << cases[i].name;
    } else {
      peer.client = std::make_unique<LoopbackClient>(limited.Port());
      peer.client->Send(Upgrade("/", kDataset));
      ASSERT_THAT(peer.client->ReceiveUntil("\r\n\r\n"), StartsWith("HTTP/1.1 101 ")) << cases[i].name;
    }
    ASSERT_TRUE(WaitUntil([&] {
      for (TtvqWSConnection* c : server.GetConnectionList())
        if (c->Enabled() && std::find(known.begin(), known.end(), c->Guid()) == known.end()) peer.guid = c->Guid();
      return !peer.guid.empty();
    })) << cases[i].name;
  }
  for (std::size_t i = 0; i < cases.size(); ++i)
    if (cases[i].reads)
      peers[i].reader = std::thread([&peer = peers[i], &stop] {
        while (!stop && !peer.closed) {
          peer.received += peer.client->Receive(1 << 16, milliseconds(50)).size();
          peer.closed = peer.client->WaitForClose(milliseconds(0));
        }
      });
  std::thread feeder([&] {
    while (!stop) {
      for (std::size_t i = 0; i < cases.size(); ++i)
        if (cases[i].fed > 0) server.WriteData(peers[i].guid, std::string(cases[i].fed, 't'));
      std::this_thread::sleep_for(milliseconds(100));
    }
  });

  // Three of them are dropped, each once its time-out has run out, the one
  // that does not read once the sockets between us stopped taking its bytes.
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionLimitCount(clIdleTimeOut) >= 3; }, std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // past two time-outs in any case
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].stays) continue;
    Peer& peer = peers[i];
    const bool closed = cases[i].reads ? WaitUntil([&] { return peer.closed.load(); })
                                       : peer.client->WaitForClose(std::chrono::seconds(10));
    EXPECT_TRUE(closed) << cases[i].name;
  }
  const std::size_t before = peers[0].received;
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_GT(peers[0].received.load(), before) << "the viewer still receives";
  EXPECT_FALSE(peers[0].closed.load()) << cases[0].name;
  EXPECT_EQ(server.ConnectionLimitCount(clIdleTimeOut), 3u);
  stop = true;
  feeder.join();
  for (Peer& peer : peers)
    if (peer.reader.joinable()) peer.reader.join();
}

// A frame begun and not ended within the frame deadline closes its
// connection with 1008, also when its bytes keep trickling in; a frame that
// ends in time, in pieces, is read as usual.
TEST(ConnectionLimits, AFrameLeftIncompleteClosesItsConnection) {
  test::MainThread main;
  LimitedServer limited(main);
  limited.server.Options.FrameTimeOut = 300;
  limited.server.SetActive(true);
  struct Case {
    std::string name, sent;
    bool trickle = false;
  };
  const std::string whole = test::ClientFrame(0x81, std::string(100, 'x'));
  const std::vector<Case> cases = {
      {"half a frame", test::ClientFrame(0x81, "0123456789").substr(0, 9)},
      {"a message without its last fragment", test::ClientFrame(0x01, "first")},
      {"a header without its length", std::string("\x81\xFE\x00", 3)},
      {"a frame a byte every 50 ms", whole, true},
  };
  std::vector<std::string> seen(cases.size());
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < cases.size(); ++i)
    clients.emplace_back([&, i] {
      test::WebSocketClient client(limited.Port(), kDataset);
      if (cases[i].trickle) {
        for (char c : cases[i].sent) {
          try {
            client.Raw().Send(std::string(1, c));
          } catch (...) {
            break;  // closed
          }
          std::this_thread::sleep_for(milliseconds(50));
        }
      } else {
        client.Raw().Send(cases[i].sent);
      }
      seen[i] = client.Raw().ReceiveUntilClose(std::chrono::seconds(5));
    });
  test::WebSocketClient inTime(limited.Port(), kDataset);
  inTime.Raw().Send(whole.substr(0, 50));
  std::this_thread::sleep_for(milliseconds(100));
  inTime.Raw().Send(whole.substr(50));
  for (std::thread& t : clients) t.join();
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(seen[i], std::string("\x88\x02\x03\xF0", 4)) << cases[i].name;
  EXPECT_TRUE(main.Saw("message " + std::string(100, 'x')));
  EXPECT_EQ(limited.server.ConnectionLimitCount(clFrameTimeOut), cases.size());
  EXPECT_TRUE(main.Saw("limit " + std::to_string(clFrameTimeOut) + " 127.0.0.1", static_cast<long>(cases.size())));
  inTime.SendText("after");
  EXPECT_TRUE(main.Saw("message after"));
}

}  // namespace
