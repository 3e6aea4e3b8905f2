// Public: the server side of the base sub-protocol: channels with subscribe
// and unsubscribe, publish with retained messages, broadcast, direct
// messages, application RPC and notifications, acknowledgments, QoS level 2
// hold-and-release, per-channel transactions, and the QoS resend timer.
//
// In the server's asynchronous mode every connection event, and so
// everything below, runs on the main thread. RPCResult and RPCError may be
// called from any thread: they reach the connection through the server by
// its Guid, so an answer to a connection that has gone sends nothing.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "tvqWebSocket_Protocol_Base_Server.h"
#include "tvqWebSocket_Protocol_tvq_Message.h"

// A connection's envelope, kept in its protocol data.
class TtvqQueueItemProtocolMessage : public TtvqQueueItemBase {
 public:
  explicit TtvqQueueItemProtocolMessage(std::unique_ptr<TtvqWSMessage> aMessage) : Message(std::move(aMessage)) {}
  std::unique_ptr<TtvqWSMessage> Message;
};

// A connection's pending texts on one channel between "tvq@transaction" and
// "tvq@commit" / "tvq@rollback".
struct TtvqWSTransaction {
  bool Active = true;
  std::string ID;  // connection Guid "_" channel
  struct TEntry {
    TtvqWSConnection* Connection;
    std::string Text;
  };
  std::vector<TEntry> Queue;
  std::size_t Bytes = 0;  // of the held texts
};

// The "tvq@event" texts retained for one channel, oldest first, and when
// each was retained.
struct TtvqWSQueuedMessage {
  std::string ID;  // the channel, unprefixed
  std::mutex Lock;
  std::vector<std::string> Queue;
  std::vector<std::chrono::system_clock::time_point> Dates;  // one per text
};

// A request held at QoS level 2 until its "tvq@pubrel".
struct TtvqWSQoSLevel2 {
  std::string ID;
  TtvqWSConnection* Connection;
  std::string Text;
};

// An RPC awaiting its answer.
struct TtvqWSMethodId {
  std::string Guid;  // of the connection that asked
  std::string Id;
};

struct TtvqWSAuthentication_Methods {
  std::vector<std::string> Methods;
  bool Enabled = false;
};

using TtvqWSAcknowledgmentEvent = std::function<void(TtvqWSConnection*, const std::string& aId)>;
using TtvqWSNotificationEvent =
    std::function<void(TtvqWSConnection*, const std::string& aMethod, const std::string& aParams)>;
using TtvqWSRPCEvent = std::function<void(TtvqWSConnection*, const std::string& aId, const std::string& aMethod,
                                          const std::string& aParams)>;
using TtvqWSRPCAuthenticationEvent =
    std::function<void(TtvqWSConnection*, const std::string& aMethod, const std::string& aUser,
                       const std::string& aPassword, bool& aAuthenticated)>;
using TtvqWSLimitReachedEvent = std::function<void(TtvqWSConnection*, const std::string& aWhat)>;
using TtvqWSBeforePublishEvent =
    std::function<void(TtvqWSConnection*, const std::string& aChannel, std::string& aText, bool& aAccept)>;

class TtvqWSProtocol_tvq_Server : public TtvqWSProtocol_Subscription_Server_Base {
 public:
  TtvqWSProtocol_tvq_Server();
  ~TtvqWSProtocol_tvq_Server() override;

  TtvqWSQoS_Options QoS;
  TtvqWSAuthentication_Methods RPCAuthentication;
  // Off: a client's publish and broadcast (retained publications included)
  // are refused as not allowed.
  bool ClientPublish = true;

  // What one client can make the server hold (0: no limit). A request that
  // would pass a limit is refused whole with tvqLimitReachedCode (when it
  // has an id) and nothing of it is applied.
  int MaxRetainedPerChannel = 0;       // retained texts of one channel; the oldest goes first
  std::size_t MaxRetainedBytes = 0;    // retained texts of all channels together
  int RetainedExpiry = 0;              // seconds a retained text is kept
  int MaxPendingCalls = 0;             // RPC calls awaiting their answer, per connection
  int MaxHeldQoS = 0;                  // QoS level 2 requests awaiting "tvq@pubrel", per connection
  int MaxTransactions = 0;             // open transactions per connection
  std::size_t MaxTransactionSize = 0;  // bytes of text one transaction holds
  // Raised the first time a connection meets a limit (never per message);
  // aWhat is the refusal's text after "Limit reached: ".
  TtvqWSLimitReachedEvent OnLimitReached;

  TtvqWSAcknowledgmentEvent OnAcknowledgment;
  TtvqWSNotificationEvent OnNotification;
  TtvqWSRPCEvent OnRPC;
  TtvqWSRPCAuthenticationEvent OnRPCAuthentication;
  TtvqWSBeforePublishEvent OnBeforePublish;

  // ---- the application's operations
  // A "tvq@message" result to the channel's subscribers (all connections of
  // the sub-protocol for an empty channel).
  using TtvqWSProtocol_Server_Base::Broadcast;
  void Broadcast(const std::string& aMessage, const std::string& aChannel = {}, const std::string& aExclude = {},
                 const std::string& aInclude = {}) override;
  void Broadcast(const TtvqBytes& aStream, const std::string& aChannel = {}, const std::string& aExclude = {},
                 const std::string& aInclude = {}, int aSize = 0, TwsStreaming aStreaming = stmNone) override;
  // A "tvq@message" request to one connection.
  using TtvqWSProtocol_Server_Base::WriteData;
  bool WriteData(const std::string& aGuid, const std::string& aMessage) override;
  // A "tvq@event" to the subscribers of each channel; queue level 1 keeps
  // it as the channel's only retained message, level 2 appends it.
  // False, with nothing retained or sent, when retaining the texts would
  // pass MaxRetainedBytes.
  bool Publish(const std::string& aMessage, const std::string& aChannel, const std::string& aExclude,
               const std::string& aInclude, TwsQueue aQueue = queueLevel0);
  bool Publish(const std::string& aMessage, const std::string& aChannel, TwsQueue aQueue = queueLevel0);
  // Answers a refused request of aConnection with the error (a request
  // without an id gets none); a limit's refusal raises OnLimitReached the
  // first time that connection meets one.
  void RefuseRequest(TtvqWSConnection* aConnection, const std::string& aId, int aCode, const std::string& aMessage);
  // The bytes the retained texts of every channel hold, the expired ones
  // dropped first.
  std::size_t RetainedBytes();
  // Answer a pending RPC once; an unknown id sends nothing.
  void RPCResult(const std::string& aId, const std::string& aResult);
  void RPCError(const std::string& aId, int aCode, const std::string& aMessage, const std::string& aData = {});
  bool ClearQueue(const std::string& aChannel);

  void Loaded() override;

  // ---- the protocol's steps, in the order a text meets them
  virtual TtvqWSMessage* GetConnectionMessage(TtvqWSConnection* aConnection);
  virtual void BroadcastMessageQoS(TtvqWSMessage& aMessage, const std::string& aChannel, const std::string& aExclude,
                                   const std::string& aInclude);
  virtual void DoBroadcastMessage(TtvqWSMessage& aMessage, const std::string& aChannel, const std::string& aExclude,
                                  const std::string& aInclude);
  virtual void DoBroadcastStream(const TtvqBytes& aStream, const std::string& aChannel, TwsStreaming aStreaming,
                                 int aSize, const std::string& aExclude, const std::string& aInclude);
  virtual bool IsTransactionActive(const std::string& aName);
  virtual void StartTransaction(const std::string& aName);
  virtual void RemoveTransaction(const std::string& aName);
  virtual void CommitTransaction(TtvqWSMessage& aMessage, const std::string& aName);
  virtual void RollbackTransaction(const std::string& aName);
  // The channel's retained texts (the entry is made when missing). The
  // reference stays valid until the next publication or ClearQueue.
  virtual TtvqWSQueuedMessage& GetQueuedMessages(const std::string& aChannel);
  virtual void DeliverQueuedMessages(const std::string& aChannel, TtvqWSConnection* aConnection);
  virtual void DoQoSLevel2Receive(const std::string& aId, TtvqWSConnection* aConnection, const std::string& aText);
  virtual void DoProcessIncoming(TtvqWSConnection* aConnection, const std::string& aText);
  virtual void DoDispatchMessage(TtvqWSConnection* aConnection, const std::string& aText);
  virtual void SendSession(TtvqWSConnection* aConnection);
  virtual void SendAcknowledgment(TtvqWSConnection* aConnection, const std::string& aId);
  virtual void StartQoSTimer();
  virtual void StopQoSTimer();
  virtual void DoQoSResend();
  virtual void DoQoSAcknowledge(const std::string& aGuid, const std::string& aId);
  virtual void AddQoSMessage(const std::string& aGuid, const std::string& aId, const std::string& aText);
  virtual void ClearQoSMessages(const std::string& aGuid);
  virtual void DoEventNotification(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage);
  virtual void DoEventRPC(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage);
  virtual void DoEventRPCAuthentication(TtvqWSConnection* aConnection, const std::string& aMethod,
                                        bool& aAuthenticated);
  virtual void DoBeforePublish(TtvqWSConnection* aConnection, const std::string& aChannel, std::string& aText,
                               bool& aAccept);
  virtual void DoEventAcknowledgment(TtvqWSConnection* aConnection, const std::string& aId);
  virtual bool IsMethodAllowed(TtvqWSConnection* aConnection, const std::string& aMethod);
  // Whether a client's text (read into aMessage) may be carried out; checked
  // before it is acknowledged, held in a transaction or dispatched. Here: a
  // publish or broadcast only while ClientPublish is on. A refused request
  // with an id is answered with the "not allowed" error; nothing of it is
  // applied or sent on.
  virtual bool IsEditAllowed(TtvqWSConnection* aConnection, const TtvqWSMessage& aMessage);

  void DoEventConnect(TtvqWSConnection* aConnection) override;
  void DoEventDisconnect(TtvqWSConnection* aConnection, int aCode) override;
  void DoEventMessage(TtvqWSConnection* aConnection, const std::string& aText) override;
  void DoBrokerConnect(TtvqWSConnection* aConnection) override;
  void DoBrokerDisconnect(TtvqWSConnection* aConnection) override;
  void DoBrokerDisconnected(TtvqWSConnection* aConnection) override;

  // The "tvq@access" answer: what this connection may do ("user", "edit",
  // "publish"), for a page that shows editing only to those who may edit.
  void SendAccess(TtvqWSConnection* aConnection, const std::string& aId);

  // The QoS records waiting for acknowledgment (a copy).
  std::vector<TtvqWSQoSItem> QoSMessages();

 protected:
  // The envelope a connection's texts are read into, made on its first text.
  virtual std::unique_ptr<TtvqWSMessage> CreateConnectionMessage() { return std::make_unique<TtvqWSMessage>(); }
  const std::string& MessageKey() const { return FMessageKey; }
  // A transaction or retained-message name: Guid "_" channel.
  static std::string TransactionName(TtvqWSConnection* aConnection, const std::string& aChannel);

 private:
  void SubscribeLoop(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage, bool aSubscribe);
  void AnswerRPC(const std::string& aId, TtvqWSMessage& aMessage);
  // Drops what a closed connection left behind: its pending RPC ids, held
  // QoS level 2 requests and open transactions.
  void ForgetConnection(TtvqWSConnection* aConnection);

  // Whether aConnection may subscribe to every channel of aChannels: the
  // names per request, its own channels and the distinct names in the index.
  bool CheckSubscriptionLimits(TtvqWSConnection* aConnection, const std::vector<std::string>& aChannels,
                               std::string& aWhat);
  // Drops the retained texts older than RetainedExpiry; FQueuedLock held.
  void ExpireRetained();

  const std::string FMessageKey;
  std::mutex FLimitedLock;
  std::unordered_set<std::string> FLimited;  // Guids of connections that met a limit
  std::vector<std::unique_ptr<TtvqWSTransaction>> FTransactions;  // FCSArray[0]
  std::vector<TtvqWSQoSLevel2> FQoSLevel2;                        // FCSArray[1]
  TtvqWSQoSList FQoSList;                                         // FCSArray[2]
  std::mutex FQueuedLock;
  std::vector<std::unique_ptr<TtvqWSQueuedMessage>> FQueuedMessages;
  std::mutex FMethodsLock;
  std::map<std::string, TtvqWSMethodId> FMethodsId;
  std::map<std::string, int> FPendingCalls;  // per connection Guid, under FMethodsLock
  std::unique_ptr<TtvqTimer> FQoSTimer;
};
