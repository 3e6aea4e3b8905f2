#include "tvqNetTLS.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "../support/LoopbackClient.h"
#include "../support/MemoryConnection.h"
#include "../support/TLSClient.h"
#include "../support/TakenPort.h"
#include "../support/TestCertificates.h"
#include "../support/WebSocketFrames.h"
#include "tvqWebSocket_HTTPResponse.h"
#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using std::chrono::milliseconds;
using test::ClientFrame;
using test::LoopbackClient;
using test::ServerFrame;
using test::TestCertificates;
using test::TLSClient;
using test::TLSClientOptions;
using test::WaitUntil;

TestCertificates& Certs() {
  static TestCertificates certificates;
  return certificates;
}

// ---------------------------------------------------------------- loading

TEST(TLSContextLoad, ACheckedPairLoads) {
  const auto context = TtvqTLSContext::Load(Certs().CertFile, Certs().KeyFile);
  ASSERT_NE(context, nullptr);
  EXPECT_NE(context->Native(), nullptr);
}

// Each error names the file at fault and says what is wrong with it.
TEST(TLSContextLoad, ErrorsNameTheFileAndTheFault) {
  const TestCertificates& c = Certs();
  struct Case {
    std::string cert, key, message;
  };
  for (const Case& t : {
           Case{c.MissingFile, c.KeyFile, c.MissingFile + ": cannot be read (No such file or directory)"},
           Case{c.CertFile, c.MissingFile, c.MissingFile + ": cannot be read (No such file or directory)"},
           Case{c.Dir, c.KeyFile, c.Dir + ": cannot be read (Is a directory)"},
           Case{c.NotPemFile, c.KeyFile, c.NotPemFile + ": no PEM certificate in it"},
           Case{c.KeyFile, c.KeyFile, c.KeyFile + ": no PEM certificate in it"},
           Case{c.CertFile, c.NotPemFile, c.NotPemFile + ": no PEM private key in it"},
           Case{c.CertFile, c.CAFile, c.CAFile + ": no PEM private key in it"},
           Case{c.CertFile, c.OtherKeyFile,
                c.OtherKeyFile + ": the key does not match the certificate in " + c.CertFile},
       }) {
    SCOPED_TRACE(t.message);
    try {
      TtvqTLSContext::Load(t.cert, t.key);
      ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), t.message);
    }
  }
}

// ---------------------------------------------------------------- the session over memory

// A client in memory against the server session: bytes move between them
// only when a test moves them.
class MemoryClient {
 public:
  MemoryClient() {
    FContext = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(FContext, Certs().CAFile.c_str(), nullptr);
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    FSSL = SSL_new(FContext);
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(FIn, -1);
    SSL_set_bio(FSSL, FIn, FOut);
    SSL_set_tlsext_host_name(FSSL, "localhost");
    SSL_set_connect_state(FSSL);
  }
  ~MemoryClient() {
    SSL_free(FSSL);
    SSL_CTX_free(FContext);
  }
  std::string TakeOutput() {
    char* data = nullptr;
    const long size = BIO_get_mem_data(FOut, &data);
    std::string out(data, static_cast<std::size_t>(std::max(size, 0L)));
    (void)BIO_reset(FOut);
    return out;
  }
  void Give(const std::string& aBytes) { BIO_write(FIn, aBytes.data(), static_cast<int>(aBytes.size())); }
  bool Step() { return SSL_do_handshake(FSSL) == 1; }
  void Write(const std::string& aPlain) { SSL_write(FSSL, aPlain.data(), static_cast<int>(aPlain.size())); }
  std::string Read() {
    std::string got;
    char buffer[4096];
    int count;
    while ((count = SSL_read(FSSL, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(count));
    ERR_clear_error();
    return got;
  }

 private:
  SSL_CTX* FContext;
  SSL* FSSL;
  BIO *FIn, *FOut;
};

std::string Text(const std::vector<std::uint8_t>& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

// Feeds aBytes to the session in two pieces, split at aSplitAt.
void FeedInPieces(TtvqTLSSession& aSession, const std::string& aBytes, std::size_t aSplitAt,
                  std::vector<std::uint8_t>& aPlain) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(aBytes.data());
  ASSERT_TRUE(aSession.Feed(data, aSplitAt, aPlain));
  ASSERT_TRUE(aSession.Feed(data + aSplitAt, aBytes.size() - aSplitAt, aPlain));
}

// Runs the handshake between the two, every flight fed one byte at a time
// when aByteByByte.
void Handshake(MemoryClient& aClient, TtvqTLSSession& aServer, bool aByteByByte) {
  std::vector<std::uint8_t> plain;
  for (int round = 0; round < 10 && !(aClient.Step() && aServer.HandshakeDone()); ++round) {
    const std::string flight = aClient.TakeOutput();
    if (aByteByByte)
      for (char byte : flight) ASSERT_TRUE(aServer.Feed(reinterpret_cast<const std::uint8_t*>(&byte), 1, plain));
    else
      FeedInPieces(aServer, flight, 0, plain);
    std::vector<std::uint8_t> answer;
    aServer.TakeOutput(answer);
    aClient.Give(Text(answer));
  }
  ASSERT_TRUE(aServer.HandshakeDone());
  EXPECT_TRUE(plain.empty());
}

// The peer's records split at every byte boundary (and the handshake fed a
// byte at a time) still give the same plaintext, which the WebSocket reader
// turns into the same messages.
TEST(TLSSession, RecordsSplitAtEveryByteGiveTheSamePlaintext) {
  const auto context = TtvqTLSContext::Load(Certs().CertFile, Certs().KeyFile);
  const std::string frames = ClientFrame(0x81, "hello") + ClientFrame(0x81, std::string(300, 'q'));
  std::size_t length = 0;
  for (std::size_t split = 0; split == 0 || split <= length; ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    MemoryClient client;
    TtvqTLSSession server(context);
    Handshake(client, server, split == 0);
    client.Write(frames.substr(0, 11));  // two records: the first ends inside a frame
    client.Write(frames.substr(11));
    const std::string records = client.TakeOutput();
    length = records.size();
    std::vector<std::uint8_t> plain;
    FeedInPieces(server, records, std::min(split, records.size()), plain);
    ASSERT_EQ(Text(plain), frames);
    if (split != 1) continue;
    test::MemoryConnection reader;
    std::vector<std::string> messages;
    reader.OnMessage = [&](TtvqWSConnection&, const std::string& aText) { messages.push_back(aText); };
    reader.Feed(Text(plain));
    reader.Read();
    EXPECT_EQ(messages, (std::vector<std::string>{"hello", std::string(300, 'q')}));
  }
  EXPECT_GT(length, frames.size());
}

TEST(TLSSession, WhatTheServerEncryptsTheClientReads) {
  MemoryClient client;
  TtvqTLSSession server(TtvqTLSContext::Load(Certs().CertFile, Certs().KeyFile));
  const std::uint8_t early[] = {1, 2, 3};
  EXPECT_FALSE(server.Encrypt(early, sizeof early));  // not before the handshake
  Handshake(client, server, false);
  const std::string frame = ServerFrame(0x81, std::string(40000, 'x'));  // more than one record
  ASSERT_TRUE(server.Encrypt(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
  std::vector<std::uint8_t> records;
  server.TakeOutput(records);
  client.Give(Text(records));
  EXPECT_EQ(client.Read(), frame);
}

TEST(TLSSession, GarbageEndsTheSessionWithAnAlert) {
  TtvqTLSSession server(TtvqTLSContext::Load(Certs().CertFile, Certs().KeyFile));
  static const char kGarbage[] = "\x16\x03\x01\x00\x05hello";
  const std::string garbage(kGarbage, sizeof kGarbage - 1);
  std::vector<std::uint8_t> plain;
  EXPECT_FALSE(server.Feed(reinterpret_cast<const std::uint8_t*>(garbage.data()), garbage.size(), plain));
  EXPECT_TRUE(server.Ended());
  EXPECT_FALSE(server.Error().empty());
  std::vector<std::uint8_t> alert;
  server.TakeOutput(alert);
  ASSERT_FALSE(alert.empty());
  EXPECT_EQ(alert[0], 0x15);  // an alert record
}

// ---------------------------------------------------------------- what the waits learn from a handler

// A handler that holds input or output of its own (as the TLS handler holds
// decrypted records and records the socket has not taken), over a real
// loopback socket that stays quiet.
class HoldingHandler : public TNetIOHandlerStack {
 public:
  std::atomic<bool> HoldsOutput{false}, HoldsInput{false};
  std::atomic<int> Flushes{0};
  bool HasPendingOutput() const override { return HoldsOutput; }
  bool FlushPendingOutput() override {
    ++Flushes;
    HoldsOutput = false;
    return true;
  }
  bool HasBufferedInput() const override { return HoldsInput; }

 protected:
  bool SourceIsReadable(int aTimeoutMs) override {
    return HoldsInput || TNetIOHandlerStack::SourceIsReadable(aTimeoutMs);
  }
  std::size_t ReadDataFromSource(std::uint8_t* aBuffer, std::size_t aLength) override {
    if (!HoldsInput.exchange(false)) return TNetIOHandlerStack::ReadDataFromSource(aBuffer, aLength);
    std::memcpy(aBuffer, "held", 4);
    return 4;
  }
};

// The connection's wait does not sleep on a quiet socket while the handler
// holds input, and asks for the socket's room (and then sends) while it
// holds output.
TEST(HandlerWaits, HeldInputIsReadAndHeldOutputIsSentWithoutSocketTraffic) {
  test::TTakenPort listener;
  LoopbackClient peer(listener.port);  // connected, and silent
  auto owned = std::make_unique<HoldingHandler>();
  ASSERT_TRUE(owned->Binding().Accept(listener.socket));
  owned->Open();
  HoldingHandler& handler = *owned;
  TNetTCPConnection tcp(std::move(owned));
  TtvqWSConnection_Net connection;
  connection.SetTCPConnection(&tcp);

  handler.HoldsOutput = true;
  connection.WaitForWork(5000);
  EXPECT_EQ(handler.Flushes, 1);
  EXPECT_FALSE(handler.HoldsOutput);

  handler.HoldsInput = true;
  connection.WaitForWork(5000);
  EXPECT_EQ(handler.InputBuffer.AsString(), "held");
  connection.SetTCPConnection(nullptr);
}

// ---------------------------------------------------------------- the server over TLS

const unsigned char kScript[] = "var tvq = 'http{%ssl%}://{%host%}:{%port%}/';";
const TtvqResource kResources[] = {{"TVQ_JS_TVQWEBSOCKETS", kScript, sizeof kScript - 1}};
const std::string kProtocol = "dataset.tvq.tickerhall";

std::string Upgrade() {
  return "GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: " +
         kProtocol + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// A server with one TLS port and one plain port on loopback.
class TLSServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static std::once_flag once;
    std::call_once(once, [] { tvqRegisterResources(kResources, 1); });
  }

  TLSServer() {
    server.Platform = &loop;
    server.SetPort(0);  // ephemeral ports, never the program's
    server.Options.FirstRequestTimeOut = 1000;
    component = server.RegisterProtocol(kProtocol);
    component->OnConnect = [this](TtvqWSConnection* c) { Note("connect " + c->Guid()); };
    component->OnMessage = [this](TtvqWSConnection*, const std::string& text) { Note("message " + text); };
    component->OnDisconnect = [this](TtvqWSConnection*, int) { Note("disconnect"); };
    server.OnTrafficLimit = [this](const std::string&, TtvqTrafficLimit, const std::string&) { Note("limit"); };
    server.SetTLS(TtvqTLSContext::Load(Certs().CertFile, Certs().KeyFile));
    TNetSocketHandle& tls = server.Bindings().Add();
    tls.IP = "127.0.0.1";
    TNetSocketHandle& plain = server.Bindings().Add();
    plain.IP = "127.0.0.1";
    server.SetActive(true);
    tlsPort = tls.Port;
    plainPort = plain.Port;
    server.TLSPorts = {tlsPort};  // before any client connects
    main = std::thread([this] { loop.Run(); });
    EXPECT_TRUE(WaitUntil([&] { return loop.Running(); }));
  }
  ~TLSServer() override {
    server.SetActive(false);
    loop.Synchronize([] {});
    loop.Quit();
    main.join();
  }

  void Note(const std::string& aEvent) {
    std::lock_guard guard(lock);
    events.push_back(aEvent);
  }
  std::size_t Count(const std::string& aPrefix) {
    std::lock_guard guard(lock);
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(),
                                                  [&](const std::string& e) { return e.rfind(aPrefix, 0) == 0; }));
  }
  std::string LastGuid() {
    std::lock_guard guard(lock);
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->rfind("connect ", 0) == 0) return it->substr(8);
    return {};
  }

  TLSClientOptions Trusting() const {
    TLSClientOptions options;
    options.CAFile = Certs().CAFile;
    return options;
  }
  // A TLS client through its WebSocket handshake; its Guid.
  std::string Upgraded(TLSClient& aClient) {
    const std::size_t before = Count("connect ");
    EXPECT_TRUE(aClient.Handshake());
    aClient.Send(Upgrade());
    EXPECT_THAT(aClient.ReceiveUntil("\r\n\r\n"), StartsWith("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_TRUE(WaitUntil([&] { return Count("connect ") > before; }));
    return LastGuid();
  }

  TtvqEventLoop loop;
  std::thread main;
  TtvqWebSocketServer server;
  TtvqWSComponent_Base* component = nullptr;
  int tlsPort = 0, plainPort = 0;
  std::mutex lock;
  std::vector<std::string> events;
};

TEST_F(TLSServer, AWebSocketOverTLSCarriesMessagesBothWays) {
  TLSClient client(tlsPort, Trusting());
  const std::string guid = Upgraded(client);
  EXPECT_EQ(client.PeerCommonName(), "localhost");
  EXPECT_EQ(client.PeerChainLength(), 2);  // the chain in the file is sent whole
  loop.Synchronize([&] { server.Broadcast("over tls", "", kProtocol); });
  EXPECT_EQ(client.Receive(10), ServerFrame(0x81, "over tls"));
  const std::string big(70000, 'b');  // several records, more than one write
  EXPECT_TRUE(server.WriteData(guid, big));
  const std::string bigFrame = ServerFrame(0x81, big);
  EXPECT_EQ(client.Receive(bigFrame.size()), bigFrame);
  client.Send(ClientFrame(0x81, "from the client"));
  EXPECT_TRUE(WaitUntil([&] { return Count("message from the client") == 1; }));
}

TEST_F(TLSServer, TheSSLPlaceholderSaysWhetherTheConnectionSpeaksTLS) {
  TLSClient secure(tlsPort, Trusting());
  ASSERT_TRUE(secure.Handshake());
  secure.Send("GET /tvqWebSockets.js HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_THAT(secure.ReceiveUntil("/';"), HasSubstr("var tvq = 'https://127.0.0.1:" + std::to_string(tlsPort) + "/';"));
  LoopbackClient plain(plainPort);
  plain.Send("GET /tvqWebSockets.js HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_THAT(plain.ReceiveUntilClose(), HasSubstr("var tvq = 'http://127.0.0.1:" + std::to_string(plainPort) + "/';"));
}

TEST_F(TLSServer, OnlyTLS12And13AreAccepted) {
  struct Case {
    const char* name;
    int version;
    bool accepted;
  };
  for (const Case& t : {Case{"TLS 1.0", TLS1_VERSION, false}, Case{"TLS 1.1", TLS1_1_VERSION, false},
                        Case{"TLS 1.2", TLS1_2_VERSION, true}, Case{"TLS 1.3", TLS1_3_VERSION, true}}) {
    SCOPED_TRACE(t.name);
    TLSClientOptions options = Trusting();
    options.MinVersion = options.MaxVersion = t.version;
    TLSClient client(tlsPort, options);
    EXPECT_EQ(client.Handshake(), t.accepted);
    if (t.accepted) {
      EXPECT_EQ(client.Version(), t.version);
    }
  }
  // The refusals cost the server nothing lasting: it still serves.
  TLSClient after(tlsPort, Trusting());
  Upgraded(after);
}

TEST_F(TLSServer, ALPNChoosesHTTP11AndSNIAcceptsAnyName) {
  struct Case {
    std::vector<std::string> offered;
    std::string serverName, chosen;
  };
  for (const Case& t : {Case{{"http/1.1"}, "localhost", "http/1.1"}, Case{{"h2", "http/1.1"}, "localhost", "http/1.1"},
                        Case{{"h2"}, "localhost", ""}, Case{{}, "localhost", ""},
                        Case{{"http/1.1"}, "quotes.example.org", "http/1.1"}, Case{{"http/1.1"}, "", "http/1.1"}}) {
    SCOPED_TRACE(t.serverName + " " + std::to_string(t.offered.size()));
    TLSClientOptions options;  // not verified: the name may not be the certificate's
    options.ALPN = t.offered;
    options.ServerName = t.serverName;
    TLSClient client(tlsPort, options);
    ASSERT_TRUE(client.Handshake());
    EXPECT_EQ(client.ALPN(), t.chosen);
  }
}

TEST_F(TLSServer, APlainRequestOnTheTLSPortIsToldToUseTLS) {
  LoopbackClient client(tlsPort);
  client.Send("GET /tvqWebSockets.js HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const std::string answer = client.ReceiveUntilClose();
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"));
  EXPECT_THAT(answer, HasSubstr("This port speaks TLS"));
}

TEST_F(TLSServer, AClientHelloOnThePlainPortIsClosed) {
  TLSClient client(plainPort, Trusting());
  EXPECT_FALSE(client.Handshake());
  EXPECT_TRUE(client.Closed());
  LoopbackClient plain(plainPort);  // and the port goes on serving
  plain.Send("GET /tvqWebSockets.js HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_THAT(plain.ReceiveUntilClose(), StartsWith("HTTP/1.1 200 OK\r\n"));
}

// A handshake that stops half-way (part of a ClientHello) is dropped at
// the first request's deadline, and its thread sleeps meanwhile.
TEST_F(TLSServer, AStalledHandshakeIsDroppedAtTheFirstRequestDeadline) {
  // A real ClientHello, cut short.
  MemoryClient source;
  source.Step();
  const std::string hello = source.TakeOutput();
  ASSERT_GT(hello.size(), 40u);
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto started = std::chrono::steady_clock::now();
  LoopbackClient client(tlsPort);
  client.Send(hello.substr(0, hello.size() / 2));
  EXPECT_TRUE(client.WaitForClose());
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, milliseconds(900));  // not before the deadline of 1000 ms
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  const auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000L + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000L;
  };
  // A spinning wait would burn about the whole second.
  EXPECT_LT(cpuMs(after) - cpuMs(before), 500);
}

// A client that stops reading is dropped by the backlog cap as over a
// plain socket, and the writes never wait for it.
TEST_F(TLSServer, ASlowConsumerOverTLSIsDroppedByTheBacklogCap) {
  server.Options.MaxBacklog = 256 * 1024;
  TLSClient stuck(tlsPort, Trusting());
  const std::string guid = Upgraded(stuck);
  const std::string chunk(16 * 1024, 's');
  const auto started = std::chrono::steady_clock::now();
  bool written = true;
  for (int i = 0; i < 4000 && written; ++i) loop.Synchronize([&] { written = server.WriteData(guid, chunk); });
  EXPECT_FALSE(written);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(server.TrafficLimitCount(tlBacklog), 1);
  EXPECT_TRUE(WaitUntil([&] { return Count("disconnect") == 1; }));
}

// A client that pauses while messages pile up (the socket full, records
// held by the handler, a backlog behind them) gets every one, whole and in
// order, once it reads again, without sending anything to wake the server.
TEST_F(TLSServer, AClientThatPausesGetsEverythingInOrderOnceItReads) {
  TLSClient client(tlsPort, Trusting());
  const std::string guid = Upgraded(client);
  const auto* connection = static_cast<TtvqWSConnection_Net*>(server.GetConnectionByGuid(guid));
  const auto message = [](int aIndex) {
    const std::string head = "message " + std::to_string(aIndex) + " ";
    return head + std::string(20000 - head.size(), static_cast<char>('a' + aIndex % 26));
  };
  int sent = 0;
  bool backlogged = false;
  for (; sent < 3000 && !backlogged; ++sent) {
    ASSERT_TRUE(server.WriteData(guid, message(sent)));
    backlogged = connection->BacklogSize() > 0;
  }
  ASSERT_TRUE(backlogged);
  for (int i = 0; i < 20; ++i, ++sent) ASSERT_TRUE(server.WriteData(guid, message(sent)));
  for (int i = 0; i < sent; ++i) {
    const std::string frame = ServerFrame(0x81, message(i));
    ASSERT_EQ(client.Receive(frame.size()), frame) << "message " << i;
  }
}

// A new pair applies to connections accepted afterwards; one opened before
// keeps its session and goes on working.
TEST_F(TLSServer, AReloadServesNewConnectionsWithTheNewCertificate) {
  TLSClient before(tlsPort, Trusting());
  const std::string guid = Upgraded(before);
  EXPECT_EQ(before.PeerCommonName(), "localhost");
  const auto [cert, key] = Certs().MakeServerPair("renewed", "renewed.localhost");
  server.SetTLS(TtvqTLSContext::Load(cert, key));
  TLSClient after(tlsPort, Trusting());
  Upgraded(after);
  EXPECT_EQ(after.PeerCommonName(), "renewed.localhost");
  EXPECT_TRUE(server.WriteData(guid, "still here"));
  EXPECT_EQ(before.Receive(12), ServerFrame(0x81, "still here"));
  before.Send(ClientFrame(0x81, "and talking"));
  EXPECT_TRUE(WaitUntil([&] { return Count("message and talking") == 1; }));
}

}  // namespace
