#include "tvqWebSocket_Protocol_tvq_Server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <thread>

#include "../support/JsonRpcTexts.h"
#include "../support/MainThread.h"
#include "../support/WebSocketClient.h"
#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Server.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using std::chrono::milliseconds;
using test::kNoText;
using test::kQuiet;
using test::Request;
using test::WaitUntil;
using test::WebSocketClient;

std::string Ack(const std::string& aId) {
  return R"({"jsonrpc":"2.0","result":{"method":"tvq@acknowledgment"},"id":")" + aId + R"("})";
}

// A server on an ephemeral loopback port with the base sub-protocol
// attached, its main thread running an event loop, and every event of the
// component written down in order.
class TvqServer : public ::testing::Test {
 protected:
  TvqServer() {
    TNetSocketHandle& binding = test::ListenOnLoopback(server, main);
    server.RegisterProtocol(&tvq);
    tvq.OnConnect = [this](TtvqWSConnection* c) { Note("connect " + c->Guid()); };
    tvq.OnDisconnect = [this](TtvqWSConnection*, int) { Note("disconnect"); };
    tvq.OnMessage = [this](TtvqWSConnection*, const std::string& t) { Note("message " + t); };
    tvq.OnSubscription = [this](TtvqWSConnection*, const std::string& c) { Note("subscription " + c); };
    tvq.OnUnSubscription = [this](TtvqWSConnection*, const std::string& c) { Note("unsubscription " + c); };
    tvq.OnNotification = [this](TtvqWSConnection*, const std::string& m, const std::string& p) {
      Note("notification " + m + " " + p);
    };
    tvq.OnRPC = [this](TtvqWSConnection*, const std::string& id, const std::string& m, const std::string& p) {
      Note("rpc " + id + " " + m + " " + p);
    };
    server.SetActive(true);
    port = binding.Port;
  }
  ~TvqServer() override {
    main.Run([this] { server.SetActive(false); });
  }

  void Note(const std::string& aEvent) { main.Note(aEvent); }
  std::vector<std::string> Events() { return main.Events(); }
  bool Saw(const std::string& aEvent, long aTimes = 1) { return main.Saw(aEvent, aTimes); }

  // A connected client, its session message read; its Guid in aGuid.
  WebSocketClient Connect(std::string& aGuid) {
    WebSocketClient client(port, "tvq.tickerhall");
    const std::string session = client.NextText();
    std::smatch match;
    const std::regex form(R"re(\{"jsonrpc":"2.0","result":\{"method":"tvq@session","message":"([0-9A-F]{32})"\},"qos":"qosLevel0","id":"([0-9A-F]{32})"\})re");
    EXPECT_TRUE(std::regex_match(session, match, form)) << session;
    if (match.size() == 3) {
      EXPECT_EQ(match[1], match[2]);
      aGuid = match[1];
    }
    EXPECT_TRUE(Saw("connect " + aGuid));
    return client;
  }

  test::MainThread main;
  TtvqWebSocketServer server;
  TtvqWSProtocol_tvq_Server tvq;
  int port = 0;
};

TEST_F(TvqServer, SessionComesFirstWithTheConnectionsGuid) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  EXPECT_THAT(client.Response, HasSubstr("Sec-WebSocket-Protocol: tvq.tickerhall\r\n"));
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
}

TEST_F(TvqServer, SubscribeIsAcknowledgedThenRepliedThenRetainedEventsFollow) {
  tvq.Publish("m1", "C", queueLevel2);
  tvq.Publish("m2", "C", queueLevel2);
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@subscribe", R"({"channel":"C"})", "I"));
  EXPECT_EQ(client.NextText(), Ack("I"));
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"C"},"id":"I"})");
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"C","message":"m1"}})");
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"C","message":"m2"}})");
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
  EXPECT_TRUE(Saw("subscription C"));
}

TEST_F(TvqServer, EveryReplyOfASeveralChannelSubscribeCarriesTheId) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@subscribe", R"({"channel":"a,b"})", "7", "qosLevel0"));
  EXPECT_EQ(client.NextText(), Ack("7"));
  EXPECT_EQ(client.NextText(),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"a"},"qos":"qosLevel0","id":"7"})");
  EXPECT_EQ(client.NextText(),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":"b"},"qos":"qosLevel0","id":"7"})");
  client.SendText(Request("tvq@unsubscribe", R"({"channel":"a,b"})", "8"));
  EXPECT_EQ(client.NextText(), Ack("8"));
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@unsubscribe","channel":"a"},"id":"8"})");
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@unsubscribe","channel":"b"},"id":"8"})");
  EXPECT_TRUE(Saw("unsubscription b"));
}

TEST_F(TvqServer, RejectedSubscriptionGetsOnlyTheAcknowledgment) {
  tvq.OnBeforeSubscription = [](TtvqWSConnection*, const std::string& aChannel, bool& aAccept) {
    aAccept = aChannel != "secret";
  };
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@subscribe", R"({"channel":"secret"})", "1"));
  EXPECT_EQ(client.NextText(), Ack("1"));
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
  tvq.Broadcast("M", "secret");
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
}

TEST_F(TvqServer, SubscribingTwiceKeepsOneEntry) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  for (const char* id : {"1", "2"}) {
    client.SendText(Request("tvq@subscribe", R"({"channel":"C"})", id));
    EXPECT_EQ(client.NextText(), Ack(id));
    EXPECT_THAT(client.NextText(), HasSubstr(R"("channel":"C")"));
  }
  EXPECT_TRUE(WaitUntil([&] { return tvq.ChannelIndex().Count() == 1; }));
  TtvqWSConnection* connection = server.GetConnectionByGuid(guid);
  ASSERT_NE(connection, nullptr);
  EXPECT_THAT(connection->Subscriptions(), ElementsAre("_C"));
}

TEST_F(TvqServer, PublishRetainsByQueueLevel) {
  std::string publisherGuid, guid;
  WebSocketClient publisher = Connect(publisherGuid);
  int n = 0;
  for (const auto& [channel, queue, message] :
       std::vector<std::tuple<std::string, std::string, std::string>>{{"q1", "queueLevel1", "a"},
                                                                      {"q1", "queueLevel1", "b"},
                                                                      {"q2", "queueLevel2", "c"},
                                                                      {"q2", "queueLevel2", "d"},
                                                                      {"q0", "", "e"}}) {
    const std::string id = "p" + std::to_string(++n);
    std::string params = R"({"message":")" + message + R"(","channel":")" + channel + "\"";
    if (!queue.empty()) params += R"(,"queue":")" + queue + "\"";
    publisher.SendText(Request("tvq@publish", params + "}", id));
    EXPECT_EQ(publisher.NextText(), Ack(id));
  }
  WebSocketClient late = Connect(guid);
  const auto event = [](const std::string& aChannel, const std::string& aMessage) {
    return R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":")" + aChannel + R"(","message":")" +
           aMessage + R"("}})";
  };
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"q1", {"b"}}, {"q2", {"c", "d"}}, {"q0", {}}};
  for (const auto& [channel, messages] : expected) {
    late.SendText(Request("tvq@subscribe", R"({"channel":")" + channel + R"("})"));
    EXPECT_THAT(late.NextText(), HasSubstr(R"("method":"tvq@subscribe","channel":")" + channel));
    for (const std::string& message : messages) EXPECT_EQ(late.NextText(), event(channel, message)) << channel;
  }
  EXPECT_EQ(late.NextText(kQuiet), kNoText);
  // The subscribed late client now receives a publish as an event.
  publisher.SendText(Request("tvq@publish", R"({"message":"live","channel":"q0"})"));
  EXPECT_EQ(late.NextText(), event("q0", "live"));
}

TEST_F(TvqServer, QoSLevel2IsHeldUntilReleased) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@broadcast", R"({"message":"M"})", "q1", "qosLevel2"));
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@pubrec"},"id":"q1"})");
  EXPECT_EQ(client.NextText(kQuiet), kNoText);  // held: neither acknowledged nor broadcast

  client.SendText(Request("tvq@pubrel", "", "q1", "qosLevel2"));
  EXPECT_EQ(client.NextText(), Ack("q1"));
  EXPECT_EQ(client.NextText(),
            R"({"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"","message":"M"},"qos":"qosLevel2","id":"q1"})");

  // Released once: a second release, like one for an unknown id, is only
  // acknowledged.
  for (const char* id : {"q1", "unknown"}) {
    client.SendText(Request("tvq@pubrel", "", id, "qosLevel2"));
    EXPECT_EQ(client.NextText(), Ack(id));
    EXPECT_EQ(client.NextText(kQuiet), kNoText);
  }
}

TEST_F(TvqServer, QoSLevel2HoldsPerConnection) {
  std::string guidA, guidB;
  WebSocketClient a = Connect(guidA);
  WebSocketClient b = Connect(guidB);
  a.SendText(Request("tvq@message", R"({"message":"from a"})", "same", "qosLevel2"));
  EXPECT_THAT(a.NextText(), HasSubstr("tvq@pubrec"));
  b.SendText(Request("tvq@message", R"({"message":"from b"})", "same", "qosLevel2"));
  EXPECT_THAT(b.NextText(), HasSubstr("tvq@pubrec"));
  a.SendText(Request("tvq@pubrel", "", "same", "qosLevel2"));
  EXPECT_EQ(a.NextText(), Ack("same"));
  EXPECT_TRUE(Saw("message from a"));
  b.SendText(Request("tvq@pubrel", "", "same", "qosLevel2"));
  EXPECT_EQ(b.NextText(), Ack("same"));
  EXPECT_TRUE(Saw("message from b"));
}

TEST_F(TvqServer, RPCIsAcknowledgedAndAnsweredOnce) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("sum", R"({"a":1,"b":2})", "r1"));
  EXPECT_EQ(client.NextText(), Ack("r1"));
  EXPECT_TRUE(Saw(R"(rpc r1 sum {"a":1,"b":2})"));
  EXPECT_EQ(client.NextText(kQuiet), kNoText);

  tvq.RPCResult("r1", "3");
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","result":"3","qos":"qosLevel0","id":"r1"})");
  tvq.RPCResult("r1", "3");
  tvq.RPCError("r1", 1, "late");
  EXPECT_EQ(client.NextText(kQuiet), kNoText);

  client.SendText(Request("fail", "", "r2"));
  EXPECT_EQ(client.NextText(), Ack("r2"));
  EXPECT_TRUE(Saw("rpc r2 fail "));
  tvq.RPCError("r2", 42, "no", "why");
  EXPECT_EQ(client.NextText(),
            R"({"jsonrpc":"2.0","error":{"code":42,"message":"no","data":"why"},"qos":"qosLevel0","id":"r2"})");
}

TEST_F(TvqServer, MethodNotPermittedIsAnsweredWithAnError) {
  tvq.RPCAuthentication.Enabled = true;
  tvq.RPCAuthentication.Methods = {"allowed"};
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("forbidden", "", "x"));
  EXPECT_EQ(client.NextText(), Ack("x"));
  EXPECT_EQ(client.NextText(),
            R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found. The method does not exist / is not available."},"qos":"qosLevel0","id":"x"})");
  client.SendText(Request("allowed", "", "y"));
  EXPECT_EQ(client.NextText(), Ack("y"));
  EXPECT_TRUE(Saw("rpc y allowed "));
}

TEST_F(TvqServer, PendingRPCOfAClosedConnectionIsDropped) {
  std::string guidA, guidB;
  {
    WebSocketClient a = Connect(guidA);
    a.SendText(Request("slow", "", "r9"));
    EXPECT_EQ(a.NextText(), Ack("r9"));
  }
  ASSERT_TRUE(Saw("disconnect"));
  tvq.RPCResult("r9", "nobody");  // the asker is gone: nothing is sent

  // The same id from a new client is its own RPC and gets the answer.
  WebSocketClient b = Connect(guidB);
  b.SendText(Request("slow", "", "r9"));
  EXPECT_EQ(b.NextText(), Ack("r9"));
  ASSERT_TRUE(Saw("rpc r9 slow ", 2));  // registered (after its acknowledgment)
  tvq.RPCResult("r9", "yours");
  EXPECT_EQ(b.NextText(), R"({"jsonrpc":"2.0","result":"yours","qos":"qosLevel0","id":"r9"})");
}

TEST_F(TvqServer, NotificationIsNotAcknowledged) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("note", R"({"x":[1,2]})"));
  EXPECT_TRUE(Saw(R"(notification note {"x":[1,2]})"));
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
}

TEST_F(TvqServer, TransactionCommitProcessesHeldMessagesInOrderAndRollbackDropsThem) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  const auto send = [&](const std::string& aMethod, const std::string& aParams, const std::string& aId) {
    client.SendText(Request(aMethod, aParams, aId));
    EXPECT_EQ(client.NextText(), Ack(aId));  // acknowledged at once, also while held
  };
  send("tvq@transaction", R"({"channel":"T"})", "t1");
  send("tvq@message", R"({"message":"one","channel":"T"})", "m1");
  send("tvq@message", R"({"message":"two","channel":"T"})", "m2");
  send("tvq@message", R"({"message":"outside","channel":"U"})", "m3");
  ASSERT_TRUE(Saw("message outside"));
  {
    const auto e = Events();
    EXPECT_EQ(std::count(e.begin(), e.end(), "message one"), 0);
  }
  send("tvq@commit", R"({"channel":"T"})", "c1");
  ASSERT_TRUE(Saw("rpc c1 tvq@commit {\"channel\":\"T\"}"));
  {
    const auto e = Events();
    const auto one = std::find(e.begin(), e.end(), "message one");
    const auto two = std::find(e.begin(), e.end(), "message two");
    ASSERT_NE(one, e.end());
    ASSERT_NE(two, e.end());
    EXPECT_LT(one, two);
  }

  send("tvq@transaction", R"({"channel":"T"})", "t2");
  send("tvq@message", R"({"message":"three","channel":"T"})", "m4");
  send("tvq@rollback", R"({"channel":"T"})", "r1");
  ASSERT_TRUE(Saw("rpc r1 tvq@rollback {\"channel\":\"T\"}"));
  send("tvq@message", R"({"message":"four","channel":"T"})", "m5");
  ASSERT_TRUE(Saw("message four"));
  const auto e = Events();
  EXPECT_EQ(std::count(e.begin(), e.end(), "message three"), 0);
}

TEST_F(TvqServer, ProtocolIsAnsweredWithTheBareName) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@protocol", "", "p"));
  EXPECT_EQ(client.NextText(), Ack("p"));
  EXPECT_EQ(client.NextText(), "tvq.tickerhall");
}

TEST_F(TvqServer, DisconnectUnsubscribesEachChannelBeforeTheDisconnectEvent) {
  std::string guid;
  {
    WebSocketClient client = Connect(guid);
    client.SendText(Request("tvq@subscribe", R"({"channel":"a,b"})", "s"));
    EXPECT_EQ(client.NextText(), Ack("s"));
    EXPECT_THAT(client.NextText(), HasSubstr(R"("channel":"a")"));
    EXPECT_THAT(client.NextText(), HasSubstr(R"("channel":"b")"));
    ASSERT_TRUE(Saw("subscription b"));
  }
  ASSERT_TRUE(Saw("disconnect"));
  std::vector<std::string> tail;
  for (const std::string& e : Events())
    if (e.rfind("unsubscription", 0) == 0 || e == "disconnect") tail.push_back(e);
  ASSERT_EQ(tail.size(), 3u);
  EXPECT_THAT(std::vector(tail.begin(), tail.begin() + 2),
              ::testing::UnorderedElementsAre("unsubscription a", "unsubscription b"));
  EXPECT_EQ(tail.back(), "disconnect");
  EXPECT_EQ(tvq.ChannelIndex().Count(), 0u);
}

TEST_F(TvqServer, BroadcastHonoursExcludeAndInclude) {
  std::string guidA, guidB;
  WebSocketClient a = Connect(guidA);
  WebSocketClient b = Connect(guidB);
  for (WebSocketClient* client : {&a, &b}) {
    client->SendText(Request("tvq@subscribe", R"({"channel":"C"})"));
    EXPECT_THAT(client->NextText(), HasSubstr("tvq@subscribe"));
  }
  const std::string text = R"({"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"C","message":"M"}})";
  tvq.Broadcast("M", "C", guidA);
  EXPECT_EQ(b.NextText(), text);
  EXPECT_EQ(a.NextText(kQuiet), kNoText);
  tvq.Broadcast("M", "C", "", guidA);
  EXPECT_EQ(a.NextText(), text);
  EXPECT_EQ(b.NextText(kQuiet), kNoText);
  // A channel nobody subscribed reaches nobody; the empty channel everyone.
  tvq.Broadcast("M", "other");
  tvq.Broadcast("all");
  EXPECT_THAT(a.NextText(), HasSubstr(R"("channel":"","message":"all")"));
  EXPECT_THAT(b.NextText(), HasSubstr(R"("channel":"","message":"all")"));
}

TEST_F(TvqServer, BroadcastToAChannelListReachesTheSubscribersOfEach) {
  std::string guidA, guidB;
  WebSocketClient a = Connect(guidA);
  WebSocketClient b = Connect(guidB);
  a.SendText(Request("tvq@subscribe", R"({"channel":"x"})"));
  b.SendText(Request("tvq@subscribe", R"({"channel":"y"})"));
  EXPECT_THAT(a.NextText(), HasSubstr("tvq@subscribe"));
  EXPECT_THAT(b.NextText(), HasSubstr("tvq@subscribe"));
  tvq.Broadcast("M", "x,y");
  const std::string text = R"({"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"x,y","message":"M"}})";
  EXPECT_EQ(a.NextText(), text);
  EXPECT_EQ(b.NextText(), text);
}

TEST_F(TvqServer, HeldMessagesAreRaisedAsMessagesNotReadAgain) {
  main.Run([this] { tvq.SetQueueMessages(true); });
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@message", R"({"message":"held"})"));
  client.SendText(Request("tvq@session", "", "s"));
  EXPECT_EQ(client.NextText(), Ack("s"));  // the message before it has been taken
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@session"));
  main.Run([this] { tvq.SetQueueMessages(false); });
  EXPECT_TRUE(Saw("message held"));
  const auto e = Events();
  EXPECT_EQ(std::count_if(e.begin(), e.end(), [](const std::string& s) { return s.rfind("exception", 0) == 0; }), 0);
}

TEST_F(TvqServer, ClientBroadcastReachesSubscribersIncludingTheSender) {
  std::string guidA, guidB;
  WebSocketClient a = Connect(guidA);
  WebSocketClient b = Connect(guidB);
  a.SendText(Request("tvq@subscribe", R"({"channel":"C"})"));
  EXPECT_THAT(a.NextText(), HasSubstr("tvq@subscribe"));
  b.SendText(Request("tvq@broadcast", R"({"message":"hi","channel":"C"})"));
  EXPECT_EQ(a.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@message","channel":"C","message":"hi"}})");
  EXPECT_EQ(b.NextText(kQuiet), kNoText);  // b is not subscribed to C
}

TEST_F(TvqServer, WriteDataSendsARequestFormMessage) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  EXPECT_TRUE(tvq.WriteData(guid, "direct"));
  EXPECT_EQ(client.NextText(), R"({"jsonrpc":"2.0","method":"tvq@message","params":{"message":"direct"}})");
  EXPECT_FALSE(tvq.WriteData("no such guid", "x"));
}

TEST_F(TvqServer, TextThatIsNotJSONRPCIsReportedAndTheNextOneIsServed) {
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText("hello");
  EXPECT_TRUE(Saw("exception Error decoding message."));
  client.SendText(Request("tvq@message", R"({"message":"after"})"));
  EXPECT_TRUE(Saw("message after"));
}

TEST_F(TvqServer, RawMessageHandlerTakesTheText) {
  tvq.OnRawMessage = [](TtvqWSConnection*, const std::string& aText, bool& aHandled) { aHandled = aText == "raw"; };
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText("raw");  // handled: not decoded, so no error
  client.SendText(Request("tvq@message", R"({"message":"decoded"})"));
  ASSERT_TRUE(Saw("message decoded"));
  const auto e = Events();
  EXPECT_EQ(std::count_if(e.begin(), e.end(), [](const std::string& s) { return s.rfind("exception", 0) == 0; }), 0);
}

// The connect sequence and a subscription's retained publications, each
// far larger than the slow-consumer cap, reach a client that reads: they
// are paced by its socket, not cut off by the cap.
TEST_F(TvqServer, AConnectSequenceLargerThanTheCapReachesAReadingClient) {
  server.Options.MaxBacklog = 64 * 1024;
  const std::string big(100 * 1024, 'r');
  for (int i = 0; i < 10; ++i) {
    tvq.Publish(big + std::to_string(i), "", queueLevel2);
    tvq.Publish(big + std::to_string(i), "C", queueLevel2);
  }
  std::string guid;
  WebSocketClient client = Connect(guid);
  for (int i = 0; i < 10; ++i) ASSERT_THAT(client.NextText(), HasSubstr(big + std::to_string(i) + "\"")) << i;
  client.SendText(Request("tvq@subscribe", R"({"channel":"C"})", "I"));
  EXPECT_EQ(client.NextText(), Ack("I"));
  EXPECT_THAT(client.NextText(), HasSubstr("tvq@subscribe"));
  for (int i = 0; i < 10; ++i) ASSERT_THAT(client.NextText(), HasSubstr(big + std::to_string(i) + "\"")) << i;
  EXPECT_EQ(client.NextText(kQuiet), kNoText);
  EXPECT_FALSE(Saw("disconnect"));
}

// ---------------------------------------------------------------- limits

std::string LimitError(const std::string& aWhat, const std::string& aId) {
  return R"({"jsonrpc":"2.0","error":{"code":-32002,"message":"Limit reached: )" + aWhat + R"("},"id":")" + aId +
         R"("})";
}

// One client's requests against one limit: each step sends a text and
// expects exactly these answers, then nothing more; after the refusal, what
// the server holds shows that nothing of the refused request was applied.
struct LimitCase {
  const char* name;
  std::function<void(TtvqWSProtocol_tvq_Server&)> set;
  std::vector<std::pair<std::string, std::vector<std::string>>> steps;
  std::function<void(TtvqWSProtocol_tvq_Server&)> check;
};

class TvqServerLimit : public TvqServer, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(TvqServerLimit, RefusesTheRequestThatWouldPassItAndAppliesNothingOfIt) {
  const LimitCase& c = GetParam();
  std::vector<std::string> limited;
  main.Run([&] {
    c.set(tvq);
    tvq.OnLimitReached = [this](TtvqWSConnection*, const std::string& aWhat) { Note("limit " + aWhat); };
  });
  std::string guid;
  WebSocketClient client = Connect(guid);
  for (const auto& [text, answers] : c.steps) {
    client.SendText(text);
    for (const std::string& answer : answers) EXPECT_EQ(client.NextText(), answer) << text;
    EXPECT_EQ(client.NextText(kQuiet), kNoText) << text;
  }
  main.Run([&] { c.check(tvq); });
  // Told once per client, however often it meets the limit.
  const auto events = Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("limit ", 0) == 0; }),
            1);
}

const auto kSubscribed = [](const std::string& aChannel, const std::string& aId) {
  return R"({"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":")" + aChannel + R"("},"id":")" + aId +
         R"("})";
};

INSTANTIATE_TEST_SUITE_P(
    EachLimit, TvqServerLimit,
    ::testing::Values(
        LimitCase{"NamesPerRequest", [](auto& t) { t.MaxNamesPerRequest = 2; },
                  {{Request("tvq@subscribe", R"({"channel":"a,b,c"})", "s1"),
                    {Ack("s1"), LimitError("2 names per request", "s1")}},
                   {Request("tvq@unsubscribe", R"({"channel":"a,b,c"})", "s2"),
                    {Ack("s2"), LimitError("2 names per request", "s2")}}},
                  [](auto& t) { EXPECT_EQ(t.ChannelIndex().NameCount(), 0u); }},
        LimitCase{"ChannelsPerConnection", [](auto& t) { t.MaxChannelsPerConnection = 2; },
                  {{Request("tvq@subscribe", R"({"channel":"a,b"})", "s1"),
                    {Ack("s1"), kSubscribed("a", "s1"), kSubscribed("b", "s1")}},
                   // Names it has already cost nothing more.
                   {Request("tvq@subscribe", R"({"channel":"a"})", "s2"), {Ack("s2"), kSubscribed("a", "s2")}},
                   {Request("tvq@subscribe", R"({"channel":"b,c"})", "s3"),
                    {Ack("s3"), LimitError("2 channels per connection", "s3")}},
                   {Request("tvq@subscribe", R"({"channel":"d"})", "s4"),
                    {Ack("s4"), LimitError("2 channels per connection", "s4")}}},
                  [](auto& t) { EXPECT_EQ(t.ChannelIndex().GetQueuesDelimitedText(), "b,a"); }},
        LimitCase{"ChannelsInTheServer",
                  [](auto& t) {
                    t.MaxChannels = 3;
                    t.Publish("kept", "r", queueLevel1);  // a retained channel counts as a name
                  },
                  {{Request("tvq@subscribe", R"({"channel":"a,b"})", "s1"),
                    {Ack("s1"), kSubscribed("a", "s1"), kSubscribed("b", "s1")}},
                   {Request("tvq@subscribe", R"({"channel":"c"})", "s2"), {Ack("s2"), LimitError("3 channels", "s2")}}},
                  [](auto& t) { EXPECT_EQ(t.ChannelIndex().NameCount(), 2u); }},
        LimitCase{"RetainedBytes",
                  [](auto& t) { t.MaxRetainedBytes = 200; },
                  {{Request("tvq@publish", R"({"message":")" + std::string(60, 'x') + R"(","channel":"r","queue":"queueLevel2"})", "p1"),
                    {Ack("p1")}},
                   {Request("tvq@publish", R"({"message":")" + std::string(60, 'y') + R"(","channel":"r","queue":"queueLevel2"})", "p2"),
                    {Ack("p2"), LimitError("200 retained bytes", "p2")}},
                   // Replacing the channel's text frees what it held.
                   {Request("tvq@publish", R"({"message":")" + std::string(60, 'z') + R"(","channel":"r","queue":"queueLevel1"})", "p3"),
                    {Ack("p3")}}},
                  [](auto& t) {
                    // The server's order: its list first, then the channel.
                    TtvqWSQueuedMessage& retained = t.GetQueuedMessages("r");
                    std::lock_guard guard(retained.Lock);
                    ASSERT_EQ(retained.Queue.size(), 1u);
                    EXPECT_THAT(retained.Queue[0], HasSubstr("zzz"));
                  }},
        LimitCase{"PendingCalls", [](auto& t) { t.MaxPendingCalls = 1; },
                  {{Request("app@work", "", "r1"), {Ack("r1")}},
                   {Request("app@work", "", "r2"), {Ack("r2"), LimitError("1 pending calls", "r2")}}},
                  [](auto& t) {
                    t.RPCResult("r2", "late");  // never became pending: sends nothing
                  }},
        LimitCase{"HeldQoSLevel2", [](auto& t) { t.MaxHeldQoS = 1; },
                  {{Request("tvq@message", R"({"message":"one"})", "h1", "qosLevel2"),
                    {R"({"jsonrpc":"2.0","result":{"method":"tvq@pubrec"},"id":"h1"})"}},
                   {Request("tvq@message", R"({"message":"two"})", "h2", "qosLevel2"),
                    {LimitError("1 held messages", "h2")}},
                   {Request("tvq@pubrel", "", "h2", "qosLevel2"), {Ack("h2")}}},
                  [](auto&) {}},
        LimitCase{"Transactions", [](auto& t) { t.MaxTransactions = 1; },
                  {{Request("tvq@transaction", R"({"channel":"T"})", "t1"), {Ack("t1")}},
                   {Request("tvq@transaction", R"({"channel":"T"})", "t2"), {Ack("t2")}},  // the same one again
                   {Request("tvq@transaction", R"({"channel":"U"})", "t3"),
                    {Ack("t3"), LimitError("1 transactions", "t3")}}},
                  [](auto& t) { EXPECT_FALSE(t.IsTransactionActive("x")); }},
        LimitCase{"TransactionSize", [](auto& t) { t.MaxTransactionSize = 150; },
                  {{Request("tvq@transaction", R"({"channel":"T"})", "t1"), {Ack("t1")}},
                   {Request("tvq@message", R"({"message":"one","channel":"T"})", "m1"), {Ack("m1")}},
                   {Request("tvq@message", R"({"message":"two","channel":"T"})", "m2"),
                    {Ack("m2"), LimitError("150 bytes in a transaction", "m2")}}},
                  [](auto&) {}}),
    [](const ::testing::TestParamInfo<LimitCase>& aInfo) { return std::string(aInfo.param.name); });

// What a channel keeps of its retained texts: the newest MaxRetainedPerChannel
// ones (the oldest goes when one more comes), none older than
// RetainedExpiry seconds (0: kept until cleared). Expiry is checked on the
// clock: the test makes the oldest texts two hours old rather than wait.
struct RetainCase {
  const char* name;
  int perChannel;
  int expiry;
  int aged;  // how many of the oldest texts are made two hours old
  std::vector<std::string> delivered;
};

class TvqServerRetained : public TvqServer, public ::testing::WithParamInterface<RetainCase> {};

TEST_P(TvqServerRetained, ANewSubscriberGetsWhatIsKept) {
  const RetainCase& c = GetParam();
  main.Run([&] {
    tvq.MaxRetainedPerChannel = c.perChannel;
    tvq.RetainedExpiry = c.expiry;
  });
  std::string guid;
  WebSocketClient publisher = Connect(guid);
  for (const char* text : {"one", "two", "three"}) {
    publisher.SendText(Request("tvq@publish", R"({"message":")" + std::string(text) + R"(","channel":"r","queue":"queueLevel2"})", text));
    EXPECT_EQ(publisher.NextText(), Ack(text));
  }
  main.Run([&] {
    TtvqWSQueuedMessage& retained = tvq.GetQueuedMessages("r");
    std::lock_guard guard(retained.Lock);
    for (int i = 0; i < c.aged && i < static_cast<int>(retained.Dates.size()); ++i)
      retained.Dates[static_cast<std::size_t>(i)] -= std::chrono::hours(2);
  });
  WebSocketClient late = Connect(guid);
  late.SendText(Request("tvq@subscribe", R"({"channel":"r"})"));
  EXPECT_THAT(late.NextText(), HasSubstr(R"("method":"tvq@subscribe")"));
  for (const std::string& text : c.delivered)
    EXPECT_EQ(late.NextText(), R"({"jsonrpc":"2.0","result":{"method":"tvq@event","channel":"r","message":")" + text +
                                   R"("}})");
  EXPECT_EQ(late.NextText(kQuiet), kNoText);
  std::size_t bytes = 0;
  main.Run([&] { bytes = tvq.RetainedBytes(); });
  EXPECT_EQ(bytes == 0, c.delivered.empty()) << bytes;
}

INSTANTIATE_TEST_SUITE_P(
    EachRetention, TvqServerRetained,
    ::testing::Values(RetainCase{"NewestPerChannel", 2, 3600, 0, {"two", "three"}},
                      RetainCase{"NoLimitPerChannel", 0, 3600, 0, {"one", "two", "three"}},
                      RetainCase{"ExpiredGoFirst", 16, 3600, 2, {"three"}},
                      RetainCase{"AllExpired", 16, 3600, 3, {}},
                      RetainCase{"NoExpiry", 16, 0, 3, {"one", "two", "three"}}),
    [](const ::testing::TestParamInfo<RetainCase>& aInfo) { return std::string(aInfo.param.name); });

// How much slower than a plain build this one runs (the sanitizers'
// instrumentation), for the few bounds on time that tell linear work from
// quadratic.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 20;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 4;
#else
constexpr int kSlowdown = 1;
#endif

// One request naming 40,000 channels: with no limits set it is served in
// linear time (the old index scanned every name for each one: about half a
// minute here, where this takes about half a second), and every name goes
// again with the connection; with the limits it is refused at once and
// nothing is kept.
TEST_F(TvqServer, FortyThousandNamesAreServedInLinearTimeOrRefusedWhole) {
  std::string names;
  for (int i = 0; i < 40000; ++i) names += (i ? "," : "") + std::string("n") + std::to_string(i);
  {
    std::string guid;
    WebSocketClient client = Connect(guid);
    const auto start = std::chrono::steady_clock::now();
    client.SendText(Request("tvq@subscribe", R"({"channel":")" + names + R"("})"));
    ASSERT_TRUE(WaitUntil([&] { return tvq.ChannelIndex().NameCount() == 40000; }, std::chrono::seconds(240)));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, kSlowdown * std::chrono::seconds(5))
        << "quadratic work is back: "
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_EQ(server.Channels().NameCount(), 40000u);
  }
  ASSERT_TRUE(Saw("disconnect"));
  EXPECT_TRUE(WaitUntil([&] { return tvq.ChannelIndex().NameCount() == 0 && server.Channels().NameCount() == 0; }));

  main.Run([&] {
    tvq.MaxNamesPerRequest = 64;
    tvq.MaxChannelsPerConnection = 256;
    tvq.MaxChannels = 10000;
  });
  std::string guid;
  WebSocketClient client = Connect(guid);
  client.SendText(Request("tvq@subscribe", R"({"channel":")" + names + R"("})", "big"));
  EXPECT_EQ(client.NextText(), Ack("big"));
  EXPECT_EQ(client.NextText(), LimitError("64 names per request", "big"));
  EXPECT_EQ(tvq.ChannelIndex().NameCount(), 0u);
  EXPECT_EQ(server.Channels().NameCount(), 0u);
}

}  // namespace
