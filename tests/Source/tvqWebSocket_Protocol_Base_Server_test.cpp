#include "tvqWebSocket_Protocol_Base_Server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tvqWebSocket_Server.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct TMatchCase {
  const char* guid;
  const char* protocol;
  const char* requested;
  bool matches;
};

class ProtocolMatching : public ::testing::TestWithParam<TMatchCase> {};

TEST_P(ProtocolMatching, ByNameGuidAndCommaList) {
  TtvqWSProtocol component;
  component.Guid = GetParam().guid;
  component.Protocol = GetParam().protocol;
  EXPECT_EQ(TtvqWSComponent::MatchesProtocol(GetParam().requested, component), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProtocolMatching,
    ::testing::Values(TMatchCase{"", "tvq.tickerhall", "tvq.tickerhall", true},
                      TMatchCase{"", "tvq.tickerhall", "TVQ.TickerHall", true},
                      TMatchCase{"", "tvq.tickerhall", "tvq", false},
                      TMatchCase{"", "a,b", "B", true},
                      TMatchCase{"", "a,b", "a,b", true},
                      TMatchCase{"", "a,b", "c", false},
                      TMatchCase{"g", "a,b", "g.a", true},
                      TMatchCase{"g", "a,b", "G.B", true},
                      TMatchCase{"g", "a", "a", true},
                      TMatchCase{"g", "a", "h.a", false}));

class Attached : public TtvqWSProtocol_Subscription_Server_Base {};

std::vector<TtvqWSComponent_Base*> Listed(TtvqWSComponent& aServer) { return aServer.ProtocolObjects(); }

TEST(ProtocolServer, AttachingMovesTheComponentBetweenServers) {
  TtvqWebSocketServer first, second;
  Attached component;
  component.Protocol = "p";
  component.SetServer(&first);
  EXPECT_THAT(Listed(first), ElementsAre(&component));
  EXPECT_EQ(component.NotifyEvents(), first.NotifyEvents());  // the server's mode is taken

  second.RegisterProtocol(&component);
  EXPECT_THAT(Listed(first), IsEmpty());
  EXPECT_THAT(Listed(second), ElementsAre(&component));
  EXPECT_EQ(component.Server(), &second);

  second.UnRegisterProtocol(&component);
  EXPECT_THAT(Listed(second), IsEmpty());
  EXPECT_EQ(component.Server(), nullptr);
}

TEST(ProtocolServer, LoadingDefersRegistrationToLoaded) {
  TtvqWebSocketServer server;
  Attached component;
  component.BeginLoading();
  component.SetServer(&server);
  EXPECT_THAT(Listed(server), IsEmpty());
  component.Loaded();
  EXPECT_THAT(Listed(server), ElementsAre(&component));
  component.Loaded();  // not loading any more: registered once only
  EXPECT_THAT(Listed(server), ElementsAre(&component));
}

TEST(ProtocolServer, DestroyedComponentLeavesItsServerAndDestroyedServerIsForgotten) {
  TtvqWebSocketServer server;
  {
    Attached component;
    component.SetServer(&server);
  }
  EXPECT_THAT(Listed(server), IsEmpty());

  Attached survivor;
  {
    TtvqWebSocketServer shortLived;
    survivor.SetServer(&shortLived);
  }
  EXPECT_EQ(survivor.Server(), nullptr);
  EXPECT_FALSE(survivor.WriteData("guid", std::string("x")));  // no server: nothing, false
}

TEST(ProtocolServer, OfferedNamesCarryTheGuid) {
  TtvqWebSocketServer server;
  Attached plain, named;
  plain.Protocol = "dataset.tvq.tickerhall";
  named.Protocol = "x,y";
  named.Guid = "g";
  plain.SetServer(&server);
  named.SetServer(&server);
  EXPECT_EQ(server.ProtocolNames(), "dataset.tvq.tickerhall,g.x,g.y");
}

TEST(Subscriptions, ChannelArgumentsAndTheIndex) {
  Attached component;
  std::vector<std::string> channels;
  component.GetSubscriptionChannels("a,b", channels);
  EXPECT_THAT(channels, ElementsAre("a", "b"));
  channels.clear();
  component.GetSubscriptionChannels("", channels);
  EXPECT_THAT(channels, ElementsAre(""));

  TtvqWSConnection connection;
  std::vector<std::string> raised;
  component.OnUnSubscription = [&](TtvqWSConnection*, const std::string& c) { raised.push_back(c); };
  component.DoEventSubscription(&connection, "a");
  component.DoEventSubscription(&connection, "a");  // duplicate: one entry
  component.DoEventSubscription(&connection, "b");
  EXPECT_EQ(component.ChannelIndex().Count(), 2u);

  // With masks on, an argument names the known channels it matches.
  component.UseMatchesMask = true;
  channels.clear();
  component.GetSubscriptionChannels("*", channels);
  EXPECT_THAT(channels, ::testing::UnorderedElementsAre("a", "b"));

  connection.DoSubscribe("_a,_b");
  component.UnSubscribeAll(&connection);
  EXPECT_THAT(raised, ::testing::UnorderedElementsAre("a", "b"));
  EXPECT_EQ(component.ChannelIndex().Count(), 0u);
  EXPECT_THAT(connection.Subscriptions(), IsEmpty());
}

TEST(BroadcastTargets, ExcludeIncludeProtocolAndChannel) {
  Attached component;
  component.Protocol = "p";
  class TEnabled : public TtvqWSConnection {
   public:
    TEnabled() { SetEnabled(true); }
  };
  TEnabled connection;
  connection.Protocol = "P";
  connection.DoSubscribe("_c");
  const std::string guid = connection.Guid();
  struct TCase {
    const char* name;
    std::string channel;
    std::vector<std::string> include, exclude;
    bool target;
  } cases[] = {
      {"subscribed", "c", {}, {}, true},
      {"already prefixed", "_c", {}, {}, true},
      {"every connection on the empty channel", "", {}, {}, true},
      {"not subscribed", "d", {}, {}, false},
      {"excluded", "c", {}, {guid}, false},
      {"included", "c", {guid}, {}, true},
      {"not included", "c", {"other"}, {}, false},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(component.IsBroadcastTarget(&connection, c.channel, c.include, c.exclude), c.target) << c.name;
  connection.Protocol = "q";
  EXPECT_FALSE(component.IsBroadcastTarget(&connection, "c", {}, {}));
  EXPECT_FALSE(component.IsBroadcastTarget(nullptr, "c", {}, {}));
}

TEST(HeldMessages, AReleasedConnectionsHeldMessagesAreDropped) {
  Attached component;
  std::vector<std::string> raised;
  component.OnMessage = [&](TtvqWSConnection*, const std::string& aText) { raised.push_back(aText); };
  component.SetQueueMessages(true);
  auto* gone = new TtvqWSConnection;
  TtvqWSConnection kept;
  component.DoEventMessage(gone, "from gone");
  component.DoEventMessage(&kept, "from kept");
  component.DoFreeConnection(gone);  // no server: freed now
  component.SetQueueMessages(false);
  EXPECT_THAT(raised, ElementsAre("from kept"));
}

TEST(RawMessages, HandledOnlyWhenTheHandlerSaysSo) {
  Attached component;
  EXPECT_FALSE(component.DoRawMessage(nullptr, "x"));
  component.OnRawMessage = [](TtvqWSConnection*, const std::string& aText, bool& aHandled) { aHandled = aText == "x"; };
  EXPECT_TRUE(component.DoRawMessage(nullptr, "x"));
  EXPECT_FALSE(component.DoRawMessage(nullptr, "y"));
}

}  // namespace
