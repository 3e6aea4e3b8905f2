#include "tvqWebSocket_Protocol_Base_Server.h"

#include <algorithm>

#include "tvqWebSocket_HTTPResponse.h"
#include "tvqWebSocket_Platform.h"

namespace {

bool InList(const std::vector<std::string>& aList, const std::string& aGuid) {
  return std::find(aList.begin(), aList.end(), aGuid) != aList.end();
}

}  // namespace

// ---------------------------------------------------------------- TtvqWSProtocol

bool TtvqWSProtocol::DoRawMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  bool handled = false;
  if (OnRawMessage) OnRawMessage(aConnection, aText, handled);
  return handled;
}

void TtvqWSProtocol::AddProtocolItem(TtvqWSConnection* aConnection, const std::string& aId,
                                     std::unique_ptr<TtvqQueueItemBase> aItem) {
  if (!aConnection || !aItem) return;
  aItem->ID = aId;
  aConnection->ProtocolData().AddItem(aItem.release());
}

std::string TtvqWSProtocol::ChannelNames(const std::string& aChannels, bool aKeepNamed) const {
  std::string names;
  for (const std::string& part : TtvqSplitCommas(aChannels))
    names += (names.empty() ? "" : ",") + (aKeepNamed && part.front() == '_' ? part : ChannelName(part));
  return names;
}

TtvqQueueItemBase* TtvqWSProtocol::GetProtocolItem(TtvqWSConnection* aConnection, const std::string& aId) {
  return aConnection ? aConnection->ProtocolData().GetItem(aId) : nullptr;
}

// ---------------------------------------------------------------- TtvqWSProtocol_Server

TtvqWSProtocol_Server::~TtvqWSProtocol_Server() {
  StopDeliveries();
  SetServer(nullptr);
}

void TtvqWSProtocol_Server::SetServer(TtvqWSComponent_Server* aServer) {
  if (IsLoading() || IsDesigning()) {
    FServer = aServer;
    return;
  }
  if (aServer == FServer) return;
  if (FServer) FServer->DoUnRegisterProtocol(this);
  FServer = aServer;
  if (FServer) FServer->DoRegisterProtocol(this);
}

void TtvqWSProtocol_Server::Loaded() {
  const bool wasLoading = FLoading;
  FLoading = false;
  if (wasLoading && FServer) FServer->DoRegisterProtocol(this);  // attached meanwhile, not yet registered
}

void TtvqWSProtocol_Server::Notification(TtvqComponent_Base* aComponent) {
  if (FServer && aComponent == FServer) FServer = nullptr;
}

void TtvqWSProtocol_Server::DoNotifyBinary(TtvqWSConnection* aConnection) {
  if (aConnection && MsgType == msgText && FServer && !FServer->Specifications.RFC6455) {
    const TtvqBytes& data = aConnection->MsgBinaryReceived;
    aConnection->SetMsgReceived(std::string(data.begin(), data.end()));
    DoNotifyMessage(aConnection);
    return;
  }
  TtvqWSProtocol::DoNotifyBinary(aConnection);
}

// ---------------------------------------------------------------- TtvqWSProtocol_Server_Base

bool TtvqWSProtocol_Server_Base::IsBroadcastTarget(TtvqWSConnection* aConnection, const std::string& aChannel,
                                                   const std::vector<std::string>& aInclude,
                                                   const std::vector<std::string>& aExclude) {
  if (!aConnection || !aConnection->Enabled()) return false;
  try {
    if (!aExclude.empty() && InList(aExclude, aConnection->Guid())) return false;
    if (!aInclude.empty() && !InList(aInclude, aConnection->Guid())) return false;
    const std::string channel = ChannelNames(aChannel, true);
    return tvqSameText(aConnection->Protocol, Protocol) && aConnection->Subscribed(channel);
  } catch (const std::exception& e) {
    DoReportError(aConnection, e.what());
    return false;
  }
}

void TtvqWSProtocol_Server_Base::GetBroadcastTargets(const std::string& aChannel, const std::string& aExclude,
                                                     std::vector<TtvqWSConnection*>& aList,
                                                     const std::string& aInclude) {
  TtvqWSComponent_Server* server = ActiveServer();
  if (!server) return;
  const std::vector<std::string> exclude = TtvqSplitCommas(aExclude);
  const std::vector<std::string> include = TtvqSplitCommas(aInclude);
  for (TtvqWSConnection* connection : server->GetConnectionList())
    if (IsBroadcastTarget(connection, aChannel, include, exclude)) aList.push_back(connection);
}

void TtvqWSProtocol_Server_Base::Broadcast(const std::string& aMessage, const std::string& aChannel,
                                           const std::string& aExclude, const std::string& aInclude) {
  if (TtvqWSComponent_Server* server = ActiveServer())
    server->Broadcast(aMessage, aChannel, BroadcastProtocolName(), TtvqSplitCommas(aExclude),
                      TtvqSplitCommas(aInclude));
}

void TtvqWSProtocol_Server_Base::Broadcast(const TtvqBytes& aStream, const std::string& aChannel,
                                           const std::string& aExclude, const std::string& aInclude, int aSize,
                                           TwsStreaming aStreaming) {
  if (TtvqWSComponent_Server* server = ActiveServer())
    server->Broadcast(aStream, aChannel, BroadcastProtocolName(), TtvqSplitCommas(aExclude),
                      TtvqSplitCommas(aInclude), aSize, aStreaming);
}

bool TtvqWSProtocol_Server_Base::WriteData(const std::string& aGuid, const std::string& aMessage) {
  TtvqWSComponent_Server* server = ActiveServer();
  return server && server->WriteData(aGuid, aMessage);
}

bool TtvqWSProtocol_Server_Base::WriteData(const std::string& aGuid, const TtvqBytes& aStream, int aSize,
                                           TwsStreaming aStreaming) {
  TtvqWSComponent_Server* server = ActiveServer();
  return server && server->WriteData(aGuid, aStream, aSize, aStreaming);
}

bool TtvqWSProtocol_Server_Base::WriteToConnection(TtvqWSConnection* aConnection, const std::string& aMessage) {
  if (!aConnection) return false;
  aConnection->WriteData(aMessage);
  return true;
}

bool TtvqWSProtocol_Server_Base::WriteToConnection(TtvqWSConnection* aConnection, const TtvqBytes& aStream) {
  if (!aConnection) return false;
  aConnection->WriteData(aStream);
  return true;
}

// ---------------------------------------------------------------- TtvqWSProtocol_Subscription_Server_Base

// (Un)subscriptions waiting for the main thread, and the mark that keeps
// their processing from running inside itself.
struct TtvqWSProtocol_Subscription_Server_Base::TPending {
  explicit TPending(void (TtvqWSProtocol_Subscription_Server_Base::*aRaise)(TtvqWSConnection*, const std::string&))
      : Raise(aRaise) {}
  void (TtvqWSProtocol_Subscription_Server_Base::*Raise)(TtvqWSConnection*, const std::string&);
  TtvqWSObjectList List;
  bool Busy = false;  // main thread only
};

TtvqWSProtocol_Subscription_Server_Base::TtvqWSProtocol_Subscription_Server_Base()
    : FSubscribing(std::make_unique<TPending>(&TtvqWSProtocol_Subscription_Server_Base::DoEventSubscription)),
      FUnSubscribing(std::make_unique<TPending>(&TtvqWSProtocol_Subscription_Server_Base::DoEventUnSubscription)) {
  SetNotifyEvents(neNoSync);
}

TtvqWSProtocol_Subscription_Server_Base::~TtvqWSProtocol_Subscription_Server_Base() {
  StopDeliveries();
  SetServer(nullptr);
}

TtvqQueueListChannels& TtvqWSProtocol_Subscription_Server_Base::ChannelIndex() {
  TtvqLock guard(FCS);
  if (!FChannels) FChannels = std::make_unique<TtvqQueueListChannels>();
  return *FChannels;
}

void TtvqWSProtocol_Subscription_Server_Base::DoBeforeSubscription(TtvqWSConnection* aConnection,
                                                                   const std::string& aChannel, bool& aAccept) {
  if (OnBeforeSubscription) OnBeforeSubscription(aConnection, aChannel, aAccept);
}

void TtvqWSProtocol_Subscription_Server_Base::DoEventSubscription(TtvqWSConnection* aConnection,
                                                                  const std::string& aChannel) {
  AddSubscription(aChannel, aConnection);
  if (OnSubscription) OnSubscription(aConnection, aChannel);
}

void TtvqWSProtocol_Subscription_Server_Base::DoEventUnSubscription(TtvqWSConnection* aConnection,
                                                                    const std::string& aChannel) {
  RemoveSubscription(aChannel, aConnection);
  if (OnUnSubscription) OnUnSubscription(aConnection, aChannel);
}

void TtvqWSProtocol_Subscription_Server_Base::DoNotifySubscription(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  Notify(*FSubscribing, aConnection, aConnection->LastSubscription);
}

void TtvqWSProtocol_Subscription_Server_Base::DoNotifyUnSubscription(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  Notify(*FUnSubscribing, aConnection, aConnection->LastUnSubscription);
}

void TtvqWSProtocol_Subscription_Server_Base::Notify(TPending& aPending, TtvqWSConnection* aConnection,
                                                     const std::string& aChannel) {
  const TwsNotifyEvent mode = NotifyEvents();
  if (mode == neNoSync) {
    (this->*aPending.Raise)(aConnection, aChannel);
    return;
  }
  aPending.List.AddNotifyObject(aConnection, aChannel);
  // Already on the main thread (the connection's message is being handled
  // there): at once, so that the event keeps its place among the others.
  if (PlatformOrProcess().IsMainThread()) {
    ProcessPending(aPending);
    return;
  }
  auto process = [this, alive = AliveToken(), pending = &aPending] {
    if (*alive) ProcessPending(*pending);
  };
  if (mode == neAsynchronous)
    PlatformOrProcess().Queue(process);
  else
    PlatformOrProcess().Synchronize(process);
}

// Handles the waiting entries from the newest to the oldest, each taken out
// of the list before its handler runs; the busy mark is cleared also when
// a handler fails.
void TtvqWSProtocol_Subscription_Server_Base::ProcessPending(TPending& aPending) {
  if (IsDestroying() || aPending.Busy) return;
  aPending.Busy = true;
  TtvqClearOnExit endBusy(aPending.Busy);
  while (true) {
    std::unique_ptr<TtvqWSNotifyObject> item;
    {
      auto items = aPending.List.Lock();
      if (items->empty()) return;
      item.reset(items->back());
      items->pop_back();
    }
    (this->*aPending.Raise)(item->Connection, item->Text);
  }
}

void TtvqWSProtocol_Subscription_Server_Base::AddSubscription(const std::string& aChannel,
                                                              TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  auto item = std::make_unique<TtvqQueueItemChannel>(aConnection, aChannel);
  if (ChannelIndex().AddItem(item.get())) item.release();
}

void TtvqWSProtocol_Subscription_Server_Base::RemoveSubscription(const std::string& aChannel,
                                                                 TtvqWSConnection* aConnection) {
  if (aConnection) ChannelIndex().DeleteItem(aChannel, aConnection->Guid());
}

void TtvqWSProtocol_Subscription_Server_Base::UnSubscribeAll(TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  std::vector<std::string> channels;
  {
    std::vector<TtvqQueueItemChannel*> items;
    ChannelIndex().GetChannels(aConnection->Guid(), items);
    for (const TtvqQueueItemChannel* item : items) channels.push_back(item->Queue);
  }
  for (auto it = channels.rbegin(); it != channels.rend(); ++it) {
    if (OnUnSubscription) OnUnSubscription(aConnection, *it);
    aConnection->DoUnSubscribe(ChannelName(*it));
    RemoveSubscription(*it, aConnection);
  }
}

void TtvqWSProtocol_Subscription_Server_Base::GetSubscriptionChannels(const std::string& aChannel,
                                                                      std::vector<std::string>& aList) {
  if (UseMatchesMask) {
    TtvqQueueListChannels& index = ChannelIndex();
    auto queues = index.Lock();
    for (const auto* queue : *queues)
      if (index.IsKnown(*queue) && tvqMatchesMask(queue->QueueName, aChannel)) aList.push_back(queue->QueueName);
  }
  if (!aList.empty()) return;
  if (aChannel.find(',') == std::string::npos) {
    aList.push_back(aChannel);
    return;
  }
  for (const std::string& channel : TtvqSplitCommas(aChannel)) aList.push_back(channel);
}

void TtvqWSProtocol_Subscription_Server_Base::DoEventDisconnect(TtvqWSConnection* aConnection, int aCode) {
  UnSubscribeAll(aConnection);
  // A notification still waiting for a closed connection would put it back
  // into the channel index after it is gone.
  for (TPending* pending : {FSubscribing.get(), FUnSubscribing.get()}) pending->List.DeleteConnection(aConnection);
  TtvqWSProtocol_Server_Base::DoEventDisconnect(aConnection, aCode);
}
