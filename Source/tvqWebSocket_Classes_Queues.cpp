#include "tvqWebSocket_Classes_Queues.h"

void TtvqQueueItemConnection::SetConnection(TtvqWSConnection* aConnection) {
  FConnection = aConnection;
  if (aConnection) ID = aConnection->Guid();
}

void TtvqQueueItemChannel::SetConnection(TtvqWSConnection* aConnection) {
  FConnection = aConnection;
  if (aConnection) ID = aConnection->Guid();
}

std::string TtvqDelimitedText(const std::vector<std::string>& aNames) {
  std::string text;
  for (std::size_t i = 0; i < aNames.size(); ++i) {
    if (i > 0) text.push_back(',');
    const std::string& name = aNames[i];
    const bool quote = name.find_first_of(",\"") != std::string::npos ||
                       std::any_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    if (!quote) {
      text += name;
      continue;
    }
    text.push_back('"');
    for (char c : name) {
      if (c == '"') text.push_back('"');
      text.push_back(c);
    }
    text.push_back('"');
  }
  return text;
}

TtvqWSConnection* TtvqCacheQueueListConnections::GetConnection(const std::string& aGuid) {
  return Visit(aGuid, [](TtvqQueueItemConnection* item) { return item ? item->Connection() : nullptr; });
}

void TtvqQueueListChannels::GetChannels(const std::string& aID,
                                        std::vector<TtvqQueueItemChannel*>& aList) {
  TtvqLock guard(FLock);
  for (auto it = FList.rbegin(); it != FList.rend(); ++it)
    if (TtvqQueueItemChannel* item = (*it)->GetItem(aID)) aList.push_back(item);
}

void TtvqQueueListChannels::GetConnections(const std::string& aChannel,
                                           std::vector<TtvqWSConnection*>& aList) {
  TQueue* queue = GetQueueByName(aChannel);
  auto items = queue->Lock();
  for (auto it = items->rbegin(); it != items->rend(); ++it) aList.push_back((*it)->Connection());
}

TtvqQueueList::~TtvqQueueList() {
  FreeObjects();
  Clear();
}

void TtvqQueueList::FreeObjects() {
  TtvqLock guard(FLock);
  while (!FList.empty()) {
    TtvqQueueObject* item = FList.front();
    EraseAt(0);
    delete item;
  }
}

TtvqWSObjectList::~TtvqWSObjectList() { DeleteAll(); }

namespace {

std::unique_ptr<TtvqWSNotifyObject> NewNotifyObject(TtvqWSConnection* aConnection) {
  auto object = std::make_unique<TtvqWSNotifyObject>();
  object->Connection = aConnection;
  return object;
}

}  // namespace

// The object is complete before it is published: the main thread may take
// it the moment the lock is released.
void TtvqWSObjectList::Push(std::unique_ptr<TtvqWSNotifyObject> aObject) {
  TtvqLock guard(FLock);
  Append(aObject.get());
  aObject.release();
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection) {
  Push(NewNotifyObject(aConnection));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText) {
  auto object = NewNotifyObject(aConnection);
  object->Text = aText;
  Push(std::move(object));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, int aInt) {
  auto object = NewNotifyObject(aConnection);
  object->Int = aInt;
  Push(std::move(object));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, const TtvqBytes& aStream) {
  auto object = NewNotifyObject(aConnection);
  object->Stream = aStream;
  Push(std::move(object));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText,
                                       const std::string& aText1) {
  auto object = NewNotifyObject(aConnection);
  object->Text = aText;
  object->Text1 = aText1;
  Push(std::move(object));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, const TtvqBytes& aStream,
                                       TOpcode aOpCode, bool aContinuation) {
  auto object = NewNotifyObject(aConnection);
  object->Stream = aStream;
  object->Int = static_cast<int>(aOpCode);
  object->Text1.assign(1, aContinuation ? '1' : '0');
  Push(std::move(object));
}

void TtvqWSObjectList::AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText,
                                       std::exception_ptr aException) {
  auto object = NewNotifyObject(aConnection);
  object->Text = aText;
  object->RawException = std::move(aException);
  Push(std::move(object));
}

void TtvqWSObjectList::DeleteAll() {
  TtvqLock guard(FLock);
  while (!FList.empty()) EraseAt(0);
}

void TtvqWSObjectList::DeleteConnection(const TtvqWSConnection* aConnection) {
  TtvqLock guard(FLock);
  for (std::size_t i = FList.size(); i-- > 0;)
    if (FList[i]->Connection == aConnection) EraseAt(i);
}
