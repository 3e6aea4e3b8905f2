#include "tvqWebSocket_Protocol_tvq_Server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>

namespace {

using TClock = std::chrono::system_clock;

// Runs aLeave when the scope ends, also by an exception.
template <class F>
struct TFinally {
  F Leave;
  ~TFinally() { Leave(); }
};
template <class F>
TFinally(F) -> TFinally<F>;

// A fresh envelope for a message the server originates.
struct TFreshMessage : TtvqWSMessage {
  TFreshMessage() { DoEnterWrite(true); }
};

std::string ExceptionText(std::exception_ptr aE) {
  try {
    std::rethrow_exception(aE);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

}  // namespace

TtvqWSProtocol_tvq_Server::TtvqWSProtocol_tvq_Server() : FMessageKey(TtvqNewGuid()) {
  Protocol = tvqBaseSubProtocol;
}

TtvqWSProtocol_tvq_Server::~TtvqWSProtocol_tvq_Server() {
  StopDeliveries();
  SetServer(nullptr);  // before any member goes
  StopQoSTimer();
}

void TtvqWSProtocol_tvq_Server::Loaded() {
  TtvqWSProtocol_Subscription_Server_Base::Loaded();
  StartQoSTimer();
}

std::string TtvqWSProtocol_tvq_Server::TransactionName(TtvqWSConnection* aConnection, const std::string& aChannel) {
  return aConnection->Guid() + "_" + aChannel;
}

// ---------------------------------------------------------------- the application's operations

void TtvqWSProtocol_tvq_Server::Broadcast(const std::string& aMessage, const std::string& aChannel,
                                          const std::string& aExclude, const std::string& aInclude) {
  TFreshMessage message;
  message.method = tvqMethod::Message;
  message.result = tvqMethod::Message;
  message.Text = aMessage;
  message.Channel = aChannel;
  DoBroadcastMessage(message, aChannel, aExclude, aInclude);
}

void TtvqWSProtocol_tvq_Server::Broadcast(const TtvqBytes& aStream, const std::string& aChannel,
                                          const std::string& aExclude, const std::string& aInclude, int aSize,
                                          TwsStreaming aStreaming) {
  DoBroadcastStream(aStream, aChannel, aStreaming, aSize, aExclude, aInclude);
}

bool TtvqWSProtocol_tvq_Server::WriteData(const std::string& aGuid, const std::string& aMessage) {
  TFreshMessage message;
  message.method = tvqMethod::Message;
  message.Text = aMessage;
  return TtvqWSProtocol_Subscription_Server_Base::WriteData(aGuid, message.Write());
}

bool TtvqWSProtocol_tvq_Server::Publish(const std::string& aMessage, const std::string& aChannel,
                                        const std::string& aExclude, const std::string& aInclude, TwsQueue aQueue) {
  std::vector<std::string> channels;
  GetSubscriptionChannels(aChannel, channels);
  const auto fill = [&](TtvqWSMessage& aEvent, const std::string& aName) {
    aEvent.method = tvqMethod::Event;
    aEvent.result = tvqMethod::Event;
    aEvent.Text = aMessage;
    aEvent.Channel = aName;
  };
  if (aQueue != queueLevel0) {
    // Every channel's text is retained, or none when the texts would pass
    // the limit of all channels together.
    std::vector<std::string> texts;
    std::size_t added = 0;
    for (const std::string& channel : channels) {
      TFreshMessage message;
      fill(message, channel);
      texts.push_back(message.Write());
      added += texts.back().size();
    }
    const auto now = TClock::now();
    std::lock_guard guard(FQueuedLock);
    ExpireRetained();
    if (MaxRetainedBytes > 0) {
      std::size_t kept = 0;
      for (const auto& queued : FQueuedMessages) {
        std::lock_guard retained(queued->Lock);
        for (const std::string& text : queued->Queue) kept += text.size();
      }
      if (aQueue == queueLevel1)  // the channels' texts are replaced
        for (const std::string& channel : channels)
          for (const auto& queued : FQueuedMessages)
            if (queued->ID == channel) {
              std::lock_guard retained(queued->Lock);
              for (const std::string& text : queued->Queue) kept -= std::min(kept, text.size());
            }
      if (kept + added > MaxRetainedBytes) return false;
    }
    for (std::size_t i = 0; i < channels.size(); ++i) {
      TtvqWSQueuedMessage* retained = nullptr;
      for (const auto& queued : FQueuedMessages)
        if (queued->ID == channels[i]) retained = queued.get();
      if (!retained) {
        FQueuedMessages.push_back(std::make_unique<TtvqWSQueuedMessage>());
        retained = FQueuedMessages.back().get();
        retained->ID = channels[i];
      }
      std::lock_guard lock(retained->Lock);
      if (aQueue == queueLevel1) {
        retained->Queue.clear();
        retained->Dates.clear();
      }
      retained->Queue.push_back(std::move(texts[i]));
      retained->Dates.push_back(now);
      if (MaxRetainedPerChannel > 0 && retained->Queue.size() > static_cast<std::size_t>(MaxRetainedPerChannel)) {
        retained->Queue.erase(retained->Queue.begin());
        retained->Dates.erase(retained->Dates.begin());
      }
    }
  }
  for (const std::string& channel : channels) {
    TFreshMessage message;
    fill(message, channel);
    DoBroadcastMessage(message, channel, aExclude, aInclude);
  }
  return true;
}

bool TtvqWSProtocol_tvq_Server::Publish(const std::string& aMessage, const std::string& aChannel, TwsQueue aQueue) {
  return Publish(aMessage, aChannel, {}, {}, aQueue);
}

void TtvqWSProtocol_tvq_Server::AnswerRPC(const std::string& aId, TtvqWSMessage& aMessage) {
  TtvqWSMethodId pending;
  {
    std::lock_guard guard(FMethodsLock);
    const auto it = FMethodsId.find(aId);
    if (it == FMethodsId.end()) return;
    pending = it->second;
    FMethodsId.erase(it);
    const auto count = FPendingCalls.find(pending.Guid);
    if (count != FPendingCalls.end() && --count->second == 0) FPendingCalls.erase(count);
  }
  aMessage.id = aId;
  aMessage.QoS = tvqQoSName(QoS.Level);
  const std::string text = aMessage.Write();
  TtvqWSProtocol_Subscription_Server_Base::WriteData(pending.Guid, text);
  AddQoSMessage(pending.Guid, aId, text);
}

void TtvqWSProtocol_tvq_Server::RPCResult(const std::string& aId, const std::string& aResult) {
  TFreshMessage message;
  message.result = aResult;
  AnswerRPC(aId, message);
}

void TtvqWSProtocol_tvq_Server::RPCError(const std::string& aId, int aCode, const std::string& aMessage,
                                         const std::string& aData) {
  TFreshMessage message;
  message.errorcode = aCode;
  message.errormessage = aMessage;
  message.errordata = aData;
  AnswerRPC(aId, message);
}

// The channel's entry goes with its texts: a name nothing is retained on
// costs nothing.
bool TtvqWSProtocol_tvq_Server::ClearQueue(const std::string& aChannel) {
  std::lock_guard guard(FQueuedLock);
  std::erase_if(FQueuedMessages, [&](const auto& queued) { return queued->ID == aChannel; });
  return true;
}

void TtvqWSProtocol_tvq_Server::RefuseRequest(TtvqWSConnection* aConnection, const std::string& aId, int aCode,
                                              const std::string& aMessage) {
  if (!aConnection) return;
  if (!aId.empty()) {
    TFreshMessage message;
    message.id = aId;
    message.errorcode = aCode;
    message.errormessage = aMessage;
    WriteToConnection(aConnection, message.Write());
  }
  if (aCode != tvqLimitReachedCode || !OnLimitReached) return;
  {
    std::lock_guard guard(FLimitedLock);
    if (!FLimited.insert(aConnection->Guid()).second) return;
  }
  OnLimitReached(aConnection, aMessage.substr(std::string(tvqLimitReachedPrefix).size()));
}

bool TtvqWSProtocol_tvq_Server::CheckSubscriptionLimits(TtvqWSConnection* aConnection,
                                                        const std::vector<std::string>& aChannels,
                                                        std::string& aWhat) {
  if (MaxChannelsPerConnection <= 0 && MaxChannels <= 0) return true;
  // Each new name once, whatever its letter case or how often it is named.
  std::unordered_set<std::string> mine, fresh;
  TtvqQueueListChannels& index = ChannelIndex();
  for (const std::string& channel : aChannels) {
    if (!aConnection->Subscribed(ChannelName(channel))) {
      std::string folded = channel;
      for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      mine.insert(std::move(folded));
    }
    if (!index.FindQueueByName(channel)) fresh.insert(channel);
  }
  if (MaxChannelsPerConnection > 0 &&
      aConnection->SubscriptionCount() + mine.size() > static_cast<std::size_t>(MaxChannelsPerConnection)) {
    aWhat = std::to_string(MaxChannelsPerConnection) + " channels per connection";
    return false;
  }
  if (MaxChannels > 0 && !fresh.empty()) {
    std::size_t retained = 0;
    {
      std::lock_guard guard(FQueuedLock);
      for (const auto& queued : FQueuedMessages)
        if (!index.FindQueueByName(queued->ID)) ++retained;
    }
    if (index.NameCount() + retained + fresh.size() > static_cast<std::size_t>(MaxChannels)) {
      aWhat = std::to_string(MaxChannels) + " channels";
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- connection events

// What a new connection receives (the session, and what derived components
// add) goes out before OnConnect is raised.
void TtvqWSProtocol_tvq_Server::DoEventConnect(TtvqWSConnection* aConnection) {
  {
    // The connect sequence (the session, the retained publications, and
    // what derived components add, such as a table) is paced by the
    // client's socket and never counts against the slow-consumer cap, so
    // that a large one cannot lock clients out.
    const TtvqUncappedWrites sequence(aConnection);
    DoBrokerConnect(aConnection);
  }
  TtvqWSProtocol_Subscription_Server_Base::DoEventConnect(aConnection);
}

void TtvqWSProtocol_tvq_Server::DoBrokerConnect(TtvqWSConnection* aConnection) {
  SendSession(aConnection);
  DeliverQueuedMessages("", aConnection);
}

void TtvqWSProtocol_tvq_Server::DoBrokerDisconnect(TtvqWSConnection* aConnection) { UnSubscribeAll(aConnection); }

void TtvqWSProtocol_tvq_Server::DoBrokerDisconnected(TtvqWSConnection* aConnection) {
  if (aConnection) ClearQoSMessages(aConnection->Guid());
}

void TtvqWSProtocol_tvq_Server::DoEventDisconnect(TtvqWSConnection* aConnection, int aCode) {
  TtvqWSProtocol_Subscription_Server_Base::DoEventDisconnect(aConnection, aCode);
  if (!aConnection) return;
  ClearQoSMessages(aConnection->Guid());
  UnSubscribeAll(aConnection);
  ForgetConnection(aConnection);
}

void TtvqWSProtocol_tvq_Server::ForgetConnection(TtvqWSConnection* aConnection) {
  {
    std::lock_guard guard(FMethodsLock);
    std::erase_if(FMethodsId, [&](const auto& entry) { return entry.second.Guid == aConnection->Guid(); });
    FPendingCalls.erase(aConnection->Guid());
  }
  {
    std::lock_guard guard(FLimitedLock);
    FLimited.erase(aConnection->Guid());
  }
  {
    TtvqLock guard(FCSArray[1]);
    std::erase_if(FQoSLevel2, [&](const TtvqWSQoSLevel2& held) { return held.Connection == aConnection; });
  }
  TtvqLock guard(FCSArray[0]);
  const std::string prefix = aConnection->Guid() + "_";
  std::erase_if(FTransactions, [&](const auto& t) { return t->ID.compare(0, prefix.size(), prefix) == 0; });
}

TtvqWSMessage* TtvqWSProtocol_tvq_Server::GetConnectionMessage(TtvqWSConnection* aConnection) {
  if (auto* holder = dynamic_cast<TtvqQueueItemProtocolMessage*>(GetProtocolItem(aConnection, FMessageKey)))
    return holder->Message.get();
  auto holder = std::make_unique<TtvqQueueItemProtocolMessage>(CreateConnectionMessage());
  TtvqWSMessage* message = holder->Message.get();
  AddProtocolItem(aConnection, FMessageKey, std::move(holder));
  return message;
}

void TtvqWSProtocol_tvq_Server::DoEventMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  if (!aConnection || DoRawMessage(aConnection, aText)) return;
  TtvqWSMessage& message = *GetConnectionMessage(aConnection);
  message.EnterCS();
  TFinally leave{[&] { message.LeaveCS(); }};
  message.Read(aText);
  if (message.QoS == tvqQoSName(qosLevel2) && !message.id.empty()) {
    const std::string id = message.id;
    if (message.method == tvqMethod::PubRel) {
      // The held request, when there is one, is processed now.
      std::optional<TtvqWSQoSLevel2> held;
      {
        TtvqLock guard(FCSArray[1]);
        const auto it = std::find_if(FQoSLevel2.begin(), FQoSLevel2.end(), [&](const TtvqWSQoSLevel2& h) {
          return h.ID == id && h.Connection == aConnection;
        });
        if (it != FQoSLevel2.end()) {
          held = std::move(*it);
          FQoSLevel2.erase(it);
        }
      }
      if (held)
        DoProcessIncoming(held->Connection, held->Text);
      else
        SendAcknowledgment(aConnection, id);
    } else if (message.method != tvqMethod::Acknowledgment) {
      DoQoSLevel2Receive(id, aConnection, aText);
    } else {
      DoQoSAcknowledge(aConnection->Guid(), id);
    }
    return;
  }
  DoProcessIncoming(aConnection, aText);
}

// ---------------------------------------------------------------- incoming texts

void TtvqWSProtocol_tvq_Server::DoQoSLevel2Receive(const std::string& aId, TtvqWSConnection* aConnection,
                                                   const std::string& aText) {
  bool full = false;
  {
    TtvqLock guard(FCSArray[1]);
    // Held per connection: another client's request with the same id is
    // not this one's.
    std::erase_if(FQoSLevel2, [&](const TtvqWSQoSLevel2& h) { return h.ID == aId && h.Connection == aConnection; });
    full = MaxHeldQoS > 0 && std::count_if(FQoSLevel2.begin(), FQoSLevel2.end(), [&](const TtvqWSQoSLevel2& h) {
                               return h.Connection == aConnection;
                             }) >= MaxHeldQoS;
    if (!full) FQoSLevel2.push_back({aId, aConnection, aText});
  }
  if (full) {
    RefuseRequest(aConnection, aId, tvqLimitReachedCode,
                  tvqLimitReachedPrefix + std::to_string(MaxHeldQoS) + " held messages");
    return;
  }
  TFreshMessage message;
  message.method = tvqMethod::PubRec;
  message.result = tvqMethod::PubRec;
  message.Guid = aConnection->Guid();
  message.id = aId;
  WriteToConnection(aConnection, message.Write());
}

void TtvqWSProtocol_tvq_Server::DoProcessIncoming(TtvqWSConnection* aConnection, const std::string& aText) {
  TtvqWSMessage& message = *GetConnectionMessage(aConnection);
  message.Read(aText);
  if (!IsEditAllowed(aConnection, message)) {
    if (!message.id.empty()) {
      TFreshMessage refusal;
      refusal.errorcode = tvqNotAllowedCode;
      refusal.errormessage = tvqNotAllowedMessage;
      refusal.id = message.id;
      WriteToConnection(aConnection, refusal.Write());
    }
    return;
  }
  if (!message.id.empty() && message.method != tvqMethod::Acknowledgment) SendAcknowledgment(aConnection, message.id);
  const std::string name = TransactionName(aConnection, message.Channel);
  if (message.method == tvqMethod::Commit) {
    CommitTransaction(message, name);
  } else if (message.method == tvqMethod::Rollback) {
    RollbackTransaction(name);
  } else if (IsTransactionActive(name)) {
    bool full = false;
    {
      TtvqLock guard(FCSArray[0]);
      for (const auto& transaction : FTransactions)
        if (transaction->ID == name && transaction->Active) {
          full = MaxTransactionSize > 0 && transaction->Bytes + aText.size() > MaxTransactionSize;
          if (full) break;
          transaction->Queue.push_back({aConnection, aText});
          transaction->Bytes += aText.size();
          return;
        }
    }
    if (full) {
      RefuseRequest(aConnection, message.id, tvqLimitReachedCode,
                    tvqLimitReachedPrefix + std::to_string(MaxTransactionSize) + " bytes in a transaction");
      return;
    }
  }
  DoDispatchMessage(aConnection, aText);
}

void TtvqWSProtocol_tvq_Server::DoDispatchMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  TtvqWSMessage& message = *GetConnectionMessage(aConnection);
  message.Read(aText);
  const std::string id = message.id, text = message.Text, channel = message.Channel;
  const std::string& method = message.method;
  std::string refused;
  if (method == tvqMethod::Message) {
    TtvqWSComponent_Base::DoEventMessage(aConnection, text);
  } else if (method == tvqMethod::Transaction) {
    const std::string name = TransactionName(aConnection, channel);
    if (MaxTransactions > 0 && !IsTransactionActive(name)) {
      TtvqLock guard(FCSArray[0]);
      const std::string prefix = aConnection->Guid() + "_";
      if (std::count_if(FTransactions.begin(), FTransactions.end(), [&](const auto& t) {
            return t->ID.compare(0, prefix.size(), prefix) == 0;
          }) >= MaxTransactions)
        refused = std::to_string(MaxTransactions) + " transactions";
    }
    if (!refused.empty())
      RefuseRequest(aConnection, id, tvqLimitReachedCode, tvqLimitReachedPrefix + refused);
    else
      StartTransaction(name);
  } else if (method == tvqMethod::Session) {
    SendSession(aConnection);
  } else if (method == tvqMethod::Acknowledgment) {
    DoQoSAcknowledge(aConnection->Guid(), id);
    DoEventAcknowledgment(aConnection, id);
  } else if (method == tvqMethod::Publish) {
    const std::string queue = message.Queue;
    bool accept = true;
    std::string published = text;
    DoBeforePublish(aConnection, channel, published, accept);
    const TwsQueue level = queue == tvqQueueName(queueLevel1)   ? queueLevel1
                           : queue == tvqQueueName(queueLevel2) ? queueLevel2
                                                                : queueLevel0;
    if (accept && !this->Publish(published, channel, level))
      RefuseRequest(aConnection, id, tvqLimitReachedCode,
                    tvqLimitReachedPrefix + std::to_string(MaxRetainedBytes) + " retained bytes");
  } else if (method == tvqMethod::Broadcast) {
    message.result = tvqMethod::Broadcast;
    DoBroadcastMessage(message, channel, "", "");
  } else if (method == tvqMethod::Protocol) {
    WriteToConnection(aConnection, aConnection->Protocol);
  } else if (method == tvqMethodAccess) {
    SendAccess(aConnection, id);
  } else if (method == tvqMethod::Subscribe) {
    SubscribeLoop(aConnection, message, true);
  } else if (method == tvqMethod::UnSubscribeAll) {
    UnSubscribeAll(aConnection);
  } else if (method == tvqMethod::UnSubscribe) {
    SubscribeLoop(aConnection, message, false);
  } else if (id.empty()) {
    DoEventNotification(aConnection, message);
  } else {
    {
      std::lock_guard guard(FMethodsLock);
      int& pending = FPendingCalls[aConnection->Guid()];
      if (MaxPendingCalls > 0 && pending >= MaxPendingCalls && !FMethodsId.count(id)) {
        if (pending == 0) FPendingCalls.erase(aConnection->Guid());
        refused = std::to_string(MaxPendingCalls) + " pending calls";
      } else if (FMethodsId.try_emplace(id, TtvqWSMethodId{aConnection->Guid(), id}).second) {
        ++pending;
      }
    }
    if (!refused.empty()) {
      RefuseRequest(aConnection, id, tvqLimitReachedCode, tvqLimitReachedPrefix + refused);
      return;
    }
    if (IsMethodAllowed(aConnection, method))
      DoEventRPC(aConnection, message);
    else
      RPCError(id, tvqMethodNotFoundCode, tvqMethodNotFoundMessage, "");
  }
}

// Each channel named is handled on its own; every reply carries the
// request's id and qos.
void TtvqWSProtocol_tvq_Server::SubscribeLoop(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage,
                                              bool aSubscribe) {
  const std::string method = aMessage.method, params = aMessage.params, id = aMessage.id, qos = aMessage.QoS;
  std::vector<std::string> channels;
  GetSubscriptionChannels(aMessage.Channel, channels);
  std::string refused;
  if (MaxNamesPerRequest > 0 && channels.size() > static_cast<std::size_t>(MaxNamesPerRequest))
    refused = std::to_string(MaxNamesPerRequest) + " names per request";
  else if (aSubscribe)
    CheckSubscriptionLimits(aConnection, channels, refused);
  if (!refused.empty()) {
    RefuseRequest(aConnection, id, tvqLimitReachedCode, tvqLimitReachedPrefix + refused);
    return;
  }
  // The replies and the retained publications of the channels are sent as
  // a connect sequence: paced by the socket, not cut off by the cap.
  const TtvqUncappedWrites sequence(aSubscribe ? aConnection : nullptr);
  for (const std::string& channel : channels) {
    aMessage.method = method;
    aMessage.Channel = channel;
    aMessage.params = params;
    aMessage.id = id;
    aMessage.QoS = qos;
    const std::string name = ChannelName(channel);
    if (aSubscribe) {
      bool accept = true;
      DoBeforeSubscription(aConnection, channel, accept);
      if (!accept) continue;
      aConnection->DoSubscribe(name);
      if (aConnection->Subscribed(name)) {
        aConnection->LastSubscription = channel;
        DoNotifySubscription(aConnection);
        aMessage.result = tvqMethod::Subscribe;
        WriteToConnection(aConnection, aMessage.Write());
      }
      DeliverQueuedMessages(channel, aConnection);
    } else {
      aConnection->DoUnSubscribe(name);
      if (!aConnection->Subscribed(name)) {
        aConnection->LastUnSubscription = channel;
        DoNotifyUnSubscription(aConnection);
        aMessage.result = tvqMethod::UnSubscribe;
        WriteToConnection(aConnection, aMessage.Write());
      }
    }
  }
}

// ---------------------------------------------------------------- sending

void TtvqWSProtocol_tvq_Server::SendSession(TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  TFreshMessage message;
  message.id = aConnection->Guid();
  message.method = tvqMethod::Session;
  message.result = tvqMethod::Session;
  message.Text = aConnection->Guid();
  message.QoS = tvqQoSName(QoS.Level);
  const std::string text = message.Write();
  WriteToConnection(aConnection, text);
  AddQoSMessage(aConnection->Guid(), aConnection->Guid(), text);
}

void TtvqWSProtocol_tvq_Server::SendAccess(TtvqWSConnection* aConnection, const std::string& aId) {
  const ItvqJSON document = CreateJSONDocument();
  document->AddPair("jsonrpc", "2.0");
  const ItvqObjectJSON result = document->AddObject("result", "");
  result->JSONObject()->AddPair("method", tvqMethodAccess);
  result->JSONObject()->AddPair("user", tvqJSONEscape(aConnection->User));
  result->JSONObject()->AddPair("edit", !aConnection->ReadOnly());
  result->JSONObject()->AddPair("publish", ClientPublish);
  if (!aId.empty()) document->AddPair("id", aId);
  WriteToConnection(aConnection, document->GetText());
}

void TtvqWSProtocol_tvq_Server::SendAcknowledgment(TtvqWSConnection* aConnection, const std::string& aId) {
  const ItvqJSON document = CreateJSONDocument();
  document->AddPair("jsonrpc", "2.0");
  document->AddObject("result", "")->JSONObject()->AddPair("method", tvqMethod::Acknowledgment);
  document->AddPair("id", aId);
  WriteToConnection(aConnection, document->GetText());
}

void TtvqWSProtocol_tvq_Server::DoBroadcastMessage(TtvqWSMessage& aMessage, const std::string& aChannel,
                                                   const std::string& aExclude, const std::string& aInclude) {
  if (QoS.Level > qosLevel0) {
    BroadcastMessageQoS(aMessage, aChannel, aExclude, aInclude);
    return;
  }
  TtvqWSProtocol_Subscription_Server_Base::Broadcast(aMessage.Write(), ChannelNames(aChannel), aExclude, aInclude);
}

// The channel goes to IsBroadcastTarget unprefixed: it prefixes it once.
void TtvqWSProtocol_tvq_Server::BroadcastMessageQoS(TtvqWSMessage& aMessage, const std::string& aChannel,
                                                    const std::string& aExclude, const std::string& aInclude) {
  const std::string id = aMessage.id;
  const std::string text = aMessage.Write();
  std::vector<TtvqWSConnection*> receivers;
  GetBroadcastTargets(aChannel, aExclude, receivers, aInclude);
  for (TtvqWSConnection* receiver : receivers) {
    if (receiver->Disconnected()) continue;
    try {
      WriteToConnection(receiver, text);
      AddQoSMessage(receiver->Guid(), id, text);
    } catch (const std::exception& e) {
      DoReportError(receiver, e.what());
    }
  }
}

void TtvqWSProtocol_tvq_Server::DoBroadcastStream(const TtvqBytes& aStream, const std::string& aChannel,
                                                  TwsStreaming aStreaming, int aSize, const std::string& aExclude,
                                                  const std::string& aInclude) {
  TtvqWSProtocol_Subscription_Server_Base::Broadcast(aStream, ChannelNames(aChannel), aExclude, aInclude, aSize,
                                                     aStreaming);
}

// ---------------------------------------------------------------- transactions

bool TtvqWSProtocol_tvq_Server::IsTransactionActive(const std::string& aName) {
  TtvqLock guard(FCSArray[0]);
  return std::any_of(FTransactions.begin(), FTransactions.end(),
                     [&](const auto& t) { return t->ID == aName && t->Active; });
}

void TtvqWSProtocol_tvq_Server::StartTransaction(const std::string& aName) {
  TtvqLock guard(FCSArray[0]);
  if (IsTransactionActive(aName)) return;
  auto transaction = std::make_unique<TtvqWSTransaction>();
  transaction->ID = aName;
  FTransactions.push_back(std::move(transaction));
}

void TtvqWSProtocol_tvq_Server::RemoveTransaction(const std::string& aName) {
  TtvqLock guard(FCSArray[0]);
  const auto it = std::find_if(FTransactions.begin(), FTransactions.end(), [&](const auto& t) { return t->ID == aName; });
  if (it != FTransactions.end()) FTransactions.erase(it);
}

// The held texts are taken out first and dispatched in arrival order; the
// transaction is gone afterwards, also when one of them fails.
void TtvqWSProtocol_tvq_Server::CommitTransaction(TtvqWSMessage& aMessage, const std::string& aName) {
  std::vector<TtvqWSTransaction::TEntry> held;
  {
    TtvqLock guard(FCSArray[0]);
    const auto it = std::find_if(FTransactions.begin(), FTransactions.end(), [&](const auto& t) { return t->ID == aName; });
    if (it == FTransactions.end()) return;
    (*it)->Active = false;
    held = std::move((*it)->Queue);
    (*it)->Queue.clear();
  }
  TFinally remove{[&] { RemoveTransaction(aName); }};
  for (const TtvqWSTransaction::TEntry& entry : held) {
    aMessage.Read(entry.Text);
    DoDispatchMessage(entry.Connection, entry.Text);
  }
}

void TtvqWSProtocol_tvq_Server::RollbackTransaction(const std::string& aName) { RemoveTransaction(aName); }

// ---------------------------------------------------------------- retained messages

void TtvqWSProtocol_tvq_Server::ExpireRetained() {
  if (RetainedExpiry <= 0) return;
  const auto oldest = TClock::now() - std::chrono::seconds(RetainedExpiry);
  for (const auto& queued : FQueuedMessages) {
    std::lock_guard retained(queued->Lock);
    std::size_t stale = 0;
    while (stale < queued->Dates.size() && queued->Dates[stale] < oldest) ++stale;
    queued->Queue.erase(queued->Queue.begin(), queued->Queue.begin() + static_cast<std::ptrdiff_t>(stale));
    queued->Dates.erase(queued->Dates.begin(), queued->Dates.begin() + static_cast<std::ptrdiff_t>(stale));
  }
  std::erase_if(FQueuedMessages, [](const auto& queued) {
    std::lock_guard retained(queued->Lock);
    return queued->Queue.empty();
  });
}

std::size_t TtvqWSProtocol_tvq_Server::RetainedBytes() {
  std::lock_guard guard(FQueuedLock);
  ExpireRetained();
  std::size_t bytes = 0;
  for (const auto& queued : FQueuedMessages) {
    std::lock_guard retained(queued->Lock);
    for (const std::string& text : queued->Queue) bytes += text.size();
  }
  return bytes;
}

TtvqWSQueuedMessage& TtvqWSProtocol_tvq_Server::GetQueuedMessages(const std::string& aChannel) {
  std::lock_guard guard(FQueuedLock);
  for (const auto& queued : FQueuedMessages)
    if (queued->ID == aChannel) return *queued;
  auto queued = std::make_unique<TtvqWSQueuedMessage>();
  queued->ID = aChannel;
  FQueuedMessages.push_back(std::move(queued));
  return *FQueuedMessages.back();
}

void TtvqWSProtocol_tvq_Server::DeliverQueuedMessages(const std::string& aChannel, TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  std::vector<std::string> texts;
  {
    std::lock_guard guard(FQueuedLock);
    ExpireRetained();
    const auto it = std::find_if(FQueuedMessages.begin(), FQueuedMessages.end(),
                                 [&](const auto& q) { return q->ID == aChannel; });
    if (it == FQueuedMessages.end()) return;
    std::lock_guard retained((*it)->Lock);
    texts = (*it)->Queue;
  }
  TtvqWSMessage& message = *GetConnectionMessage(aConnection);
  for (const std::string& text : texts) {
    message.Read(text);
    message.method = tvqMethod::Event;
    message.result = tvqMethod::Event;
    DoBroadcastMessage(message, message.Channel, "", aConnection->Guid());
  }
}

// ---------------------------------------------------------------- QoS levels 1 and 2

void TtvqWSProtocol_tvq_Server::AddQoSMessage(const std::string& aGuid, const std::string& aId,
                                              const std::string& aText) {
  if (aId.empty() || QoS.Level == qosLevel0) return;
  TtvqLock guard(FCSArray[2]);
  FQoSList.push_back(std::make_unique<TtvqWSQoSItem>(TtvqWSQoSItem{aGuid, TClock::now(), aId, aText}));
}

void TtvqWSProtocol_tvq_Server::DoQoSAcknowledge(const std::string& aGuid, const std::string& aId) {
  if (QoS.Level == qosLevel0) return;
  TtvqLock guard(FCSArray[2]);
  std::erase_if(FQoSList, [&](const auto& item) { return item->Guid == aGuid && item->ID == aId; });
}

void TtvqWSProtocol_tvq_Server::ClearQoSMessages(const std::string& aGuid) {
  if (QoS.Level == qosLevel0) return;
  TtvqLock guard(FCSArray[2]);
  std::erase_if(FQoSList, [&](const auto& item) { return item->Guid == aGuid; });
}

std::vector<TtvqWSQoSItem> TtvqWSProtocol_tvq_Server::QoSMessages() {
  TtvqLock guard(FCSArray[2]);
  std::vector<TtvqWSQoSItem> items;
  for (const auto& item : FQoSList) items.push_back(*item);
  return items;
}

void TtvqWSProtocol_tvq_Server::StartQoSTimer() {
  if (QoS.Level == qosLevel0) return;
  if (!FQoSTimer) {
    FQoSTimer = std::make_unique<TtvqTimer>();
    FQoSTimer->Platform = Platform;
    FQoSTimer->OnTimer = [this](TtvqTimer&) { DoQoSResend(); };
    FQoSTimer->OnException = [this](TtvqTimer&, std::exception_ptr e) { DoEventException(nullptr, ExceptionText(e), e); };
  }
  FQoSTimer->NotifyEvents = NotifyEvents();
  FQoSTimer->Interval = QoS.Interval * 1000;
  if (QoS.Interval > 0) FQoSTimer->SetEnabled(true);
}

void TtvqWSProtocol_tvq_Server::StopQoSTimer() { FQoSTimer.reset(); }

// Every record older than the timeout is sent again on each tick until it
// is acknowledged; the records are copied under their lock and sent after.
void TtvqWSProtocol_tvq_Server::DoQoSResend() {
  const auto now = TClock::now();
  for (const TtvqWSQoSItem& item : QoSMessages())
    if (std::chrono::duration_cast<std::chrono::seconds>(now - item.Date).count() > QoS.Timeout)
      TtvqWSProtocol_Subscription_Server_Base::WriteData(item.Guid, item.Text);
}

// ---------------------------------------------------------------- events

void TtvqWSProtocol_tvq_Server::DoEventNotification(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage) {
  if (OnNotification) OnNotification(aConnection, aMessage.method, aMessage.params);
}

void TtvqWSProtocol_tvq_Server::DoEventRPC(TtvqWSConnection* aConnection, TtvqWSMessage& aMessage) {
  if (OnRPC) OnRPC(aConnection, aMessage.id, aMessage.method, aMessage.params);
}

void TtvqWSProtocol_tvq_Server::DoEventRPCAuthentication(TtvqWSConnection* aConnection, const std::string& aMethod,
                                                         bool& aAuthenticated) {
  // No authentication is negotiated in this system: user and password are
  // empty.
  if (OnRPCAuthentication) OnRPCAuthentication(aConnection, aMethod, "", "", aAuthenticated);
}

void TtvqWSProtocol_tvq_Server::DoBeforePublish(TtvqWSConnection* aConnection, const std::string& aChannel,
                                                std::string& aText, bool& aAccept) {
  if (OnBeforePublish) OnBeforePublish(aConnection, aChannel, aText, aAccept);
}

void TtvqWSProtocol_tvq_Server::DoEventAcknowledgment(TtvqWSConnection* aConnection, const std::string& aId) {
  if (OnAcknowledgment) OnAcknowledgment(aConnection, aId);
}

bool TtvqWSProtocol_tvq_Server::IsEditAllowed(TtvqWSConnection*, const TtvqWSMessage& aMessage) {
  return ClientPublish || (aMessage.method != tvqMethod::Publish && aMessage.method != tvqMethod::Broadcast);
}

bool TtvqWSProtocol_tvq_Server::IsMethodAllowed(TtvqWSConnection* aConnection, const std::string& aMethod) {
  if (!RPCAuthentication.Enabled) return true;
  const auto& methods = RPCAuthentication.Methods;
  if (std::find(methods.begin(), methods.end(), aMethod) != methods.end()) return true;
  bool authenticated = false;
  DoEventRPCAuthentication(aConnection, aMethod, authenticated);
  return authenticated;
}
