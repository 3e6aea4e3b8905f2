#include "tvqWebSocket_Protocol_tvq_Message.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "tvqWebSocket_Classes.h"

// The heap this test binary holds through operator new, and its peak since
// the last reset: what reading a text costs at its worst.
namespace {
std::atomic<long long> gLiveBytes{0}, gPeakBytes{0};
}  // namespace

void* operator new(std::size_t aSize) {
  void* block = std::malloc(aSize ? aSize : 1);
  if (!block) throw std::bad_alloc();
  const long long live = gLiveBytes += static_cast<long long>(malloc_usable_size(block));
  for (long long peak = gPeakBytes; live > peak && !gPeakBytes.compare_exchange_weak(peak, live);) {
  }
  return block;
}
void operator delete(void* aBlock) noexcept {
  if (!aBlock) return;
  gLiveBytes -= static_cast<long long>(malloc_usable_size(aBlock));
  std::free(aBlock);
}
void operator delete(void* aBlock, std::size_t) noexcept { operator delete(aBlock); }

namespace {

// The fields a test sets before writing; empty ones stay empty.
struct TFields {
  std::string method{}, result{}, Text{}, Channel{}, id{}, QoS{}, Queue{}, params{};
  int errorcode = 0;
  std::string errormessage{}, errordata{};
};

struct TWriteCase {
  const char* name;
  TFields fields;
  const char* expected;
};

std::string WriteOf(const TFields& f) {
  TtvqWSMessage message;
  message.DoEnterWrite(true);
  message.method = f.method;
  message.result = f.result;
  message.Text = f.Text;
  message.Channel = f.Channel;
  message.id = f.id;
  message.QoS = f.QoS;
  message.Queue = f.Queue;
  message.params = f.params;
  message.errorcode = f.errorcode;
  message.errormessage = f.errormessage;
  message.errordata = f.errordata;
  return message.Write();
}

class EnvelopeWrite : public ::testing::TestWithParam<TWriteCase> {};

TEST_P(EnvelopeWrite, ExactText) { EXPECT_EQ(WriteOf(GetParam().fields), GetParam().expected); }

const TWriteCase kWriteCases[] = {
    {"Session",
     {.method = "tvq@session", .result = "tvq@session", .Text = "G", .id = "G", .QoS = "qosLevel0"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@session","message":"G"},"qos":"qosLevel0","id":"G"})"},
    {"SubscribeReply",
     {.method = "tvq@subscribe", .result = "tvq@subscribe", .Channel = "C", .id = "I", .params = R"({"channel":"C"})"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"C"},"id":"I"})"},
    {"SubscribeReplyWithQoS",
     {.method = "tvq@subscribe", .result = "tvq@subscribe", .Channel = "C", .id = "I", .QoS = "qosLevel1"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"C"},"qos":"qosLevel1","id":"I"})"},
    {"UnSubscribeAllReplyHasAnEmptyChannel",
     {.method = "tvq@unsubscribe_all", .result = "x", .Channel = "C"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@unsubscribe_all","channel":""}})"},
    {"BroadcastIsWrittenAsMessage",
     {.method = "tvq@broadcast", .result = "tvq@broadcast", .Text = "M", .Channel = "C"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"C","message":"M"}})"},
    {"Publish",
     {.method = "tvq@event", .result = "tvq@event", .Text = "M", .Channel = "C"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"C","message":"M"}})"},
    {"PublishWithQoSAndQueue",
     {.method = "tvq@publish", .result = "x", .Text = "M", .Channel = "C", .QoS = "qosLevel1", .Queue = "queueLevel2"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@publish","channel":"C","message":"M","qos":"qosLevel1","queue":"queueLevel2"},"qos":"qosLevel1"})"},
    {"MessageThatIsJSONIsEmbeddedRaw",
     {.method = "tvq@event", .result = "tvq@event", .Text = R"({"a":1})", .Channel = "C"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"C","message":{"a":1}}})"},
    {"DirectWrite",
     {.method = "tvq@message", .Text = "M"},
     R"({"jsonrpc":"2.0","method":"tvq@message","params":{"message":"M"}})"},
    {"PubRec",
     {.method = "tvq@pubrec", .result = "tvq@pubrec", .id = "I"},
     R"({"jsonrpc":"2.0","result":{"method":"tvq@pubrec"},"id":"I"})"},
    {"RPCResult",
     {.result = "R", .id = "I", .QoS = "qosLevel0"},
     R"({"jsonrpc":"2.0","result":"R","qos":"qosLevel0","id":"I"})"},
    {"RPCResultThatIsJSON",
     {.result = "[1,2]", .id = "I"},
     R"({"jsonrpc":"2.0","result":[1,2],"id":"I"})"},
    {"RPCError",
     {.id = "I", .QoS = "qosLevel0", .errorcode = -32601,
      .errormessage = "Method not found. The method does not exist / is not available."},
     R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found. The method does not exist / is not available."},"qos":"qosLevel0","id":"I"})"},
    {"ErrorWithData",
     {.id = "I", .errorcode = 7, .errormessage = "m", .errordata = "d"},
     R"({"jsonrpc":"2.0","error":{"code":7,"message":"m","data":"d"},"id":"I"})"},
    {"RequestWithStringParams",
     {.method = "sum", .id = "5", .params = "text"},
     R"({"jsonrpc":"2.0","method":"sum","params":"text","id":"5"})"},
    {"RequestWithObjectParams",
     {.method = "sum", .id = "5", .params = R"({"a":[1,2]})"},
     R"({"jsonrpc":"2.0","method":"sum","params":{"a":[1,2]},"id":"5"})"},
    {"RequestCarriesQoSTwice",
     {.method = "tvq@publish", .Text = "M", .Channel = "C", .QoS = "qosLevel2", .Queue = "queueLevel1"},
     R"({"jsonrpc":"2.0","method":"tvq@publish","params":{"message":"M","channel":"C","qos":"qosLevel2","queue":"queueLevel1"},"qos":"qosLevel2"})"},
    {"RequestWithoutAnyParams",
     {.method = "tvq@session", .id = "1"},
     R"({"jsonrpc":"2.0","method":"tvq@session","id":"1"})"},
};

INSTANTIATE_TEST_SUITE_P(Texts, EnvelopeWrite, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EnvelopeWriteState, StructuredResultAndClearingAfterWrite) {
  TtvqWSMessage message;
  message.DoEnterWrite(true);
  message.JSONResult()->AddPair("sum", 3);
  message.method = "ignored";
  message.id = "9";
  EXPECT_EQ(message.Write(), R"({"jsonrpc":"2.0","result":{"sum":3},"id":"9"})");
  // Writing cleared every field but the version.
  EXPECT_EQ(message.method, "");
  EXPECT_EQ(message.id, "");
  EXPECT_EQ(message.version, "2.0");
  EXPECT_EQ(message.JSONResult()->GetCount(), 0);
}

// ---------------------------------------------------------------- reading

TEST(EnvelopeRead, RequestFieldsByMethod) {
  TtvqWSMessage message;
  message.Read(R"({"jsonrpc":"2.0","method":"tvq@publish","params":{"message":"M","channel":"C","qos":"qosLevel1","queue":"queueLevel2"},"id":7})");
  EXPECT_EQ(message.method, "tvq@publish");
  EXPECT_EQ(message.Text, "M");
  EXPECT_EQ(message.Channel, "C");
  EXPECT_EQ(message.QoS, "qosLevel1");
  EXPECT_EQ(message.Queue, "queueLevel2");
  EXPECT_EQ(message.id, "7");
  EXPECT_EQ(message.params, R"({"message":"M","channel":"C","qos":"qosLevel1","queue":"queueLevel2"})");

  // A subscribe takes only the channel from params; the top-level qos
  // fills QoS.
  message.Read(R"({"jsonrpc":"2.0","method":"tvq@subscribe","params":{"channel":"a,b","message":"x"},"qos":"qosLevel2","id":"s"})");
  EXPECT_EQ(message.Channel, "a,b");
  EXPECT_EQ(message.Text, "");
  EXPECT_EQ(message.QoS, "qosLevel2");

  // Another method takes qos and queue only.
  message.Read(R"({"jsonrpc":"2.0","method":"sum","params":{"channel":"c","qos":"qosLevel1"}})");
  EXPECT_EQ(message.Channel, "");
  EXPECT_EQ(message.QoS, "qosLevel1");
  EXPECT_EQ(message.id, "");
}

TEST(EnvelopeRead, NothingLeaksFromTheTextBefore) {
  TtvqWSMessage message;
  message.Read(R"({"jsonrpc":"2.0","method":"tvq@publish","params":{"message":"M","channel":"C","qos":"qosLevel2"},"id":1})");
  message.Read(R"({"jsonrpc":"2.0","method":"tvq@broadcast","params":{"message":"N"}})");
  EXPECT_EQ(message.Text, "N");
  EXPECT_EQ(message.Channel, "");
  EXPECT_EQ(message.QoS, "");
  EXPECT_EQ(message.id, "");
}

TEST(EnvelopeRead, ResultAndErrorForms) {
  TtvqWSMessage message;
  message.Read(R"({"jsonrpc":"2.0","result":{"method":"tvq@message","message":"M"},"id":"x"})");
  EXPECT_EQ(message.method, "tvq@message");
  EXPECT_EQ(message.Text, "M");
  EXPECT_EQ(message.Channel, "");  // absent channel
  EXPECT_EQ(message.result, R"({"method":"tvq@message","message":"M"})");

  message.Read(R"({"jsonrpc":"2.0","result":"R","id":"x"})");
  EXPECT_EQ(message.result, "R");
  EXPECT_EQ(message.method, "");

  message.Read(R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"m","data":"d"},"id":"x"})");
  EXPECT_EQ(message.errorcode, -32601);
  EXPECT_EQ(message.errormessage, "m");
  EXPECT_EQ(message.errordata, "d");
  EXPECT_EQ(message.method, "");
}

TEST(EnvelopeRead, StringParamsRoundTrip) {
  TtvqWSMessage message;
  message.Read(R"({"jsonrpc":"2.0","method":"echo","params":"hello","id":"1"})");
  EXPECT_EQ(message.params, "hello");
  message.result.clear();
  EXPECT_EQ(message.Write(), R"({"jsonrpc":"2.0","method":"echo","params":"hello","id":"1"})");
}

TEST(EnvelopeRead, VersionIsCheckedAsAValue) {
  struct TCase {
    std::string text;
    bool accepted;
  } cases[] = {
      {R"({"jsonrpc":"2.0","method":"a"})", true},
      {R"({"jsonrpc":2.0,"method":"a"})", true},
      {R"({"jsonrpc":"1.0","method":"a"})", false},
      {R"({"method":"a"})", false},
      {"not json at all", false},
      {"", false},
      // Raw control characters inside strings are not JSON; escaped, and
      // as blanks between the members, they are.
      {"{\"jsonrpc\":\"2.0\",\"method\":\"a\",\"params\":{\"message\":\"line\nforged\"}}", false},
      {"{\"jsonrpc\":\"2.0\",\"method\":\"a\",\"params\":{\"message\":\"tab\there\"}}", false},
      {std::string("{\"jsonrpc\":\"2.0\",\"method\":\"a\",\"params\":{\"channel\":\"nul\0\"}}", 58), false},
      {"{\"jsonrpc\":\"2.0\",\"method\":\"a\",\"params\":{\"message\":{\"deep\":[\"\x1b[2J\"]}}}", false},
      {"{\"jsonrpc\":\"2.0\",\"method\":\"a\",\"params\":{\"na\rme\":1}}", false},
      {"{\"jsonrpc\":\"2.0\",\"result\":{\"method\":\"a\",\"dataset\":{\"NAME\":\"\x1f\"}}}", false},
      {R"({"jsonrpc":"2.0","method":"a","params":{"message":"line\nescaped \u0001 \t"}})", true},
      {"{\n\t\"jsonrpc\" : \"2.0\",\r\n \"method\":\"a\"\n}", true},
  };
  for (const TCase& c : cases) {
    TtvqWSMessage message;
    if (c.accepted) {
      EXPECT_NO_THROW(message.Read(c.text)) << c.text;
      EXPECT_EQ(message.method, "a");
    } else {
      try {
        message.Read(c.text);
        ADD_FAILURE() << "accepted: " << c.text;
      } catch (const TtvqWSException& e) {
        EXPECT_STREQ(e.what(), "Error decoding message.");
      }
      // The envelope is idle again: the next text reads normally.
      message.Read(R"({"jsonrpc":"2.0","method":"b","id":"3"})");
      EXPECT_EQ(message.method, "b");
      EXPECT_EQ(message.id, "3");
      EXPECT_FALSE(message.IsReading);
    }
  }
}

TEST(QoSNames, WireNames) {
  EXPECT_EQ(tvqQoSName(qosLevel0), "qosLevel0");
  EXPECT_EQ(tvqQoSName(qosLevel2), "qosLevel2");
  EXPECT_EQ(tvqQueueName(queueLevel1), "queueLevel1");
}

// The peak heap of aWork above what was held before it.
long long PeakOf(const std::function<void()>& aWork) {
  const long long before = gLiveBytes;
  gPeakBytes = before;
  aWork();
  return gPeakBytes - before;
}

// A text is read into one tree at a time: the params members are taken from
// the tree of the whole text, not from a second reading of their text (a
// 15 MiB text of a params array held two trees, 2.2 GB, at once).
TEST(EnvelopeRead, ALargeParamsArrayIsReadIntoOneTree) {
  std::string list = "[";
  while (list.size() < (1u << 20)) list += "1,";
  list.back() = ']';
  for (const std::string& params : {R"({"qos":"qosLevel1","a":)" + list + "}", list}) {
    const std::string text = R"({"jsonrpc":"2.0","method":"app@call","params":)" + params + R"(,"id":"r1"})";
    const long long tree = PeakOf([&] { CreateJSONDocument()->Read(text); });
    TtvqWSMessage message;
    const long long read = PeakOf([&] { message.Read(text); });
    EXPECT_EQ(message.id, "r1");
    EXPECT_EQ(message.QoS, params == list ? "" : "qosLevel1");
    EXPECT_EQ(message.params.size(), params.size());
    // The tree and a few copies of the text, never a second tree.
    EXPECT_LT(read, tree + 8 * static_cast<long long>(text.size())) << "tree " << tree << ", read " << read;
  }
}

}  // namespace
