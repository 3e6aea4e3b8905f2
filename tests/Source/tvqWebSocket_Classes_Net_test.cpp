#include "tvqWebSocket_Classes_Net.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>

#include "../support/LoopbackClient.h"
#include "../support/MemoryConnection.h"
#include "../support/WebSocketFrames.h"
#include "tvqNetIOHandlerStack.h"
#include "tvqWebSocket_Server.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using std::chrono::milliseconds;
using test::ClientFrame;
using test::ServerFrame;

// A string literal with every byte, embedded zeros included.
template <std::size_t N>
std::string B(const char (&aLiteral)[N]) {
  return std::string(aLiteral, N - 1);
}

class TestConnection : public TtvqWSConnection_Net {
 public:
  void Enable() { SetEnabled(true); }
  using TtvqWSConnection_Base_Net::DoReadData;
};

// A server-side connection over loopback, enabled as after a handshake, and
// the raw client at the other end.
class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener.IP = "127.0.0.1";
    listener.AllocateSocket();
    listener.Bind();
    listener.Listen(4);
    client.Connect(listener.Port);
    auto handler = std::make_unique<TNetIOHandlerStack>();
    handler->Open();
    ASSERT_TRUE(listener.Select(5000));
    ASSERT_TRUE(handler->Binding().Accept(listener.Handle()));
    tcp = std::make_unique<TNetTCPConnection>(std::move(handler));
    ws.SetTCPConnection(tcp.get());
    ws.SetTransport(trpRFC6455);
    ws.Specification = spRFC6455;
    ws.CleanDisconnect = false;
    ws.Masked = false;
    ws.Enable();
    ws.OnMessage = [this](TtvqWSConnection&, const std::string& text) { messages.push_back(text); };
    ws.OnBinary = [this](TtvqWSConnection&, const TtvqBytes& data) {
      binaries.emplace_back(data.begin(), data.end());
    };
    ws.OnFragmented = [this](TtvqWSConnection&, const TtvqBytes& data, TOpcode opCode, bool more) {
      fragments.push_back({std::string(data.begin(), data.end()), opCode, more});
    };
  }
  void TearDown() override { ws.SetTCPConnection(nullptr); }

  // Runs the connection's read step, as its thread would, until aDone holds
  // or an error leaves the reader (recorded in errors).
  void PumpUntil(const std::function<bool()>& aDone, milliseconds aTimeout = milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (!aDone() && std::chrono::steady_clock::now() < deadline) {
      try {
        if (tcp->IOHandler()->CheckForDataOnSource(10) || !tcp->IOHandler()->InputBufferIsEmpty())
          ws.DoReadData(true);
      } catch (const TtvqWSException& e) {
        errors.push_back(e.what());
        return;
      }
      if (ws.Disconnected()) return;
    }
  }
  void Pump(milliseconds aFor = milliseconds(100)) { PumpUntil([] { return false; }, aFor); }

  struct Fragment {
    std::string data;
    TOpcode opCode;
    bool more;
    bool operator==(const Fragment&) const = default;
  };

  TNetSocketHandle listener;
  test::LoopbackClient client;
  std::unique_ptr<TNetTCPConnection> tcp;
  TestConnection ws;
  std::vector<std::string> messages, binaries, errors;
  std::vector<Fragment> fragments;
};

// ---------------------------------------------------------------- writing

TEST_F(CodecTest, TextFramesUseTheShortestLengthFormAndNoMask) {
  struct Case {
    std::size_t length;
    std::string header;
  };
  for (const Case& c : {Case{0, B("\x81\x00")}, Case{5, B("\x81\x05")}, Case{125, B("\x81\x7D")},
                        Case{126, B("\x81\x7E\x00\x7E")}, Case{65535, B("\x81\x7E\xFF\xFF")},
                        Case{65536, B("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00")}}) {
    SCOPED_TRACE(c.length);
    const std::string payload(c.length, 'p');
    ws.WriteData(payload);
    const std::string wire = client.Receive(c.header.size() + c.length);
    EXPECT_EQ(wire.substr(0, c.header.size()), c.header);
    EXPECT_TRUE(wire.substr(c.header.size()) == payload) << "payload differs";
  }
  EXPECT_EQ(ws.SendBytes, 2 + 2 + 2 + 4 + 4 + 10 + 0 + 5 + 125 + 126 + 65535 + 65536);
}

TEST_F(CodecTest, BinaryFramesCarryTheStreamWhole) {
  ws.WriteData(TtvqBytes{0x00, 0xFF, 0x10});
  EXPECT_EQ(client.Receive(5), std::string("\x82\x03\x00\xFF\x10", 5));
}

TEST_F(CodecTest, WritesFollowTheStreamingMode) {
  struct Case {
    TwsStreaming streaming;
    int size;
    std::string text;
    std::string wire;
  };
  for (const Case& c : {
           Case{stmNone, 4, "0123456789", B("\x01\x04" "0123" "\x00\x04" "4567" "\x80\x02" "89")},
           Case{stmNone, 10, "0123456789", B("\x81\x0A" "0123456789")},
           Case{stmFirst, 0, "ab", B("\x01\x02" "ab")},
           Case{stmContinue, 0, "ab", B("\x00\x02" "ab")},
           Case{stmLast, 0, "ab", B("\x80\x02" "ab")},
           Case{stmContinueAndLast, 0, "ab", B("\x80\x02" "ab")},
           Case{stmContinueAndLast, 2, "abcde", B("\x00\x02" "ab" "\x00\x02" "cd" "\x80\x01" "e")},
           // bytes decide whether to split and where to cut, also inside a character
           Case{stmNone, 3, "\xC3\xA9\xC3\xA9\xC3\xA9", B("\x01\x03\xC3\xA9\xC3" "\x80\x03\xA9\xC3\xA9")},
       }) {
    SCOPED_TRACE(c.streaming);
    ws.WriteData(c.text, c.size, c.streaming);
    EXPECT_EQ(client.Receive(c.wire.size()), c.wire);
  }
}

TEST_F(CodecTest, NothingIsWrittenBeforeTheHandshake) {
  TestConnection fresh;
  fresh.SetTCPConnection(tcp.get());
  fresh.WriteData("early");
  fresh.SetTCPConnection(nullptr);
  EXPECT_EQ(client.Receive(1, milliseconds(50)), "");
}

TEST_F(CodecTest, CloseSendsTheCloseFrameAndLeavesTheConnectionToThePeer) {
  ws.Close();
  EXPECT_EQ(client.Receive(4), "\x88\x02\x03\xE8");
  EXPECT_TRUE(ws.Disconnected());
  EXPECT_FALSE(client.WaitForClose(milliseconds(100)));
  EXPECT_TRUE(ws.Active());
}

// The close begins the closing state and wakes the connection's thread,
// asleep until a far deadline, so that it waits out the peer from now on.
TEST_F(CodecTest, CloseFromAnotherThreadWakesTheConnectionsThread) {
  EXPECT_FALSE(ws.ClosingSince());
  auto slept = std::async(std::launch::async, [&] {
    const auto start = std::chrono::steady_clock::now();
    ws.WaitForWork(10000);
    return std::chrono::steady_clock::now() - start;
  });
  std::this_thread::sleep_for(milliseconds(100));
  ws.Close(1008);
  ASSERT_EQ(slept.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(ws.ClosingSince());
  EXPECT_EQ(client.Receive(4), "\x88\x02\x03\xF0");
}

TEST_F(CodecTest, DisconnectDropsTheConnectionWithoutACloseFrame) {
  ws.Disconnect();
  std::string received = client.Receive(16, milliseconds(500));
  EXPECT_EQ(received, "");
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_FALSE(ws.Active());
}

// A peer that stops reading never holds up a writer: what the socket does
// not take waits in the backlog, and past its cap the connection is dropped
// as on a write error.
TEST_F(CodecTest, AWriterToAPeerThatStoppedReadingNeverWaitsAndIsDroppedPastTheCap) {
  ws.MaxBacklog = std::size_t{4} << 20;
  const std::string chunk(1 << 20, 'x');
  const auto started = std::chrono::steady_clock::now();
  int written = 0;
  try {
    for (; written < 1000; ++written) ws.WriteData(chunk);
  } catch (const TtvqWSException& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("Error writing message"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_LT(written, 1000);
  EXPECT_LE(ws.BacklogSize(), ws.MaxBacklog);
  EXPECT_TRUE(test::WaitUntil([&] { return !ws.Active(); }));
}

// The cap bounds what waits before a message, not the message: one larger
// than the cap, whole or in fragments, reaches a peer that reads.
TEST_F(CodecTest, AMessageLargerThanTheCapGoesOutWhole) {
  ws.MaxBacklog = 64 * 1024;
  const std::string text(std::size_t{12} << 20, 'y');  // more than the socket buffers take
  std::atomic<bool> done{false};
  std::thread connectionThread([&] {  // sends the backlog as the socket drains
    while (!done) ws.WaitForWork(10);
  });
  for (const int fragmentSize : {0, 16 * 1024}) {
    SCOPED_TRACE(fragmentSize);
    EXPECT_NO_THROW(ws.WriteData(text, fragmentSize));
    const std::size_t frames = fragmentSize ? text.size() / fragmentSize : 1;
    const std::size_t headerBytes = fragmentSize ? frames * 4 : 10;
    const std::string wire = client.Receive(text.size() + headerBytes, std::chrono::seconds(10));
    EXPECT_EQ(wire.size(), text.size() + headerBytes);
    if (wire.size() != text.size() + headerBytes) break;
    EXPECT_EQ(static_cast<std::uint8_t>(wire[0]), fragmentSize ? 0x01 : 0x81);
    if (fragmentSize) {
      EXPECT_EQ(static_cast<std::uint8_t>(wire[wire.size() - fragmentSize - 4]), 0x80);  // the last frame
    }
  }
  done = true;
  connectionThread.join();
  EXPECT_TRUE(ws.Active());
}

TEST_F(CodecTest, PingsAreRememberedForTheirPong) {
  ws.Ping("abc");
  EXPECT_EQ(client.Receive(5), "\x89\x03" "abc");
  EXPECT_EQ(ws.QueuePingList().Lock()->size(), 1u);
  EXPECT_NE(ws.LastPing(), TtvqDateTime{});
  client.Send(ClientFrame(0x8A, "abc"));
  PumpUntil([&] { return ws.Pong() == "abc"; });
  EXPECT_EQ(ws.Pong(), "abc");
  EXPECT_TRUE(ws.QueuePingList().Lock()->empty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(CodecTest, PingWithTimeOutWaitsForTheAnswer) {
  std::thread reader([&] {
    const std::string ping = client.Receive(6);
    if (ping.size() == 6) client.Send(ClientFrame(0x8A, ping.substr(2)));
  });
  std::atomic<bool> answered{false};
  std::thread pump([&] { PumpUntil([&] { return answered.load(); }); });
  // Also under a cork (an event handler on the main thread): the ping goes
  // out before the wait.
  TtvqWriteCork cork;
  answered = ws.Ping("hb01", 5000);
  EXPECT_TRUE(answered);
  reader.join();
  pump.join();
  EXPECT_FALSE(ws.Ping("never", 0));
}

TEST_F(CodecTest, HixieConnectionsFrameTextOnly) {
  ws.Specification = spHixie76;
  ws.SetTransport(trpHixie76);
  ws.WriteData("abc");
  ws.WriteData(TtvqBytes{1, 2});  // no binary on Hixie-76
  ws.Ping("p");                   // nor pings
  EXPECT_EQ(client.Receive(6, milliseconds(200)), std::string("\x00" "abc" "\xFF", 5));
}

// Many threads write at once; the client must see whole frames only, each
// one exactly as some writer wrote it.
TEST_F(CodecTest, ConcurrentWritersNeverInterleaveFrames) {
  constexpr int kWriters = 6, kPerWriter = 150;
  std::vector<std::thread> writers;
  std::size_t expectedBytes = 0;
  std::map<std::string, int> expected;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kPerWriter; ++i) {
      const std::string text = "w" + std::to_string(w) + ":" + std::to_string(i) + ":" +
                               std::string(static_cast<std::size_t>((i * 37 + w * 101) % 300), char('a' + w));
      ++expected[text];
      expectedBytes += text.size() + (text.size() < 126 ? 2 : 4);
    }
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i)
        ws.WriteData("w" + std::to_string(w) + ":" + std::to_string(i) + ":" +
                     std::string(static_cast<std::size_t>((i * 37 + w * 101) % 300), char('a' + w)));
    });
  const std::string wire = client.Receive(expectedBytes, milliseconds(20000));
  for (auto& t : writers) t.join();
  ASSERT_EQ(wire.size(), expectedBytes);
  std::map<std::string, int> seen;
  for (std::size_t at = 0; at < wire.size();) {
    ASSERT_EQ(static_cast<std::uint8_t>(wire[at]), 0x81) << "at byte " << at;
    std::size_t length = static_cast<std::uint8_t>(wire[at + 1]);
    std::size_t header = 2;
    if (length == 126) {
      length = (static_cast<std::uint8_t>(wire[at + 2]) << 8) | static_cast<std::uint8_t>(wire[at + 3]);
      header = 4;
    }
    ++seen[wire.substr(at + header, length)];
    at += header + length;
  }
  EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------- reading

TEST_F(CodecTest, AMaskedTextFrameRaisesOnMessage) {
  client.Send(ClientFrame(0x81, "Hello"));
  PumpUntil([&] { return !messages.empty(); });
  EXPECT_THAT(messages, ElementsAre("Hello"));
  EXPECT_EQ(ws.RecBytes, 11);
}

TEST_F(CodecTest, ReadsEveryLengthFormEvenWhenFramesArriveInPieces) {
  for (std::size_t length : {0u, 125u, 126u, 65535u, 65536u, 200000u}) {
    SCOPED_TRACE(length);
    messages.clear();
    std::string payload(length, 'x');
    for (std::size_t i = 0; i < length; i += 997) payload[i] = char('A' + i % 26);
    const std::string frame = ClientFrame(0x81, payload);
    // Cut the frame at awkward places: inside the header, the key, the payload.
    std::size_t at = 0;
    for (std::size_t cut : {1u, 3u, 7u, 4096u}) {
      if (at + cut >= frame.size()) break;
      client.Send(frame.substr(at, cut));
      at += cut;
      Pump(milliseconds(15));
      EXPECT_THAT(messages, IsEmpty());
    }
    client.Send(frame.substr(at));
    PumpUntil([&] { return !messages.empty(); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], payload);
  }
}

TEST_F(CodecTest, BinaryMessagesRaiseOnBinary) {
  client.Send(ClientFrame(0x82, std::string("\x00\x01\xFF", 3)));
  PumpUntil([&] { return !binaries.empty(); });
  EXPECT_THAT(binaries, ElementsAre(std::string("\x00\x01\xFF", 3)));
}

TEST_F(CodecTest, FragmentsAreCollectedAroundAPing) {
  client.Send(ClientFrame(0x01, "one ") + ClientFrame(0x89, "png") + ClientFrame(0x00, "two ") +
              ClientFrame(0x80, "three"));
  PumpUntil([&] { return !messages.empty(); });
  EXPECT_THAT(messages, ElementsAre("one two three"));
  EXPECT_THAT(fragments, IsEmpty());
  EXPECT_EQ(client.Receive(5), "\x8A\x03png");  // the pong, before anything else
}

// Under frgAll and frgOnlyFragmented every data frame is a fragment event,
// a single-frame message too; frgAll also delivers the whole message.
TEST_F(CodecTest, FragmentDeliveryFollowsFragmentedMessages) {
  const std::string message = ClientFrame(0x01, "a") + ClientFrame(0x00, "b") + ClientFrame(0x80, "c");
  struct Case {
    TwsFragmentedMessages mode;
    std::vector<Fragment> fragments;
    std::vector<std::string> messages;
  };
  for (const Case& c :
       {Case{frgAll, {{"a", opText, true}, {"ab", opText, true}, {"abc", opText, false}, {"one", opText, false}},
             {"abc", "one"}},
        Case{frgOnlyFragmented,
             {{"a", opText, true}, {"b", opText, true}, {"c", opText, false}, {"one", opText, false}},
             {}},
        Case{frgOnlyBuffer, {}, {"abc", "one"}}}) {
    SCOPED_TRACE(c.mode);
    fragments.clear();
    messages.clear();
    ws.FragmentedMessages = c.mode;
    client.Send(message + ClientFrame(0x81, "one"));
    PumpUntil([&] { return fragments.size() >= c.fragments.size() && messages.size() >= c.messages.size(); });
    Pump(milliseconds(30));  // nothing more may follow
    EXPECT_EQ(fragments, c.fragments);
    EXPECT_EQ(messages, c.messages);
  }
}

struct Violation {
  std::string name;
  std::string bytes;
  std::string error;
  int code;
};

std::string Bytes(std::initializer_list<int> aBytes) {
  std::string s;
  for (int b : aBytes) s += static_cast<char>(b);
  return s;
}

class ViolationTest : public CodecTest, public ::testing::WithParamInterface<Violation> {};

// Each violation closes the connection with its text; with CleanDisconnect
// on, the close frame that goes first shows the code.
TEST_P(ViolationTest, ClosesWithItsTextAndCode) {
  const Violation& v = GetParam();
  ws.CleanDisconnect = true;
  if (v.name == "pong_mismatch") {
    ws.Ping("sent");
    client.Receive(6);
  }
  client.Send(v.bytes);
  PumpUntil([&] { return !errors.empty(); });
  EXPECT_THAT(errors, ElementsAre(v.error));
  EXPECT_TRUE(ws.Disconnected());
  EXPECT_THAT(messages, IsEmpty());
  const std::string wire = client.ReceiveUntilClose();  // a pong may come first
  EXPECT_THAT(wire, ::testing::EndsWith(Bytes({0x88, 0x02, v.code >> 8, v.code & 0xFF})));
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ViolationTest,
    ::testing::Values(
        Violation{"continuation_first", ClientFrame(0x80, "x"), "Unfragmented message after continuation frame with FIN", 1002},
        Violation{"text_inside_fragments", ClientFrame(0x01, "a") + ClientFrame(0x81, "b"),
                  "OpCode error, received opText after Continuation not finished", 1002},
        Violation{"binary_inside_fragments", ClientFrame(0x02, "a") + ClientFrame(0x82, "b"),
                  "OpCode error, received opBinary after Continuation not finished", 1002},
        Violation{"text_inside_fragments_after_ping", ClientFrame(0x01, "a") + ClientFrame(0x89, "") + ClientFrame(0x81, "b"),
                  "OpCode error, received opText after Continuation not finished", 1002},
        Violation{"opcode_3", ClientFrame(0x83, "x"), "Invalid Control OptCode", 1002},
        Violation{"opcode_B", ClientFrame(0x8B, "x"), "Invalid Control OptCode", 1002},
        Violation{"rsv1", ClientFrame(0xC1, "x"), "Invalid value of RSV while no Extension Negotiated", 1002},
        Violation{"rsv3_on_ping", ClientFrame(0x99, "x"), "Invalid value of RSV while no Extension Negotiated", 1002},
        Violation{"ping_not_final", ClientFrame(0x09, "x"), "Control Message must not be fragmented", 1002},
        Violation{"unmasked", ClientFrame(0x81, "x", false), "Message is not masked", 1002},
        Violation{"ping_16bit_length", ClientFrame(0x89, "x", true, 126),
                  "Control frames are only allowed to have payload up to and including 125 octets", 1002},
        Violation{"close_one_byte", ClientFrame(0x88, "x"), "Invalid Payload length for close code", 1002},
        Violation{"close_1005", test::CloseFrame(1005), "Invalid close code", 1002},
        Violation{"close_999", test::CloseFrame(999), "Invalid close code", 1002},
        Violation{"close_1004", test::CloseFrame(1004), "Invalid close code", 1002},
        Violation{"close_2999", test::CloseFrame(2999), "Invalid close code", 1002},
        Violation{"close_5000", test::CloseFrame(5000), "Invalid close code", 1002},
        Violation{"close_1005_with_reason", test::CloseFrame(1005, "bye"), "Invalid close code", 1002},
        Violation{"close_0_with_reason", test::CloseFrame(0, "bye"), "Invalid close code", 1002},
        Violation{"close_reason_not_utf8", test::CloseFrame(1000, "\xC0\x80"), "Invalid UTF8 message", 1007},
        Violation{"utf8_overlong", ClientFrame(0x81, "\xC0\x80"), "Invalid UTF8 message", 1007},
        Violation{"utf8_surrogate", ClientFrame(0x81, "\xED\xA0\x80"), "Invalid UTF8 message", 1007},
        Violation{"utf8_above_max", ClientFrame(0x81, "\xF4\x90\x80\x80"), "Invalid UTF8 message", 1007},
        Violation{"utf8_truncated", ClientFrame(0x81, "ok\xE2\x82"), "Invalid UTF8 message", 1007},
        Violation{"utf8_lone_F4", ClientFrame(0x81, "ok\xF4"), "Invalid UTF8 message", 1007},
        Violation{"utf8_across_fragments", ClientFrame(0x01, "\xE2") + ClientFrame(0x80, "\x82"), "Invalid UTF8 message", 1007},
        Violation{"pong_mismatch", ClientFrame(0x8A, "other"), "Received Pong is different from Sent Ping", 1000},
        Violation{"too_big", test::ClientHeader(0x82, std::uint64_t{1} << 40), "Message too big", 1009},
        Violation{"length_top_bit_set", test::ClientHeader(0x82, (std::uint64_t{1} << 63) + 5), "Invalid payload length", 1002},
        Violation{"rsv1_on_continuation", ClientFrame(0x01, "a") + ClientFrame(0xC0, "b"),
                  "Invalid value of RSV while no Extension Negotiated", 1002}),
    [](const auto& info) { return info.param.name; });

TEST_F(CodecTest, AMessageTooBigAcrossFragmentsIsRefused) {
  ws.MaxMessageSize = 10;
  ws.CleanDisconnect = true;
  client.Send(ClientFrame(0x01, "123456") + ClientFrame(0x80, "78901"));
  PumpUntil([&] { return !errors.empty(); });
  EXPECT_THAT(errors, ElementsAre("Message too big"));
  EXPECT_EQ(client.Receive(4), "\x88\x02\x03\xF1");
}

struct ValidClose {
  std::string name, bytes;
  int closeCode;
  std::string reason;
  std::string answer;  // the close frame sent back: the peer's code, or 1000
};

class ValidCloseTest : public CodecTest, public ::testing::WithParamInterface<ValidClose> {};

// A client's close is answered with a close frame, also with
// CleanDisconnect off (which only keeps the server's own closes quiet).
TEST_P(ValidCloseTest, IsAnsweredWithACloseFrameThenTheConnectionEnds) {
  const ValidClose& c = GetParam();
  ASSERT_FALSE(ws.CleanDisconnect);
  client.Send(c.bytes);
  PumpUntil([&] { return ws.Disconnected(); });
  EXPECT_THAT(errors, IsEmpty());
  EXPECT_TRUE(ws.Disconnected());
  EXPECT_EQ(ws.CloseCode, c.closeCode);
  EXPECT_EQ(ws.CloseReason, c.reason);
  EXPECT_EQ(client.ReceiveUntilClose(), c.answer);
}

INSTANTIATE_TEST_SUITE_P(Reader, ValidCloseTest,
                         ::testing::Values(ValidClose{"code_1000", test::CloseFrame(1000), 1000, "", "\x88\x02\x03\xE8"},
                                           ValidClose{"code_4000", test::CloseFrame(4000), 4000, "", "\x88\x02\x0F\xA0"},
                                           ValidClose{"code_1001_with_reason", test::CloseFrame(1001, "bye"), 1001, "bye",
                                                      "\x88\x02\x03\xE9"},
                                           ValidClose{"empty", ClientFrame(0x88, ""), 0, "", "\x88\x02\x03\xE8"}),
                         [](const auto& info) { return info.param.name; });

TEST_F(CodecTest, HixieFramesAndTheirClosingHandshake) {
  ws.Specification = spHixie76;
  ws.SetTransport(trpHixie76);
  client.Send(std::string("\x00" "abc" "\xFF", 5));
  PumpUntil([&] { return !messages.empty(); });
  EXPECT_THAT(messages, ElementsAre("abc"));
  client.Send("\xFF");  // the closing frame, in two segments
  Pump(milliseconds(30));
  client.Send(std::string("\x00", 1));
  Pump(milliseconds(30));
  EXPECT_EQ(client.Receive(2), std::string("\xFF\x00", 2));
}

// ---------------------------------------------------------------- the connection object

TEST_F(CodecTest, AddressesAreReadOnceAndKeptAfterTheSocketGoes) {
  EXPECT_EQ(ws.IP(), "127.0.0.1");
  EXPECT_GT(ws.Port(), 0);
  EXPECT_EQ(ws.LocalPort(), listener.Port);
  const int port = ws.Port();
  ws.Disconnect();
  ws.SetTCPConnection(nullptr);
  EXPECT_EQ(ws.IP(), "127.0.0.1");
  EXPECT_EQ(ws.Port(), port);
  TestConnection unbound;
  EXPECT_EQ(unbound.IP(), "");  // never had a socket: empty and 0
  EXPECT_EQ(unbound.Port(), 0);
}

TEST(TtvqWSConnection, GuidsAreFixedUpperCaseHexAndUnique) {
  TtvqWSConnection a, b;
  EXPECT_EQ(a.Guid(), a.Guid());
  EXPECT_THAT(a.Guid(), ::testing::MatchesRegex("[0-9A-F]{32}"));
  EXPECT_EQ(a.Guid()[12], '4');  // version 4
  EXPECT_NE(a.Guid(), b.Guid());
}

TEST(TtvqWSConnection, SubscriptionsIgnoreCaseAndRaiseOneEventEach) {
  TtvqWSConnection c;
  std::vector<std::string> events;
  c.OnSubscription = [&](TtvqWSConnection&, const std::string& s) { events.push_back("+" + s); };
  c.OnUnSubscription = [&](TtvqWSConnection&, const std::string& s) { events.push_back("-" + s); };
  c.DoSubscribe("a,b,a");
  c.DoSubscribe("B, c");  // a blank belongs to the name
  EXPECT_THAT(c.Subscriptions(), ElementsAre("a", "b", " c"));
  EXPECT_TRUE(c.Subscribed("A"));
  EXPECT_TRUE(c.Subscribed("x,B"));
  EXPECT_TRUE(c.Subscribed(""));
  EXPECT_FALSE(c.Subscribed("c"));
  c.DoUnSubscribe("z,A");
  EXPECT_THAT(events, ElementsAre("+a", "+b", "+ c", "-A"));
  EXPECT_THAT(c.Subscriptions(), ElementsAre("b", " c"));
}

TEST_F(CodecTest, WriteAndWaitDataReturnsTheNextMessage) {
  ws.OnMessage = [](TtvqWSConnection& c, const std::string& text) { c.SetMsgReceived(text); };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ws.WriteAndWaitData("no wait", 0), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
  EXPECT_EQ(client.Receive(9), "\x81\x07no wait");

  std::thread answer([&] {
    client.Receive(9);
    client.Send(ClientFrame(0x81, "reply"));
  });
  std::atomic<bool> done{false};
  std::thread pump([&] { PumpUntil([&] { return done.load(); }); });
  EXPECT_EQ(ws.WriteAndWaitData("request", 5000), "reply");
  done = true;
  answer.join();
  pump.join();
}

TEST_F(CodecTest, QueueLevelsHoldMessagesUntilTheConnectionSendsThem) {
  ws.QueueOptions.Text.Level = qmLevel2;
  ws.QueueOptions.Ping.Level = qmLevel0;
  ws.WriteData("late");
  ws.Ping("first");
  EXPECT_EQ(client.Receive(1, milliseconds(50)), "");
  ws.DoSendQueuedMessages();  // level 0 before level 2
  EXPECT_EQ(client.Receive(13), "\x89\x05" "first" "\x81\x04" "late");
  ws.WriteData("dropped");
  ws.SetDisconnected(true);  // frees what was held
  ws.DoSendQueuedMessages();
  EXPECT_EQ(client.Receive(1, milliseconds(50)), "");
}

// ---------------------------------------------------------------- over memory

// A handler that ends its connection ends the reading there: what came
// after its message is never delivered.
TEST(MemoryReader, AHandlerThatDisconnectsStopsTheReadingAtItsMessage) {
  test::MemoryConnection c;
  std::vector<std::string> messages;
  c.OnMessage = [&](TtvqWSConnection& aConnection, const std::string& text) {
    messages.push_back(text);
    aConnection.Disconnect();
  };
  c.Feed(ClientFrame(0x81, "first") + ClientFrame(0x81, "second"));
  c.Read();
  EXPECT_THAT(messages, ElementsAre("first"));
  EXPECT_TRUE(c.Dropped());
}

// A pong that cannot be written fails the read with the write's error, and
// nothing after the ping is delivered.
TEST(MemoryReader, APongThatCannotBeWrittenFailsTheRead) {
  test::MemoryConnection c;
  std::vector<std::string> messages;
  c.OnMessage = [&](TtvqWSConnection&, const std::string& text) { messages.push_back(text); };
  c.Feed(ClientFrame(0x89, "ping") + ClientFrame(0x81, "after"));
  c.FailAtCall(0);
  try {
    c.Read();
    ADD_FAILURE() << "the failed pong was not reported";
  } catch (const TtvqWSException& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("Error writing message "));
  }
  EXPECT_THAT(messages, IsEmpty());
}

// Three subscribers of a channel, the middle one's writes failing at each
// point in turn: by call, and by byte (inside a frame too). The broadcaster
// never sees the failure; the failing connection is dropped after exactly
// what went out before it and gets nothing more; the others get every
// message, whole and in order.
TEST(FailingWrites, DropOnlyTheirConnectionAndCostTheOthersNothing) {
  constexpr int kMessages = 4;
  std::string expected;
  for (int m = 0; m < kMessages; ++m) expected += ServerFrame(0x81, "quote " + std::to_string(m));
  struct Failure {
    bool byCall;
    std::size_t at;
  };
  std::vector<Failure> failures;
  for (std::size_t call = 0; call < kMessages; ++call) failures.push_back({true, call});
  for (std::size_t byte = 0; byte < expected.size(); ++byte) failures.push_back({false, byte});
  for (const Failure& f : failures) {
    SCOPED_TRACE((f.byCall ? "call " : "byte ") + std::to_string(f.at));
    std::vector<std::unique_ptr<test::MemoryConnection>> subscribers;
    TtvqWebSocketServer server;
    for (int i = 0; i < 3; ++i) {
      auto& c = *subscribers.emplace_back(std::make_unique<test::MemoryConnection>());
      c.OnSubscription = [&server](TtvqWSConnection& aConnection, const std::string& channel) {
        server.DoConnectionSubscription(aConnection, channel);
      };
      c.DoSubscribe("quotes");
    }
    test::MemoryConnection& failing = *subscribers[1];
    if (f.byCall)
      failing.FailAtCall(f.at);
    else
      failing.FailAfterBytes(f.at);
    for (int m = 0; m < kMessages; ++m) EXPECT_NO_THROW(server.Broadcast("quote " + std::to_string(m), "quotes"));
    EXPECT_EQ(subscribers[0]->Output(), expected);
    EXPECT_EQ(subscribers[2]->Output(), expected);
    EXPECT_TRUE(failing.Dropped());
    EXPECT_TRUE(failing.Disconnected());
    const std::size_t sent = f.byCall ? expected.size() / kMessages * f.at : f.at;  // the frames are of one size
    EXPECT_EQ(failing.Output(), expected.substr(0, sent));
  }
}

}  // namespace
