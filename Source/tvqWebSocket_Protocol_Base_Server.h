// Public: the chain every sub-protocol component derives from.
//
//   TtvqWSProtocol                           identifier, Guid, raw-message hook
//   TtvqWSProtocol_Server                    the server it is attached to
//   TtvqWSProtocol_Server_Base               broadcast and write helpers
//   TtvqWSProtocol_Subscription_Server_Base  channel subscriptions
//
// A component attached to a server receives the events of the connections
// whose negotiated sub-protocol it matches, in the server's notification
// mode. Components are attached, detached and destroyed on the main thread,
// while their server is not active.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tvqWebSocket_Classes.h"
#include "tvqWebSocket_Classes_Queues.h"

enum TwsProtocolMessage { msgText, msgBinary, msgTextBinary };

using TtvqWSRawMessageEvent = std::function<void(TtvqWSConnection*, const std::string&, bool& aHandled)>;
using TtvqWSProtocolSubscriptionEvent = std::function<void(TtvqWSConnection*, const std::string& aChannel)>;
using TtvqWSBeforeSubscriptionEvent =
    std::function<void(TtvqWSConnection*, const std::string& aChannel, bool& aAccept)>;

class TtvqWSProtocol : public TtvqWSComponent_Base {
 public:
  // An optional instance name: the component also answers to Guid "."
  // identifier, and its channels are named Guid "_" channel.
  std::string Guid;
  // The identifier(s) the handshake must match, comma-separated.
  std::string Protocol;
  TwsProtocolMessage MsgType = msgText;
  TtvqWSRawMessageEvent OnRawMessage;

  std::string ComponentGuid() const override { return Guid; }
  std::string ComponentProtocol() const override { return Protocol; }

  // Hooks a broker calls; nothing here.
  virtual void DoBrokerConnect(TtvqWSConnection* /*aConnection*/) {}
  virtual void DoBrokerDisconnect(TtvqWSConnection* /*aConnection*/) {}
  virtual void DoBrokerDisconnected(TtvqWSConnection* /*aConnection*/) {}
  // OnRawMessage, when assigned; whether it handled the text.
  virtual bool DoRawMessage(TtvqWSConnection* aConnection, const std::string& aText);

  // The channel name as subscriptions store it: Guid "_" channel.
  std::string ChannelName(const std::string& aChannel) const { return Guid + "_" + aChannel; }
  // Each part of a comma-separated channel argument named so (with
  // aKeepNamed, parts that begin with "_" are taken as named already);
  // empty stays empty.
  std::string ChannelNames(const std::string& aChannels, bool aKeepNamed = false) const;

  // Per-connection data of sub-protocol components, kept with the
  // connection and freed with it. Adding sets the item's ID and takes it.
  static void AddProtocolItem(TtvqWSConnection* aConnection, const std::string& aId,
                              std::unique_ptr<TtvqQueueItemBase> aItem);
  static TtvqQueueItemBase* GetProtocolItem(TtvqWSConnection* aConnection, const std::string& aId);
};

class TtvqWSProtocol_Server : public TtvqWSProtocol {
 public:
  ~TtvqWSProtocol_Server() override;

  TtvqWSComponent_Server* Server() const { return FServer; }
  // Attaching registers this component with the server (while loading only
  // the reference is kept, Loaded registers); none detaches it.
  void SetServer(TtvqWSComponent_Server* aServer) override;
  // Ends loading: registers with the server that was set meanwhile.
  virtual void Loaded();
  void BeginLoading() { FLoading = true; }

  void Notification(TtvqComponent_Base* aComponent) override;
  // Binary messages become texts only for a text-only component on a
  // server that does not speak RFC 6455.
  void DoNotifyBinary(TtvqWSConnection* aConnection) override;

 private:
  TtvqWSComponent_Server* FServer = nullptr;
};

class TtvqWSProtocol_Server_Base : public TtvqWSProtocol_Server {
 public:
  // The server the helpers go through (there is no broker in this system).
  TtvqWSComponent_Server* ActiveServer() const { return Server(); }
  // The name broadcasts select connections by: Guid "." Protocol, or
  // Protocol without a Guid.
  std::string BroadcastProtocolName() const { return Guid.empty() ? Protocol : Guid + "." + Protocol; }

  // Whether aConnection receives a broadcast on aChannel: enabled, not
  // excluded, included (when a list is given), of this sub-protocol and
  // subscribed. A failure drops that connection and counts as false.
  virtual bool IsBroadcastTarget(TtvqWSConnection* aConnection, const std::string& aChannel,
                                 const std::vector<std::string>& aInclude, const std::vector<std::string>& aExclude);
  // Appends the server's connections that IsBroadcastTarget accepts;
  // Exclude and Include are comma-separated Guids.
  virtual void GetBroadcastTargets(const std::string& aChannel, const std::string& aExclude,
                                   std::vector<TtvqWSConnection*>& aList, const std::string& aInclude = {});

  virtual void Broadcast(const std::string& aMessage, const std::string& aChannel = {},
                         const std::string& aExclude = {}, const std::string& aInclude = {});
  virtual void Broadcast(const TtvqBytes& aStream, const std::string& aChannel = {}, const std::string& aExclude = {},
                         const std::string& aInclude = {}, int aSize = 0, TwsStreaming aStreaming = stmNone);
  virtual bool WriteData(const std::string& aGuid, const std::string& aMessage);
  virtual bool WriteData(const std::string& aGuid, const TtvqBytes& aStream, int aSize = 0,
                         TwsStreaming aStreaming = stmNone);
  virtual bool WriteToConnection(TtvqWSConnection* aConnection, const std::string& aMessage);
  virtual bool WriteToConnection(TtvqWSConnection* aConnection, const TtvqBytes& aStream);
};

class TtvqWSProtocol_Subscription_Server_Base : public TtvqWSProtocol_Server_Base {
 public:
  TtvqWSProtocol_Subscription_Server_Base();
  ~TtvqWSProtocol_Subscription_Server_Base() override;

  TtvqWSProtocolSubscriptionEvent OnSubscription;
  TtvqWSProtocolSubscriptionEvent OnUnSubscription;
  TtvqWSBeforeSubscriptionEvent OnBeforeSubscription;
  // Channel arguments are wildcard masks over the known channels.
  bool UseMatchesMask = false;

  // What one client's subscriptions may cost (0: no limit): channels one
  // connection is subscribed to, distinct channel names in the index, and
  // names in one request. A request that would pass one is refused whole.
  int MaxChannelsPerConnection = 0;
  int MaxChannels = 0;
  int MaxNamesPerRequest = 0;

  // The channel index: one named queue per channel (unprefixed), one entry
  // per subscribed connection.
  TtvqQueueListChannels& ChannelIndex();

  virtual void DoBeforeSubscription(TtvqWSConnection* aConnection, const std::string& aChannel, bool& aAccept);
  virtual void DoEventSubscription(TtvqWSConnection* aConnection, const std::string& aChannel);
  virtual void DoEventUnSubscription(TtvqWSConnection* aConnection, const std::string& aChannel);
  // Raise the events for the connection's last (un)subscription in the
  // component's notification mode.
  virtual void DoNotifySubscription(TtvqWSConnection* aConnection);
  virtual void DoNotifyUnSubscription(TtvqWSConnection* aConnection);
  virtual void AddSubscription(const std::string& aChannel, TtvqWSConnection* aConnection);
  virtual void RemoveSubscription(const std::string& aChannel, TtvqWSConnection* aConnection);
  // Drops every subscription of the connection, raising OnUnSubscription
  // for each at once.
  virtual void UnSubscribeAll(TtvqWSConnection* aConnection);
  // The channels a channel argument names: the index's channels that match
  // it as a mask (with UseMatchesMask), else its comma-separated parts.
  virtual void GetSubscriptionChannels(const std::string& aChannel, std::vector<std::string>& aList);

  // Unsubscribes everything (and forgets the connection's pending
  // notifications) before the disconnect event.
  void DoEventDisconnect(TtvqWSConnection* aConnection, int aCode) override;

 private:
  struct TPending;
  void Notify(TPending& aPending, TtvqWSConnection* aConnection, const std::string& aChannel);
  void ProcessPending(TPending& aPending);

  std::unique_ptr<TtvqQueueListChannels> FChannels;
  std::unique_ptr<TPending> FSubscribing;
  std::unique_ptr<TPending> FUnSubscribing;
};
