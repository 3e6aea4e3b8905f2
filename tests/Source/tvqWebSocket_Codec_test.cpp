// The wire codec on its own: bytes in, events out, no socket.
#include "tvqWebSocket_Codec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/WebSocketFrames.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using test::ClientFrame;
using test::CloseFrame;

template <std::size_t N>
std::string B(const char (&aLiteral)[N]) {
  return std::string(aLiteral, N - 1);
}

const std::uint8_t* Bytes(const std::string& aText) { return reinterpret_cast<const std::uint8_t*>(aText.data()); }

// An event as one line of text, so that tables can list what must come.
std::string Describe(const TtvqFrameEvent& e) {
  const auto data = [&] { return e.Data ? std::string(e.Data->begin(), e.Data->end()) : std::string(); };
  const char* op = e.OpCode == opText ? "text" : e.OpCode == opBinary ? "binary" : "?";
  switch (e.Kind) {
    case TtvqFrameEvent::fevMessage: return std::string("message ") + op + ":" + data();
    case TtvqFrameEvent::fevFragment: return std::string("fragment ") + op + (e.More ? " more:" : ":") + data();
    case TtvqFrameEvent::fevPing: return "ping:" + data();
    case TtvqFrameEvent::fevPong: return "pong:" + data();
    case TtvqFrameEvent::fevClose: return "close " + std::to_string(e.PeerCloseCode) + ":" + e.Text;
    case TtvqFrameEvent::fevViolation: return "violation " + std::to_string(e.CloseCode) + ":" + e.Text;
    case TtvqFrameEvent::fevNone: break;
  }
  return "none";
}

// Feeds aInput in pieces of aChunk bytes (0: whole), as a connection would
// hand over what has arrived, and lists every event; a violation ends it.
template <class TReader>
std::vector<std::string> Read(TReader& aReader, const std::string& aInput, std::size_t aChunk = 0) {
  std::vector<std::string> events;
  std::size_t at = 0;
  while (true) {
    if (!aReader.Ready()) {
      if (at == aInput.size() || aReader.Failed()) break;
      const std::size_t piece = aChunk ? std::min(aChunk, aInput.size() - at) : aInput.size() - at;
      at += aReader.Consume(Bytes(aInput) + at, piece);
      if (!aReader.Ready()) continue;
    }
    events.push_back(Describe(aReader.Event()));
    if (aReader.Failed()) break;
    aReader.Next();
  }
  return events;
}

std::vector<std::string> ReadFrames(const std::string& aInput, std::size_t aChunk = 0,
                                    TwsFragmentedMessages aMode = frgOnlyBuffer) {
  TtvqFrameReader reader({true, aMode, 16u * 1024u * 1024u});
  return Read(reader, aInput, aChunk);
}

// ---------------------------------------------------------------- writing

TEST(FrameWriter, HeadersUseTheShortestLengthForm) {
  struct Case {
    std::uint64_t length;
    std::string header;
  };
  for (const Case& c : {Case{0, B("\x81\x00")}, Case{125, B("\x81\x7D")}, Case{126, B("\x81\x7E\x00\x7E")},
                        Case{65535, B("\x81\x7E\xFF\xFF")}, Case{65536, B("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00")},
                        Case{std::uint64_t{1} << 40, B("\x81\x7F\x00\x00\x01\x00\x00\x00\x00\x00")}}) {
    SCOPED_TRACE(c.length);
    std::uint8_t header[kTvqMaxFrameHeader];
    const std::size_t size = tvqWriteFrameHeader(header, opText, true, c.length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), size), c.header);
  }
}

TEST(FrameWriter, OpCodeFinAndMask) {
  TtvqBytes frame;
  tvqAppendFrame(frame, opContinuation, false, Bytes("ab"), 2);
  tvqAppendFrame(frame, opPong, true, nullptr, 0);
  const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
  tvqAppendFrame(frame, opText, true, Bytes("Hello"), 5, key);
  EXPECT_EQ(std::string(frame.begin(), frame.end()),
            B("\x00\x02" "ab" "\x8A\x00") + ClientFrame(0x81, "Hello", true, 0, 0x37FA213D));
}

TEST(FrameWriter, Hixie76Frames) {
  TtvqBytes frame;
  tvqAppendHixie76Frame(frame, opText, "abc");
  tvqAppendHixie76Frame(frame, opClose);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), B("\x00" "abc" "\xFF" "\xFF\x00"));
}

// What the writer writes, the reader reads back, whatever the length form.
TEST(FrameWriter, TheReaderReadsWhatItWrites) {
  const std::uint8_t key[4] = {1, 2, 3, 4};
  for (std::size_t length : {0u, 1u, 125u, 126u, 65535u, 65536u, 70000u}) {
    SCOPED_TRACE(length);
    std::string payload(length, 'x');
    for (std::size_t i = 0; i < length; i += 7) payload[i] = char('a' + i % 26);
    TtvqBytes frame;
    tvqAppendFrame(frame, opBinary, true, Bytes(payload), payload.size(), key);
    EXPECT_THAT(ReadFrames(std::string(frame.begin(), frame.end()), 1000), ElementsAre("message binary:" + payload));
  }
}

// ---------------------------------------------------------------- reading

struct ReadCase {
  std::string name;
  std::string input;
  TwsFragmentedMessages mode;
  std::vector<std::string> events;
};

class FrameReaderEvents : public ::testing::TestWithParam<ReadCase> {};

// Every case gives the same events whether the bytes come whole, a byte at
// a time, or in pieces of 3 and 7 bytes.
TEST_P(FrameReaderEvents, AreTheSameHoweverTheBytesArrive) {
  const ReadCase& c = GetParam();
  for (std::size_t chunk : {0u, 1u, 3u, 7u}) {
    SCOPED_TRACE(chunk);
    EXPECT_THAT(ReadFrames(c.input, chunk, c.mode), ElementsAreArray(c.events));
  }
}

const std::string kThreeFragments = ClientFrame(0x01, "a") + ClientFrame(0x00, "b") + ClientFrame(0x80, "c");

INSTANTIATE_TEST_SUITE_P(
    Reader, FrameReaderEvents,
    ::testing::Values(
        ReadCase{"hello", ClientFrame(0x81, "Hello"), frgOnlyBuffer, {"message text:Hello"}},
        ReadCase{"empty_text", ClientFrame(0x81, ""), frgOnlyBuffer, {"message text:"}},
        ReadCase{"binary", ClientFrame(0x82, B("\x00\x01\xFF")), frgOnlyBuffer, {"message binary:" + B("\x00\x01\xFF")}},
        ReadCase{"length_126_form", ClientFrame(0x81, std::string(126, 'q')), frgOnlyBuffer,
                 {"message text:" + std::string(126, 'q')}},
        ReadCase{"non_minimal_length_form", ClientFrame(0x81, "ok", true, 127), frgOnlyBuffer, {"message text:ok"}},
        ReadCase{"two_messages", ClientFrame(0x81, "one") + ClientFrame(0x81, "two"), frgOnlyBuffer,
                 {"message text:one", "message text:two"}},
        ReadCase{"fragments_around_a_ping",
                 ClientFrame(0x01, "one ") + ClientFrame(0x89, "png") + ClientFrame(0x00, "two ") + ClientFrame(0x80, "three"),
                 frgOnlyBuffer, {"ping:png", "message text:one two three"}},
        ReadCase{"pong", ClientFrame(0x8A, "p"), frgOnlyBuffer, {"pong:p"}},
        ReadCase{"frgAll", kThreeFragments, frgAll,
                 {"fragment text more:a", "fragment text more:ab", "fragment text:abc", "message text:abc"}},
        ReadCase{"frgAll_single_frame", ClientFrame(0x81, "one"), frgAll, {"fragment text:one", "message text:one"}},
        ReadCase{"frgOnlyFragmented", kThreeFragments + ClientFrame(0x82, "z"), frgOnlyFragmented,
                 {"fragment text more:a", "fragment text more:b", "fragment text:c", "fragment binary:z"}},
        // A character cut between fragments is still one character.
        ReadCase{"utf8_across_fragments", ClientFrame(0x01, "\xE2\x82") + ClientFrame(0x80, "\xAC"), frgOnlyBuffer,
                 {"message text:\xE2\x82\xAC"}},
        ReadCase{"close_with_code", CloseFrame(1000), frgOnlyBuffer, {"close 1000:"}},
        ReadCase{"close_with_reason", CloseFrame(4000, "bye"), frgOnlyBuffer, {"close 4000:bye"}},
        ReadCase{"close_empty", ClientFrame(0x88, ""), frgOnlyBuffer, {"close 0:"}}),
    [](const auto& info) { return info.param.name; });

struct ViolationCase {
  std::string name;
  std::string input;
  std::string violation;
};

class FrameReaderViolations : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(FrameReaderViolations, EndReadingWithTheirTextAndCode) {
  const ViolationCase& c = GetParam();
  for (std::size_t chunk : {0u, 1u}) {
    SCOPED_TRACE(chunk);
    TtvqFrameReader reader({true, frgOnlyBuffer, 1024});
    const std::vector<std::string> events = Read(reader, c.input, chunk);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), c.violation);
    EXPECT_TRUE(reader.Failed());
    EXPECT_EQ(reader.Consume(Bytes(ClientFrame(0x81, "x")), 7), 0u) << "read on after a violation";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reader, FrameReaderViolations,
    ::testing::Values(
        ViolationCase{"continuation_first", ClientFrame(0x80, "x"),
                      "violation 1002:Unfragmented message after continuation frame with FIN"},
        ViolationCase{"text_inside_fragments", ClientFrame(0x01, "a") + ClientFrame(0x89, "") + ClientFrame(0x81, "b"),
                      "violation 1002:OpCode error, received opText after Continuation not finished"},
        ViolationCase{"binary_inside_fragments", ClientFrame(0x02, "a") + ClientFrame(0x82, "b"),
                      "violation 1002:OpCode error, received opBinary after Continuation not finished"},
        ViolationCase{"opcode_3", ClientFrame(0x83, "x"), "violation 1002:Invalid Control OptCode"},
        ViolationCase{"opcode_F", ClientFrame(0x8F, "x"), "violation 1002:Invalid Control OptCode"},
        ViolationCase{"rsv_on_continuation", ClientFrame(0x01, "a") + ClientFrame(0xC0, "b"),
                      "violation 1002:Invalid value of RSV while no Extension Negotiated"},
        ViolationCase{"ping_not_final", ClientFrame(0x09, "x"), "violation 1002:Control Message must not be fragmented"},
        ViolationCase{"unmasked", ClientFrame(0x81, "x", false), "violation 1002:Message is not masked"},
        ViolationCase{"ping_16bit_length", ClientFrame(0x89, "x", true, 126),
                      "violation 1002:Control frames are only allowed to have payload up to and including 125 octets"},
        ViolationCase{"length_top_bit", test::ClientHeader(0x82, (std::uint64_t{1} << 63) + 5),
                      "violation 1002:Invalid payload length"},
        ViolationCase{"too_big", test::ClientHeader(0x82, 1025), "violation 1009:Message too big"},
        ViolationCase{"too_big_across_fragments", ClientFrame(0x01, std::string(600, 'a')) + ClientFrame(0x80, std::string(600, 'b')),
                      "violation 1009:Message too big"},
        ViolationCase{"close_one_byte", ClientFrame(0x88, "x"), "violation 1002:Invalid Payload length for close code"},
        ViolationCase{"close_1005", CloseFrame(1005), "violation 1002:Invalid close code"},
        ViolationCase{"close_0_with_reason", CloseFrame(0, "bye"), "violation 1002:Invalid close code"},
        ViolationCase{"close_reason_not_utf8", CloseFrame(1000, "\xC0\x80"), "violation 1007:Invalid UTF8 message"},
        ViolationCase{"utf8_overlong", ClientFrame(0x81, "\xC0\x80"), "violation 1007:Invalid UTF8 message"},
        ViolationCase{"utf8_surrogate", ClientFrame(0x81, "\xED\xA0\x80"), "violation 1007:Invalid UTF8 message"},
        ViolationCase{"utf8_above_max", ClientFrame(0x81, "\xF4\x90\x80\x80"), "violation 1007:Invalid UTF8 message"},
        ViolationCase{"utf8_cut_off_at_the_end", ClientFrame(0x81, "ok\xE2\x82"), "violation 1007:Invalid UTF8 message"},
        ViolationCase{"utf8_cut_off_at_the_last_fragment", ClientFrame(0x01, "\xE2") + ClientFrame(0x80, "\x82"),
                      "violation 1007:Invalid UTF8 message"}),
    [](const auto& info) { return info.param.name; });

// Invalid text fails as soon as its bad byte is in, not when its message
// ends: the second fragment's bad sequence before the third fragment comes,
// and a bad byte early in a frame before the frame's rest comes.
TEST(FrameReader, InvalidTextFailsAtItsFirstBadByte) {
  const std::string bad = "\xCE\xBA\xE1\xBD\xB9\xCF\x83\xCE\xBC\xCE\xB5\xED\xA0\x80";  // ends in a surrogate
  struct Case {
    std::string name, before;
  };
  for (const Case& c : {Case{"second_fragment", ClientFrame(0x01, "first") + ClientFrame(0x00, bad)},
                        Case{"inside_one_frame", ClientFrame(0x81, bad + std::string(1000, 'x')).substr(0, 2 + 2 + 4 + bad.size())},
                        Case{"frgAll_second_fragment", ClientFrame(0x01, "first") + ClientFrame(0x00, bad)}}) {
    SCOPED_TRACE(c.name);
    const TwsFragmentedMessages mode = c.name.starts_with("frgAll") ? frgAll : frgOnlyBuffer;
    const std::vector<std::string> events = ReadFrames(c.before, 0, mode);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "violation 1007:Invalid UTF8 message");
  }
}

// The reader stops at the end of each event, so that the connection can
// stop reading at any message (a handler may close it).
TEST(FrameReader, ConsumesUpToTheEndOfItsEvent) {
  TtvqFrameReader reader;
  const std::string first = ClientFrame(0x81, "one");
  const std::string input = first + ClientFrame(0x81, "two");
  EXPECT_EQ(reader.Consume(Bytes(input), input.size()), first.size());
  EXPECT_TRUE(reader.Ready());
  EXPECT_EQ(reader.Consume(Bytes(input) + first.size(), input.size() - first.size()), 0u) << "an event is pending";
  reader.Next();
  EXPECT_EQ(reader.Consume(Bytes(input) + first.size(), input.size() - first.size()), input.size() - first.size());
  EXPECT_EQ(Describe(reader.Event()), "message text:two");
}

TEST(FrameReader, UnmaskedFramesAreTakenWhereMasksAreNotRequired) {
  TtvqFrameReader reader({false, frgOnlyBuffer, 1024});
  EXPECT_THAT(Read(reader, ClientFrame(0x81, "plain", false) + ClientFrame(0x81, "", false) + ClientFrame(0x88, "", false)),
              ElementsAre("message text:plain", "message text:", "close 0:"));
}

// ---------------------------------------------------------------- predicates

TEST(CloseCodes, OnlyTheSendableOnesAreValid) {
  for (int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 4999}) EXPECT_TRUE(tvqIsValidCloseCode(code)) << code;
  for (int code : {0, 999, 1004, 1005, 1006, 1012, 1015, 2999, 5000, 65535}) EXPECT_FALSE(tvqIsValidCloseCode(code)) << code;
}

// Each sequence is judged the same whole and split at every point.
TEST(UTF8Validator, JudgesPiecesAsTheWhole) {
  struct Case {
    std::string text;
    bool valid;
  };
  for (const Case& c : {Case{"", true}, Case{"plain ASCII, long enough for the fast path", true},
                        Case{"\xC2\x80\xDF\xBF", true}, Case{"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", true},
                        Case{"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true}, Case{"\xC0\xAF", false}, Case{"\xC1\xBF", false},
                        Case{"\xE0\x9F\xBF", false}, Case{"\xED\xA0\x80", false}, Case{"\xF0\x8F\xBF\xBF", false},
                        Case{"\xF4\x90\x80\x80", false}, Case{"\xF5\x80\x80\x80", false}, Case{"\x80", false},
                        Case{"abc\xE2\x82", false}, Case{"\xF4", false}, Case{"12345678\xFF", false}}) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(tvqIsValidUTF8(Bytes(c.text), c.text.size()), c.valid);
    for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
      TtvqUTF8Validator validator;
      const bool fed = validator.Feed(Bytes(c.text), cut) && validator.Feed(Bytes(c.text) + cut, c.text.size() - cut);
      EXPECT_EQ(fed && validator.Complete(), c.valid) << "cut at " << cut;
    }
  }
}

// ---------------------------------------------------------------- Hixie-76

TEST(Hixie76Reader, FramesClosingAndStrayBytes) {
  struct Case {
    std::string name, input;
    std::vector<std::string> events;
  };
  for (const Case& c : {Case{"text", B("\x00" "abc" "\xFF"), {"message text:abc"}},
                        Case{"two_and_stray_bytes", B("x\x00" "a" "\xFF" "y\x00" "\xFF"), {"message text:a", "message text:"}},
                        Case{"closing", B("\xFF\x00"), {"close 0:"}},
                        Case{"ff_then_other", B("\xFF" "z" "\x00" "b" "\xFF"), {"message text:b"}},
                        Case{"not_utf8", B("\x00\xC0\x80\xFF"), {"violation 1007:Invalid UTF8 message"}},
                        Case{"too_big", B("\x00") + std::string(11, 'a'), {"violation 1009:Message too big"}}}) {
    for (std::size_t chunk : {0u, 1u}) {
      SCOPED_TRACE(c.name + (chunk ? " byte by byte" : " whole"));
      TtvqHixie76Reader reader;
      reader.MaxMessageSize = 10;
      EXPECT_THAT(Read(reader, c.input, chunk), ElementsAreArray(c.events));
    }
  }
}

}  // namespace
