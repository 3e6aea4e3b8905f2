#include "tvqNetIOHandler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <random>
#include <thread>

#include "../support/LoopbackClient.h"
#include "tvqNetIOHandlerStack.h"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using std::chrono::milliseconds;

std::string Text(const std::vector<std::uint8_t>& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }
std::vector<std::uint8_t> Bytes(const std::string& aText) { return {aText.begin(), aText.end()}; }

// ---------------------------------------------------------------- TNetBuffer

TEST(TNetBuffer, ExtractTakesFromTheFrontOrCopiesFromAPosition) {
  TNetBuffer buffer;
  buffer.Write(Bytes("abcdef"));
  std::vector<std::uint8_t> out = Bytes("XY");
  buffer.ExtractToBytes(out, 2, true, 3);  // copy "de", remove nothing
  EXPECT_EQ(Text(out), "XYde");
  EXPECT_EQ(buffer.Size(), 6u);
  buffer.ExtractToBytes(out, 3, false);  // overwrite from the start
  EXPECT_EQ(Text(out), "abce");
  EXPECT_EQ(buffer.AsString(), "def");
  out.clear();
  buffer.ExtractToBytes(out);  // all
  EXPECT_EQ(Text(out), "def");
  EXPECT_TRUE(buffer.IsEmpty());
}

// Random appends and removals against a plain queue: compaction and growth
// must never lose or reorder a byte.
TEST(TNetBuffer, KeepsEveryByteInOrderAcrossCompactionAndGrowth) {
  std::mt19937 random(42);
  TNetBuffer buffer;
  std::deque<std::uint8_t> model;
  std::uint8_t next = 0;
  for (int step = 0; step < 4000; ++step) {
    if (random() % 2) {
      std::vector<std::uint8_t> chunk(random() % 3000);
      for (auto& b : chunk) model.push_back(b = next++);
      buffer.Write(chunk);
    } else {
      const std::size_t count = std::min<std::size_t>(random() % 3000, model.size());
      std::vector<std::uint8_t> out;
      buffer.ExtractToBytes(out, static_cast<std::ptrdiff_t>(count));
      ASSERT_EQ(out, std::vector<std::uint8_t>(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(count)));
      model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(count));
    }
    ASSERT_EQ(buffer.Size(), model.size());
  }
}

TEST(TNetBuffer, RefusesToGrowPastItsLimit) {
  TNetBuffer buffer;
  const std::uint8_t one = 1;
  buffer.Write(&one, 1);
  try {
    buffer.Write(&one, TNetBuffer::kMaxSize);  // checked before any byte is read
    FAIL() << "no error";
  } catch (const ENetTooMuchDataInBuffer& e) {
    EXPECT_STREQ(e.what(), "Too much data in buffer.");
  }
  EXPECT_EQ(buffer.Size(), 1u);
}

// ---------------------------------------------------------------- I/O handler over a socket

// An I/O handler on the server end of a loopback connection, and the client.
class IOHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener.AllocateSocket();
    listener.IP = "127.0.0.1";
    listener.Bind();
    listener.Listen(4);
    client.Connect(listener.Port);
    handler.Open();
    ASSERT_TRUE(listener.Select(5000));
    ASSERT_TRUE(handler.Binding().Accept(listener.Handle()));
  }

  // Reads until the handler holds aCount bytes (or the deadline passes).
  void Fill(std::size_t aCount) {
    ASSERT_TRUE(test::WaitUntil([&] {
      handler.CheckForDataOnSource(10);
      return handler.InputBuffer.Size() >= aCount;
    }));
  }

  TNetSocketHandle listener;
  test::LoopbackClient client;
  TNetIOHandlerStack handler;
};

TEST_F(IOHandlerTest, TakesAddressesFromTheAcceptedSocket) {
  EXPECT_EQ(handler.Binding().IP, "127.0.0.1");
  EXPECT_EQ(handler.Binding().PeerIP, "127.0.0.1");
  EXPECT_EQ(handler.Binding().Port, listener.Port);
  EXPECT_GT(handler.Binding().PeerPort, 0);
  EXPECT_EQ(handler.Binding().IPVersion(), Net_IPv4);
}

TEST_F(IOHandlerTest, CheckForDataOnSourceTimesOutQuietlyOnAnIdleConnection) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(handler.CheckForDataOnSource(10));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(9));
  EXPECT_TRUE(handler.InputBufferIsEmpty());
  EXPECT_TRUE(handler.Connected());
}

TEST_F(IOHandlerTest, ATwoSegmentMessageArrivesPartByPart) {
  client.Send("\x81\x05");
  ASSERT_TRUE(test::WaitUntil([&] { return handler.CheckForDataOnSource(10); }));
  EXPECT_EQ(handler.InputBuffer.AsString(), "\x81\x05");
  std::vector<std::uint8_t> header;
  handler.ReadBytes(header, 2);  // the reader consumes what is there
  std::thread rest([&] {
    std::this_thread::sleep_for(milliseconds(5));
    client.Send("hello");
  });
  EXPECT_TRUE(test::WaitUntil([&] { return handler.CheckForDataOnSource(10); }));
  rest.join();
  Fill(5);
  EXPECT_EQ(handler.InputBuffer.AsString(), "hello");
}

TEST_F(IOHandlerTest, APeerCloseWithBufferedBytesStaysConnectedUntilTheyAreRead) {
  client.Send("xyz");
  client.Close();
  ASSERT_TRUE(test::WaitUntil([&] {
    handler.CheckForDataOnSource(10);
    return handler.ClosedGracefully();
  }));
  EXPECT_EQ(handler.InputBuffer.Size(), 3u);
  EXPECT_TRUE(handler.Connected());
  std::vector<std::uint8_t> bytes;
  handler.ReadBytes(bytes, 3);
  EXPECT_EQ(Text(bytes), "xyz");
  EXPECT_FALSE(handler.Connected());
  EXPECT_FALSE(handler.CheckForDataOnSource(10));  // quiet: no exception in the polling path
  try {
    handler.Write("late");
    FAIL() << "no error";
  } catch (const ENetConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_THROW(handler.ReadBytes(bytes, 1), ENetConnClosedGracefully);
}

TEST_F(IOHandlerTest, AResetRaisesASocketErrorWithThePlatformNumber) {
  client.Reset();
  try {
    test::WaitUntil([&] {
      handler.CheckForDataOnSource(10);
      return false;
    }, milliseconds(3000));
    FAIL() << "no error";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.LastError(), ECONNRESET);
    EXPECT_THAT(e.what(), StartsWith("Socket Error # " + std::to_string(ECONNRESET) + "\n"));
  }
}

TEST_F(IOHandlerTest, WritingToAVanishedPeerFailsWithoutKillingTheProcess) {
  client.Reset();
  std::this_thread::sleep_for(milliseconds(20));
  const std::vector<std::uint8_t> chunk(65536, 'x');
  // Never noticed by a read: the sends themselves meet the reset (a
  // broken-pipe signal here would end the test process).
  EXPECT_THROW(
      for (int i = 0; i < 100; ++i) handler.Write(chunk), ENetSocketError);
}

TEST_F(IOHandlerTest, ReadLnSplitsAtLineFeeds) {
  struct Case {
    std::string sent;
    std::vector<std::string> lines;
  };
  for (const Case& c : {Case{"abc\r\n", {"abc"}}, Case{"abc\n", {"abc"}}, Case{"\n", {""}},
                        Case{"a\rb\n", {"a\rb"}}, Case{"one\ntwo\r\n", {"one", "two"}},
                        Case{std::string(16384, 'L') + "\n", {std::string(16384, 'L')}}}) {
    client.Send(c.sent);
    for (const std::string& line : c.lines) EXPECT_EQ(handler.ReadLn(), line);
    EXPECT_TRUE(handler.InputBufferIsEmpty());
  }
}

TEST_F(IOHandlerTest, ReadLnRefusesOverlongLines) {
  client.Send(std::string(16385, 'L'));
  try {
    handler.ReadLn();
    FAIL() << "no error";
  } catch (const ENetReadLnMaxLineLengthExceeded& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
  handler.MaxLineAction = maSplit;
  EXPECT_EQ(handler.ReadLn(), std::string(16384, 'L'));
  EXPECT_EQ(handler.InputBuffer.Size(), 1u);
}

TEST_F(IOHandlerTest, ReadLnFailsWhenThePeerClosesMidLine) {
  client.Send("partial");
  client.Close();
  EXPECT_THROW(handler.ReadLn(), ENetConnClosedGracefully);
}

TEST_F(IOHandlerTest, CaptureReadsHeaderLinesUpToTheEmptyLine) {
  client.Send("GET / HTTP/1.1\r\nHost: x\r\n..dotted\r\n\r\nbody");
  std::vector<std::string> lines;
  handler.Capture(lines);
  EXPECT_THAT(lines, ElementsAre("GET / HTTP/1.1", "Host: x", ".dotted"));
  EXPECT_EQ(handler.InputBuffer.AsString(), "body");
}

TEST_F(IOHandlerTest, ReadBytesWaitsForTheWholeCount) {
  std::thread sender([&] {
    for (const char* part : {"ab", "cd", "ef"}) {
      std::this_thread::sleep_for(milliseconds(5));
      client.Send(part);
    }
  });
  std::vector<std::uint8_t> bytes;
  handler.ReadBytes(bytes, 6);
  sender.join();
  EXPECT_EQ(Text(bytes), "abcdef");
}

TEST_F(IOHandlerTest, WriteBufferGathersUntilFlushedAndReopeningDiscards) {
  handler.WriteBufferOpen();
  handler.Write("dropped");
  handler.WriteBufferOpen();  // discards what was pending
  handler.Write("ab");
  handler.WriteLn("cd");
  EXPECT_EQ(client.Receive(1, milliseconds(50)), "");  // nothing sent yet
  handler.WriteBufferClose();
  EXPECT_FALSE(handler.WriteBufferingActive());
  EXPECT_EQ(client.Receive(6), "abcd\r\n");
  handler.WriteBufferOpen();
  handler.Write("zz");
  handler.WriteBufferClear();
  handler.WriteBufferClose();
  handler.Write("direct");
  EXPECT_EQ(client.Receive(6), "direct");
}

TEST_F(IOHandlerTest, StreamWritesSendTheBodyInChunks) {
  handler.SendBufferSize = 3;
  handler.Write(Bytes("0123456789"), 0, false);
  EXPECT_EQ(client.Receive(10), "0123456789");
  handler.Write(Bytes("abc"), 2, true);
  EXPECT_EQ(client.Receive(6), std::string("\0\0\0\x02" "ab", 6));
  EXPECT_THROW(handler.Write(Bytes("abc"), 5, false), ENetNoDataToRead);
}

TEST_F(IOHandlerTest, ACloseFromAnotherThreadEndsTheConnection) {
  std::thread([&] { handler.Close(); }).join();
  EXPECT_FALSE(handler.Connected());
  EXPECT_FALSE(handler.CheckForDataOnSource(10));
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_THROW(handler.ReadFromSource(true, 10, false), ENetException);
}

}  // namespace
