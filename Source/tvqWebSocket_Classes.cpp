#include "tvqWebSocket_Classes.h"

#include <openssl/rand.h>
#include <pthread.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <random>

#include "tvqWebSocket_Platform.h"

std::string TtvqNewGuid() {
  std::array<std::uint8_t, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // The generator is unavailable: fall back to the OS entropy source.
    std::random_device device;
    for (auto& b : bytes) b = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(32);
  for (std::uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0x0F]);
  }
  return text;
}

// ---------------------------------------------------------------- TtvqTCPConnection_Base

TtvqTCPConnection_Base::TtvqTCPConnection_Base() : FGuid(TtvqNewGuid()) {}

TtvqTCPConnection_Base::TAddresses TtvqTCPConnection_Base::Addresses() {
  std::lock_guard guard(FAddressesLock);
  if (!FAddressesRead) {
    try {
      FAddressesRead = ReadAddresses(FAddresses);
    } catch (...) {
      // the socket is gone: empty and 0 until a read succeeds
    }
  }
  return FAddresses;
}

std::string TtvqTCPConnection_Base::IP() { return Addresses().IP; }
std::string TtvqTCPConnection_Base::LocalIP() { return Addresses().LocalIP; }
int TtvqTCPConnection_Base::Port() { return Addresses().Port; }
int TtvqTCPConnection_Base::LocalPort() { return Addresses().LocalPort; }

std::string TtvqTCPConnection_Base::MsgReceived() const {
  std::lock_guard guard(FWaitLock);
  return FMsgReceived;
}

void TtvqTCPConnection_Base::SetMsgReceived(const std::string& aText) {
  {
    std::lock_guard guard(FWaitLock);
    FMsgReceived = aText;
  }
  FWaitCondition.notify_all();
}

// ---------------------------------------------------------------- held-back messages

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

// ---------------------------------------------------------------- TtvqWSConnection

TtvqWSConnection::TtvqWSConnection() {
  for (auto& level : FQueueLevels) level = std::make_unique<TtvqQueueList>();
  FProtocolData = std::make_unique<TtvqQueue<TtvqQueueItemBase>>();
  FProtocolData->SetOwnObjects(true);
}

TtvqWSConnection::~TtvqWSConnection() { TtvqWriteCork::Forget(this); }

TtvqQueue<TtvqQueueItemBase>& TtvqWSConnection::ProtocolData() { return *FProtocolData; }

TtvqQueueList& TtvqWSConnection::QueueLevel(TwsQueueMsgLevels aLevel) {
  return *FQueueLevels[static_cast<std::size_t>(aLevel - qmLevel0)];
}

void TtvqWSConnection::FreeQueuedMessages(std::initializer_list<int> aLevels) {
  for (int level : aLevels) FQueueLevels[static_cast<std::size_t>(level)]->FreeObjects();
}

void TtvqWSConnection::SetDisconnected(bool aValue) {
  if (!Disconnected()) FreeQueuedMessages({0, 1, 2});
  FDisconnected.store(aValue, std::memory_order_release);
}

std::vector<std::string> TtvqWSConnection::Subscriptions() const {
  TtvqLock guard(const_cast<TtvqCriticalSection&>(FCSArray[0]));
  return {FSubscriptions.begin(), FSubscriptions.end()};
}

TtvqDateTime TtvqWSConnection::LastPing() const {
  std::lock_guard guard(FWaitLock);
  return FLastPing;
}
TtvqDateTime TtvqWSConnection::LastPong() const {
  std::lock_guard guard(FWaitLock);
  return FLastPong;
}
TtvqDateTime TtvqWSConnection::FirstPing() const {
  std::lock_guard guard(FWaitLock);
  return FFirstPing;
}
std::string TtvqWSConnection::Pong() const {
  std::lock_guard guard(FWaitLock);
  return FPong;
}

void TtvqWSConnection::NotePing() {
  std::lock_guard guard(FWaitLock);
  FLastPing = std::chrono::system_clock::now();
  if (FFirstPing == TtvqDateTime{}) FFirstPing = FLastPing;
}

void TtvqWSConnection::NotePong(const std::string* aMatchedText) {
  {
    std::lock_guard guard(FWaitLock);
    FLastPong = std::chrono::system_clock::now();
    if (aMatchedText) FPong = *aMatchedText;
  }
  FWaitCondition.notify_all();
}

void TtvqWSConnection::HoldBack(TwsQueueMsgLevels aLevel, TOpcode aOpCode, const std::string& aText,
                                const TtvqBytes& aStream, int aSize, TwsStreaming aStreaming) {
  auto object = std::make_unique<TtvqQueueObject>();
  object->OpCode = aOpCode;
  object->Text = aText;
  object->Stream = aStream;
  object->Size = aSize;
  object->Streaming = aStreaming;
  QueueLevel(aLevel).Add(object.release());
}

void TtvqWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (QueueOptions.Text.Level != qmNone)
    HoldBack(QueueOptions.Text.Level, opText, aText, {}, aSize, aStreaming);
  else
    DoWriteData(aText, aSize, aStreaming);
}

void TtvqWSConnection::WriteData(const TtvqBytes& aStream, int aSize, TwsStreaming aStreaming) {
  if (QueueOptions.Binary.Level != qmNone)
    HoldBack(QueueOptions.Binary.Level, opBinary, {}, aStream, aSize, aStreaming);
  else
    DoWriteData(aStream, aSize, aStreaming);
}

std::string TtvqWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut) {
  SetMsgReceived({});
  WriteData(aText, 0, stmNone);
  if (aTimeOut <= 0) return {};
  FlushBacklog();  // the text goes now, also under a cork, before the wait
  std::unique_lock guard(FWaitLock);
  FWaitCondition.wait_for(guard, std::chrono::milliseconds(aTimeOut), [this] { return !MsgReceivedLocked().empty(); });
  return MsgReceivedLocked();
}

void TtvqWSConnection::Ping(const std::string& aText) {
  if (QueueOptions.Ping.Level != qmNone)
    DoQueuePing(aText);
  else
    DoPing(aText);
}

bool TtvqWSConnection::Ping(const std::string& aText, int aTimeOut) {
  Ping(aText);
  if (aTimeOut <= 0) return false;
  FlushBacklog();  // a corked ping would wait for an answer it never asked for
  std::unique_lock guard(FWaitLock);
  return FWaitCondition.wait_for(guard, std::chrono::milliseconds(aTimeOut), [&] { return FPong == aText; });
}

void TtvqWSConnection::DoQueuePing(const std::string& aText) {
  HoldBack(QueueOptions.Ping.Level, opPing, aText, {}, 0, stmNone);
}

void TtvqWSConnection::Close(int aCloseCode) {
  SetDisconnected(true);
  const TwsTransport transport = Transport();
  if (transport == trpRFC6455 || transport == trpFlash || transport == trpRFC8441)
    DoWriteClose(aCloseCode);
  else
    DoCloseConnection({}, aCloseCode);
}

void TtvqWSConnection::Disconnect(int aCloseCode) {
  SetDisconnected(true);
  DoCloseConnection({}, aCloseCode);
}

namespace {

std::string FoldedName(const std::string& aName) {
  std::string folded = aName;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace

void TtvqWSConnection::DoSubscribe(const std::string& aChannels) {
  for (const std::string& name : TtvqSplitCommas(aChannels)) {
    {
      TtvqLock guard(FCSArray[0]);
      const std::string key = FoldedName(name);
      if (FSubscribedNames.count(key)) continue;
      FSubscribedNames.emplace(key, FSubscriptions.insert(FSubscriptions.end(), name));
    }
    if (OnSubscription) OnSubscription(*this, name);
  }
}

void TtvqWSConnection::DoUnSubscribe(const std::string& aChannels) {
  for (const std::string& name : TtvqSplitCommas(aChannels)) {
    {
      TtvqLock guard(FCSArray[0]);
      const auto it = FSubscribedNames.find(FoldedName(name));
      if (it == FSubscribedNames.end()) continue;
      FSubscriptions.erase(it->second);
      FSubscribedNames.erase(it);
    }
    if (OnUnSubscription) OnUnSubscription(*this, name);
  }
}

bool TtvqWSConnection::Subscribed(const std::string& aChannel) const {
  if (aChannel.empty()) return true;
  TtvqLock guard(const_cast<TtvqCriticalSection&>(FCSArray[0]));
  for (const std::string& name : TtvqSplitCommas(aChannel))
    if (FSubscribedNames.count(FoldedName(name))) return true;
  return false;
}

std::size_t TtvqWSConnection::SubscriptionCount() const {
  TtvqLock guard(const_cast<TtvqCriticalSection&>(FCSArray[0]));
  return FSubscriptions.size();
}

void TtvqWSConnection::DoSendQueuedMessages() {
  for (auto& level : FQueueLevels) {
    if (!Enabled()) return;
    // Take the whole list at once; the objects are freed after sending,
    // also when a write fails.
    std::vector<std::unique_ptr<TtvqQueueObject>> taken;
    {
      auto items = level->Lock();
      for (TtvqQueueObject* object : *items) taken.emplace_back(object);
      items->clear();
    }
    for (auto& object : taken) {
      switch (object->OpCode) {
        case opText: DoWriteData(object->Text, object->Size, object->Streaming); break;
        case opBinary: DoWriteData(object->Stream, object->Size, object->Streaming); break;
        case opPing: DoPing(object->Text); break;
        default: break;
      }
    }
  }
}

// ---------------------------------------------------------------- TtvqTimer

TtvqTimer::TtvqTimer() = default;

TtvqTimer::~TtvqTimer() {
  FAlive->store(false);
  SetEnabled(false);
}

bool TtvqTimer::Enabled() const {
  std::lock_guard guard(FLock);
  return FEnabled;
}

void TtvqTimer::SetEnabled(bool aValue) {
  std::vector<std::thread> ended;
  {
    std::lock_guard guard(FLock);
    if (aValue != FEnabled) {
      FEnabled = aValue;
      ++FGeneration;  // a thread of an older generation ends at its next look
      if (aValue) FThreads.emplace_back([this, generation = FGeneration] { Execute(generation); });
    }
    // Join the ended threads, but never the calling one (a tick may disable
    // its own timer): it stays listed for a later call or the destructor.
    for (auto it = FThreads.begin(); it != FThreads.end();) {
      const bool current = aValue && std::next(it) == FThreads.end();
      if (current || it->get_id() == std::this_thread::get_id()) {
        ++it;
        continue;
      }
      ended.push_back(std::move(*it));
      it = FThreads.erase(it);
    }
  }
  FWake.notify_all();
  for (auto& thread : ended) thread.join();
}

void TtvqTimer::Execute(std::uint64_t aGeneration) {
  std::unique_lock guard(FLock);
  int left = Interval;
  while (Current(aGeneration)) {
    // Count the interval down in 100 ms steps; disabling wakes it at once.
    FWake.wait_for(guard, std::chrono::milliseconds(100), [&] { return !Current(aGeneration); });
    if (!Current(aGeneration)) break;
    left -= 100;
    if (left > 0) continue;
    left = Interval;
    guard.unlock();
    Fire(aGeneration);
    guard.lock();
  }
}

void TtvqTimer::Fire(std::uint64_t aGeneration) {
  const auto tick = [this] {
    try {
      if (OnTimer) OnTimer(*this);
    } catch (...) {
      if (!OnException) throw;  // on the thread that ran the tick
      OnException(*this, std::current_exception());
    }
  };
  const TwsNotifyEvent mode = NotifyEvents.load();
  if (mode == neNoSync) {
    try {
      tick();
    } catch (...) {
      // on the timer thread an error ends this count; the next one starts
    }
    return;
  }
  ItvqPlatform* platform = Platform ? Platform : tvqPlatform();
  if (!platform) return;
  if (mode == neAsynchronous) {
    platform->Queue([alive = FAlive, tick] {
      if (*alive) tick();
    });
    return;
  }
  // Synchronous: wait until the main thread has run the tick, or until the
  // timer is disabled (possibly by the main thread, which then cannot run
  // the tick while it waits for this thread).
  auto done = std::make_shared<bool>(false);
  platform->Queue([this, alive = FAlive, tick, done] {
    struct Done {
      TtvqTimer* timer;
      const std::shared_ptr<std::atomic<bool>>& alive;
      const std::shared_ptr<bool>& done;
      ~Done() {
        if (!*alive) return;
        {
          std::lock_guard guard(timer->FLock);
          *done = true;
        }
        timer->FWake.notify_all();
      }
    } signal{this, alive, done};
    if (*alive) tick();
  });
  std::unique_lock guard(FLock);
  FWake.wait(guard, [&] { return *done || !Current(aGeneration); });
}

// ---------------------------------------------------------------- TtvqTCPComponent_Base

ItvqPlatform& TtvqTCPComponent_Base::PlatformOrProcess() const {
  ItvqPlatform* platform = Platform ? Platform : tvqPlatform();
  if (!platform) throw TtvqWSException("No main thread to deliver events to");
  return *platform;
}

// ---------------------------------------------------------------- pending events

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

// ---------------------------------------------------------------- TtvqWSComponent_Base

TtvqWSComponent_Base::TtvqWSComponent_Base() {
  for (auto& list : FNotify) list = std::make_unique<TtvqWSObjectList>();
  FQueueMessage = std::make_unique<TtvqWSObjectList>();
  FQueueBinary = std::make_unique<TtvqWSObjectList>();
  FQueueFragmented = std::make_unique<TtvqWSObjectList>();
}

TtvqWSComponent_Base::~TtvqWSComponent_Base() { StopDeliveries(); }

void TtvqWSComponent_Base::StopDeliveries() {
  BeginDestroy();
  FAlive->store(false);
}

template <class FAdd>
void TtvqWSComponent_Base::Dispatch(TKind aKind, FAdd&& aAdd, const std::function<void()>& aRaiseNow) {
  switch (NotifyEvents()) {
    case neNoSync:
      aRaiseNow();
      return;
    case neAsynchronous:
    case neSynchronous: {
      aAdd(*FNotify[aKind]);
      auto drain = [this, alive = FAlive, aKind] {
        if (*alive) Drain(aKind);
      };
      if (NotifyEvents() == neAsynchronous)
        PlatformOrProcess().Queue(drain);
      else
        PlatformOrProcess().Synchronize(drain);
      return;
    }
  }
}

void TtvqWSComponent_Base::DoNotifyConnect(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal || !aConnection->FNotifyConnection) return;
  Dispatch(evConnect, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection); },
           [&] { DoEventConnect(aConnection); });
}

void TtvqWSComponent_Base::DoNotifyDisconnect(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection) return;
  if (aConnection->FIsInternal || !aConnection->FNotifyDisconnection) {
    DoFreeConnection(aConnection);  // no event: only released
    return;
  }
  const int code = aConnection->CloseCode;
  Dispatch(evDisconnect, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, code); },
           [&] {
             DoEventDisconnect(aConnection, code);
             DoFreeConnection(aConnection);
           });
}

void TtvqWSComponent_Base::DoNotifyMessage(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal) return;
  const std::string text = aConnection->MsgReceived();
  Dispatch(evMessage, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, text); },
           [&] { DoEventMessage(aConnection, text); });
}

void TtvqWSComponent_Base::DoNotifyBinary(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal) return;
  const TtvqBytes& data = aConnection->MsgBinaryReceived;
  Dispatch(evBinary, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, data); },
           [&] { DoEventBinary(aConnection, data); });
}

void TtvqWSComponent_Base::DoNotifyFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                                              bool aContinuation) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal) return;
  Dispatch(evFragmented,
           [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, aData, aOpCode, aContinuation); },
           [&] { DoEventFragmented(aConnection, aData, aOpCode, aContinuation); });
}

void TtvqWSComponent_Base::DoNotifyError(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal) return;
  const std::string error = aConnection->MsgError;
  Dispatch(evError, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, error); },
           [&] { DoEventError(aConnection, error); });
}

void TtvqWSComponent_Base::DoNotifyException(TtvqWSConnection* aConnection) {
  if (IsDestroying() || !aConnection || aConnection->FIsInternal) return;
  const std::string error = aConnection->MsgException;
  const std::exception_ptr raw = aConnection->RawException;
  Dispatch(evException, [&](TtvqWSObjectList& l) { l.AddNotifyObject(aConnection, error, raw); },
           [&] { DoEventException(aConnection, error, raw); });
}

void TtvqWSComponent_Base::Raise(TKind aKind, TtvqWSNotifyObject& aItem) {
  TtvqWSConnection* connection = aItem.Connection;
  switch (aKind) {
    case evConnect: DoEventConnect(connection); break;
    case evDisconnect: DoEventDisconnect(connection, aItem.Int); break;
    case evMessage: DoEventMessage(connection, aItem.Text); break;
    case evBinary: DoEventBinary(connection, aItem.Stream); break;
    case evFragmented: DoEventFragmented(connection, aItem.Stream, static_cast<TOpcode>(aItem.Int), aItem.Text1 == "1"); break;
    case evError: DoEventError(connection, aItem.Text); break;
    case evException: DoEventException(connection, aItem.Text, aItem.RawException); break;
    case evKinds: break;
  }
}

std::unique_ptr<TtvqWSNotifyObject> TtvqWSComponent_Base::TakeFirst(TtvqWSObjectList& aList) {
  auto items = aList.Lock();
  if (items->empty()) return nullptr;
  std::unique_ptr<TtvqWSNotifyObject> first(items->front());
  items->erase(items->begin());
  return first;
}

// The events of one kind are raised one at a time, oldest first, each taken
// out of the list before its handler runs: a connection thread appending
// meanwhile never waits for a handler, and an event whose handler fails is
// gone while the rest wait for the next drain.
void TtvqWSComponent_Base::Drain(TKind aKind) {
  tvqAssertMainThread(Platform);
  if (IsDestroying()) return;
  if (FAsync[aKind]) return;  // a drain of this kind runs further up the stack
  FAsync[aKind] = true;
  TtvqWriteCork cork;  // what this run of events writes leaves together
  TtvqClearOnExit endDrain(FAsync[aKind]);
  std::size_t raised = 0;
  while (std::unique_ptr<TtvqWSNotifyObject> item = TakeFirst(*FNotify[aKind])) {
    ++raised;
    if (aKind != evDisconnect) {
      Raise(aKind, *item);
      continue;
    }
    // The connection is released after its disconnect event, also when the
    // handler fails.
    struct Release {
      TtvqWSComponent_Base& component;
      TtvqWSConnection* connection;
      ~Release() {
        if (!connection || connection->FFreed) return;
        try {
          component.DoFreeConnection(connection);
        } catch (...) {
        }
      }
    } release{*this, item->Connection};
    Raise(aKind, *item);
  }
  // A lone event is waited for by every client it writes to: its release
  // may use a second core. A run of many is throughput, and the other core
  // is better left to whoever else needs it.
  if (raised == 1) TtvqWriteCork::ShareRelease();
}

void TtvqWSComponent_Base::DrainAll() {
  for (TKind kind : {evConnect, evMessage, evBinary, evFragmented, evError, evException, evDisconnect}) Drain(kind);
}

void TtvqWSComponent_Base::DoEventConnect(TtvqWSConnection* aConnection) {
  if (OnConnect) OnConnect(aConnection);
}

void TtvqWSComponent_Base::DoEventDisconnect(TtvqWSConnection* aConnection, int aCode) {
  if (OnDisconnect) OnDisconnect(aConnection, aCode);
}

void TtvqWSComponent_Base::DoEventMessage(TtvqWSConnection* aConnection, const std::string& aText) {
  if (!OnMessage) return;
  if (FQueueMessages) {
    FQueueMessage->AddNotifyObject(aConnection, aText);
    return;
  }
  OnMessage(aConnection, aText);
}

void TtvqWSComponent_Base::DoEventBinary(TtvqWSConnection* aConnection, const TtvqBytes& aData) {
  if (!OnBinary) return;
  if (FQueueMessages) {
    FQueueBinary->AddNotifyObject(aConnection, aData);
    return;
  }
  OnBinary(aConnection, aData);
}

void TtvqWSComponent_Base::DoEventFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                                             bool aContinuation) {
  if (!OnFragmented) return;
  if (FQueueMessages) {
    FQueueFragmented->AddNotifyObject(aConnection, aData, aOpCode, aContinuation);
    return;
  }
  OnFragmented(aConnection, aData, aOpCode, aContinuation);
}

void TtvqWSComponent_Base::DoEventError(TtvqWSConnection* aConnection, const std::string& aError) {
  if (OnError) OnError(aConnection, aError);
}

void TtvqWSComponent_Base::DoEventException(TtvqWSConnection* aConnection, const std::string& aError,
                                            std::exception_ptr aE) {
  if (!OnException) return;
  if (!aE) {
    aE = std::make_exception_ptr(TtvqWSException(aError));
  } else {
    try {
      std::rethrow_exception(aE);
    } catch (const std::exception& e) {
      if (std::string(e.what()).empty()) aE = std::make_exception_ptr(TtvqWSException(aError));
    } catch (...) {
    }
  }
  OnException(aConnection, aE);
}

void TtvqWSComponent_Base::SetQueueMessages(bool aValue) {
  if (FQueueProcessing) return;
  FQueueMessages = aValue;
  if (aValue) return;
  FQueueProcessing = true;
  TtvqClearOnExit endReplay(FQueueProcessing);
  for (auto [list, binary] : {std::pair{FQueueMessage.get(), false}, std::pair{FQueueBinary.get(), true}}) {
    // Each held event leaves the list before it is raised, so a handler may
    // clear the list (QueueClear) without pulling the event from under it.
    while (std::unique_ptr<TtvqWSNotifyObject> item = TakeFirst(*list)) {
      // Replayed through the raisers that held them: a sub-protocol's
      // override would read the held text as a protocol message again.
      if (binary)
        TtvqWSComponent_Base::DoEventBinary(item->Connection, item->Stream);
      else
        TtvqWSComponent_Base::DoEventMessage(item->Connection, item->Text);
    }
  }
}

void TtvqWSComponent_Base::QueueClear() {
  FQueueMessage->DeleteAll();
  FQueueBinary->DeleteAll();
}

void TtvqWSComponent_Base::DoReportError(TtvqWSConnection* aConnection, const std::string& aError) noexcept {
  if (IsDestroying()) return;
  try {
    if (OnError) {
      if (aConnection) {
        aConnection->MsgError = aError;
        DoNotifyError(aConnection);
        aConnection->DoAbortConnection();
      } else {
        DoEventError(nullptr, aError);
      }
    } else if (aConnection) {
      aConnection->DoAbortConnection();
    }
  } catch (...) {
  }
}

void TtvqWSComponent_Base::DoReportException(TtvqWSConnection* aConnection, const std::string& aError,
                                             std::exception_ptr aE) noexcept {
  if (IsDestroying()) return;
  try {
    if (OnException) {
      if (aConnection) {
        aConnection->MsgException = aError;
        aConnection->RawException = aE;
        DoNotifyException(aConnection);
        aConnection->DoAbortConnection();
      } else {
        DoEventException(nullptr, aError, aE);
      }
    } else if (aConnection) {
      aConnection->DoAbortConnection();
    }
  } catch (...) {
  }
}

void TtvqWSComponent_Base::DoFreeConnection(TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  // Held messages of a released connection are dropped: raised later, they
  // would hand the application a connection that is gone.
  for (TtvqWSObjectList* held : {FQueueMessage.get(), FQueueBinary.get(), FQueueFragmented.get()})
    held->DeleteConnection(aConnection);
  if (ConnectionOwner) {
    ConnectionOwner->DoFreeConnection(aConnection);
    return;
  }
  aConnection->FFreed = true;
  delete aConnection;
}

// ---------------------------------------------------------------- TtvqWriteCork

namespace {

thread_local int gCorks = 0;
thread_local std::vector<TtvqWSConnection*> gCorked;
thread_local bool gShareRelease = false;

}  // namespace

TtvqWriteCork::TtvqWriteCork() { ++gCorks; }

namespace {

void FlushEach(TtvqWSConnection* const* aFirst, TtvqWSConnection* const* aLast) {
  for (; aFirst != aLast; ++aFirst) {
    try {
      (*aFirst)->FlushBacklog();
    } catch (...) {
      // a failed socket: its own thread sees it and ends the connection
    }
  }
}

// A second thread that sends half of a large shared release, so that one
// broadcast to many clients leaves from two cores. Started on first use,
// joined at exit; one per process, named tvqFlushThreadName.
class TFlushHelper {
 public:
  static TFlushHelper& Instance() {
    static TFlushHelper helper;
    return helper;
  }
  void Start(TtvqWSConnection* const* aFirst, TtvqWSConnection* const* aLast) {
    std::lock_guard guard(FLock);
    FFirst = aFirst;
    FLast = aLast;
    FBusy = true;
    FWake.notify_all();
  }
  void Wait() {
    std::unique_lock lock(FLock);
    FWake.wait(lock, [this] { return !FBusy; });
  }
  ~TFlushHelper() {
    {
      std::lock_guard guard(FLock);
      FQuit = true;
    }
    FWake.notify_all();
    FThread.join();
  }

 private:
  TFlushHelper() : FThread([this] { Run(); }) {}
  void Run() {
    pthread_setname_np(pthread_self(), tvqFlushThreadName);
    std::unique_lock lock(FLock);
    while (true) {
      FWake.wait(lock, [this] { return FQuit || FBusy; });
      if (FQuit) return;
      lock.unlock();
      FlushEach(FFirst, FLast);
      lock.lock();
      FBusy = false;
      FWake.notify_all();
    }
  }
  std::mutex FLock;
  std::condition_variable FWake;
  TtvqWSConnection* const* FFirst = nullptr;
  TtvqWSConnection* const* FLast = nullptr;
  bool FBusy = false, FQuit = false;
  std::thread FThread;
};

// Fewer touched connections than this are not worth a hand-over.
constexpr std::size_t kSharedFlush = 64;

}  // namespace

TtvqWriteCork::~TtvqWriteCork() {
  if (--gCorks > 0) return;
  std::vector<TtvqWSConnection*> touched;
  touched.swap(gCorked);
  TtvqWSConnection* const* first = touched.data();
  TtvqWSConnection* const* last = first + touched.size();
  static const bool twoCores = std::thread::hardware_concurrency() > 1;
  const bool shared = gShareRelease;
  gShareRelease = false;
  if (!shared || touched.size() < kSharedFlush || !twoCores) {
    FlushEach(first, last);
  } else {
    TFlushHelper& helper = TFlushHelper::Instance();
    TtvqWSConnection* const* middle = first + touched.size() / 2;
    helper.Start(middle, last);
    FlushEach(first, middle);
    helper.Wait();
  }
  // The list keeps its room for the next release.
  touched.clear();
  if (gCorked.empty()) gCorked.swap(touched);
}

bool TtvqWriteCork::Held() { return gCorks > 0; }

void TtvqWriteCork::ShareRelease() {
  if (gCorks == 1) gShareRelease = true;  // a nested hold's wish would reach the outer release
}

void TtvqWriteCork::Touch(TtvqWSConnection* aConnection) { gCorked.push_back(aConnection); }

void TtvqWriteCork::Forget(TtvqWSConnection* aConnection) { std::erase(gCorked, aConnection); }

// ---------------------------------------------------------------- TtvqWSComponent

namespace {

// A component made by RegisterProtocol: a name and this server's handlers.
class TtvqWSPlainProtocol : public TtvqWSComponent_Base {
 public:
  explicit TtvqWSPlainProtocol(std::string aProtocol) : FProtocol(std::move(aProtocol)) {}
  ~TtvqWSPlainProtocol() override { StopDeliveries(); }
  std::string ComponentProtocol() const override { return FProtocol; }

 private:
  std::string FProtocol;
};

}  // namespace

TtvqWSComponent::~TtvqWSComponent() {
  StopDeliveries();
  // Registered components outlive this one: they must not release
  // connections to it any more.
  TtvqLock guard(FProtocolLock);
  for (TtvqWSComponent_Base* object : FProtocolObjectList)
    if (object->ConnectionOwner == this) object->ConnectionOwner = nullptr;
}

void TtvqWSComponent::DrainAll() {
  for (TtvqWSComponent_Base* object : ProtocolObjects()) object->DrainAll();
  TtvqWSComponent_Base::DrainAll();
}

void TtvqWSComponent::DoRegisterProtocol(TtvqWSComponent_Base* aObject) {
  aObject->SetNotifyEvents(NotifyEvents());
  if (!aObject->Platform) aObject->Platform = Platform;
  aObject->ConnectionOwner = this;
  TtvqLock guard(FProtocolLock);
  FProtocolObjectList.push_back(aObject);
}

void TtvqWSComponent::DoUnRegisterProtocol(TtvqWSComponent_Base* aObject) {
  TtvqLock guard(FProtocolLock);
  std::erase(FProtocolObjectList, aObject);
  if (aObject->ConnectionOwner == this) aObject->ConnectionOwner = nullptr;
}

TtvqWSComponent_Base* TtvqWSComponent::RegisterProtocol(const std::string& aProtocol) {
  auto component = std::make_unique<TtvqWSPlainProtocol>(aProtocol);
  component->OnConnect = OnConnect;
  component->OnDisconnect = OnDisconnect;
  component->OnMessage = OnMessage;
  component->OnBinary = OnBinary;
  component->OnFragmented = OnFragmented;
  component->OnError = OnError;
  component->OnException = OnException;
  TtvqWSComponent_Base* raw = component.get();
  {
    TtvqLock guard(FProtocolLock);
    FOwnedProtocols.push_back(std::move(component));
  }
  DoRegisterProtocol(raw);
  return raw;
}

void TtvqWSComponent::UnRegisterProtocol(const std::string& aProtocol) {
  TtvqLock guard(FProtocolLock);
  for (auto it = FProtocolObjectList.rbegin(); it != FProtocolObjectList.rend();) {
    if ((*it)->ComponentProtocol() != aProtocol) {
      ++it;
      continue;
    }
    TtvqWSComponent_Base* object = *it;
    it = decltype(it)(FProtocolObjectList.erase(std::next(it).base()));
    const auto owned = std::find_if(FOwnedProtocols.begin(), FOwnedProtocols.end(),
                                    [&](const auto& o) { return o.get() == object; });
    if (owned != FOwnedProtocols.end()) {
      FRetiredProtocols.push_back(std::move(*owned));
      FOwnedProtocols.erase(owned);
    }
  }
}

std::vector<TtvqWSComponent_Base*> TtvqWSComponent::ProtocolObjects() const {
  TtvqLock guard(FProtocolLock);
  return FProtocolObjectList;
}

bool TtvqWSComponent::MatchesProtocol(const std::string& aName, const TtvqWSComponent_Base& aObject) {
  const std::string guid = aObject.ComponentGuid();
  const std::string protocol = aObject.ComponentProtocol();
  const auto matches = [&](const std::string& aPart) {
    return tvqSameText(aName, aPart) || tvqSameText(aName, guid + "." + aPart);
  };
  if (matches(protocol)) return true;
  if (protocol.find(',') == std::string::npos) return false;
  for (const std::string& part : TtvqSplitCommas(protocol))
    if (matches(part)) return true;
  return false;
}

std::string TtvqWSComponent::ProtocolNames() const {
  const std::vector<TtvqWSComponent_Base*> objects = ProtocolObjects();
  std::vector<std::string> names;
  for (const auto* object : objects)
    if (object->ComponentProtocol() == tvqBrokerSubProtocol) {
      names.push_back(tvqBrokerSubProtocol);
      break;
    }
  for (const auto* object : objects) {
    if (object->ComponentProtocol() == tvqBrokerSubProtocol) continue;
    for (const std::string& part : TtvqSplitCommas(object->ComponentProtocol()))
      names.push_back(object->ComponentGuid().empty() ? part : object->ComponentGuid() + "." + part);
  }
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

void TtvqWSComponent::SetNotifyEvents(TwsNotifyEvent aValue) { TtvqWSComponent_Base::SetNotifyEvents(aValue); }

std::vector<TtvqWSComponent_Base*> TtvqWSComponent::Matching(const TtvqWSConnection& aConnection) const {
  std::vector<TtvqWSComponent_Base*> matching;
  for (TtvqWSComponent_Base* object : ProtocolObjects())
    if (MatchesProtocol(aConnection.Protocol, *object)) matching.push_back(object);
  return matching;
}

// Events of a connection with a sub-protocol go to every matching
// component and to nothing else; without one, to this component.
#define TVQ_ROUTE(Call, ...)                                               \
  if (!aConnection || aConnection->Protocol.empty()) {                     \
    TtvqWSComponent_Base::Call(aConnection __VA_OPT__(, ) __VA_ARGS__);    \
    return;                                                                \
  }                                                                        \
  for (TtvqWSComponent_Base* object : Matching(*aConnection))              \
    object->Call(aConnection __VA_OPT__(, ) __VA_ARGS__);

void TtvqWSComponent::DoNotifyConnect(TtvqWSConnection* aConnection) { TVQ_ROUTE(DoNotifyConnect) }
void TtvqWSComponent::DoNotifyMessage(TtvqWSConnection* aConnection) { TVQ_ROUTE(DoNotifyMessage) }
void TtvqWSComponent::DoNotifyBinary(TtvqWSConnection* aConnection) { TVQ_ROUTE(DoNotifyBinary) }
void TtvqWSComponent::DoNotifyFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                                         bool aContinuation) {
  TVQ_ROUTE(DoNotifyFragmented, aData, aOpCode, aContinuation)
}
void TtvqWSComponent::DoNotifyError(TtvqWSConnection* aConnection) { TVQ_ROUTE(DoNotifyError) }
void TtvqWSComponent::DoNotifyException(TtvqWSConnection* aConnection) { TVQ_ROUTE(DoNotifyException) }

#undef TVQ_ROUTE

// A disconnect goes to the first matching component only (then to the
// broker's), else to this component: each connection is released once.
void TtvqWSComponent::DoNotifyDisconnect(TtvqWSConnection* aConnection) {
  if (aConnection && !aConnection->Protocol.empty()) {
    const std::vector<TtvqWSComponent_Base*> matching = Matching(*aConnection);
    if (!matching.empty()) {
      matching.front()->DoNotifyDisconnect(aConnection);
      return;
    }
    if (aConnection->Protocol.find(tvqBrokerSubProtocol) != std::string::npos)
      for (TtvqWSComponent_Base* object : ProtocolObjects())
        if (object->ComponentProtocol() == tvqBrokerSubProtocol) {
          object->DoNotifyDisconnect(aConnection);
          return;
        }
  }
  TtvqWSComponent_Base::DoNotifyDisconnect(aConnection);
}

// ---------------------------------------------------------------- the connection and channel indexes

void TtvqQueueItemConnection::SetConnection(TtvqWSConnection* aConnection) {
  FConnection = aConnection;
  if (aConnection) ID = aConnection->Guid();
}

void TtvqQueueItemChannel::SetConnection(TtvqWSConnection* aConnection) {
  FConnection = aConnection;
  if (aConnection) ID = aConnection->Guid();
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
  TtvqLock guard(FLock);
  TQueue* queue = FindQueueByName(aChannel);
  if (!queue) return;
  auto items = queue->Lock();
  for (auto it = items->rbegin(); it != items->rend(); ++it) aList.push_back((*it)->Connection());
}

// ---------------------------------------------------------------- TtvqWSComponent_Server

TtvqWSComponent_Server::TtvqWSComponent_Server()
    : FConnections(std::make_unique<TtvqCacheQueueListConnections>()),
      FChannels(std::make_unique<TtvqQueueListChannels>()),
      FConnectionsFree(std::make_unique<TtvqQueueCommon<TtvqWSConnection>>()) {
  FConnectionsFree->SetOwnObjects(true);
  FConnections->SetCacheSize(Optimizations.Connections.CacheSize);
  FConnections->SetGroupLevel(Optimizations.Connections.GroupLevel);
  SetNotifyEvents(neAsynchronous);
}

TtvqWSComponent_Server::~TtvqWSComponent_Server() {
  StopDeliveries();
  StopConnectionsFreeTimer();
  // Attached components forget this server while it is still one.
  for (TtvqWSComponent_Base* object : ProtocolObjects()) object->Notification(this);
}

void TtvqWSComponent_Server::RegisterProtocol(TtvqWSComponent_Base* aObject) {
  if (aObject) aObject->SetServer(this);
}

void TtvqWSComponent_Server::UnRegisterProtocol(TtvqWSComponent_Base* aObject) {
  if (aObject) aObject->SetServer(nullptr);
}

TtvqCacheQueueListConnections& TtvqWSComponent_Server::Connections() { return *FConnections; }
TtvqQueueListChannels& TtvqWSComponent_Server::Channels() { return *FChannels; }
TtvqQueueCommon<TtvqWSConnection>& TtvqWSComponent_Server::ConnectionsFree() { return *FConnectionsFree; }

void TtvqWSComponent_Server::SetNotifyEvents(TwsNotifyEvent aValue) {
  TtvqWSComponent::SetNotifyEvents(aValue);
  if (FConnectionsFreeTimer) FConnectionsFreeTimer->NotifyEvents = aValue;
}

void TtvqWSComponent_Server::DoNotifyConnect(TtvqWSConnection* aConnection) {
  if (aConnection && Optimizations.Connections.Enabled) FConnections->AddItem(new TtvqQueueItemConnection(aConnection));
  TtvqWSComponent::DoNotifyConnect(aConnection);
}

void TtvqWSComponent_Server::DoNotifyDisconnect(TtvqWSConnection* aConnection) {
  if (aConnection) {
    if (Optimizations.Channels.Enabled) FChannels->DeleteItem(aConnection->Guid());
    if (Optimizations.Connections.Enabled) FConnections->DeleteItem(aConnection->Guid());
  }
  TtvqWSComponent::DoNotifyDisconnect(aConnection);
}

void TtvqWSComponent_Server::DoFreeConnection(TtvqWSConnection* aConnection) {
  if (!aConnection) return;
  if (Optimizations.ConnectionsFree.Enabled) {
    FConnectionsFree->Add(aConnection);
    return;
  }
  TtvqWSComponent::DoFreeConnection(aConnection);
}

void TtvqWSComponent_Server::DoConnectionSubscription(TtvqWSConnection& aConnection, const std::string& aChannel) {
  if (!Optimizations.Channels.Enabled) return;
  auto item = std::make_unique<TtvqQueueItemChannel>(&aConnection, aChannel);
  if (FChannels->AddItem(item.get())) item.release();
}

void TtvqWSComponent_Server::DoConnectionUnSubscription(TtvqWSConnection& aConnection, const std::string& aChannel) {
  if (Optimizations.Channels.Enabled) FChannels->DeleteItem(aChannel, aConnection.Guid());
}

void TtvqWSComponent_Server::StartConnectionsFreeTimer() {
  tvqAssertMainThread(Platform);
  if (!FConnectionsFreeTimer) {
    FConnectionsFreeTimer = std::make_unique<TtvqTimer>();
    FConnectionsFreeTimer->Platform = Platform;
    FConnectionsFreeTimer->OnTimer = [this](TtvqTimer&) { FreeParkedConnections(); };
    FConnectionsFreeTimer->OnException = [this](TtvqTimer&, std::exception_ptr e) {
      std::string message;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& error) {
        message = error.what();
      } catch (...) {
      }
      DoEventException(nullptr, message, e);
    };
  }
  FConnectionsFreeTimer->NotifyEvents = NotifyEvents();
  FConnectionsFreeTimer->Interval = Optimizations.ConnectionsFree.Interval * 1000;
  FConnectionsFreeTimer->SetEnabled(true);
}

void TtvqWSComponent_Server::FreeParkedConnections() {
  // The timer's ticks run on the main thread, but on the timer's own thread
  // in neNoSync mode (a stop joins that thread before it touches the lists).
  if (NotifyEvents() != neNoSync) tvqAssertMainThread(Platform);
  std::vector<TtvqWSConnection*> parked;
  {
    auto items = FConnectionsFree->Lock();
    for (auto it = items->begin(); it != items->end();) {
      if (std::find(FFreeAtNextTick.begin(), FFreeAtNextTick.end(), *it) == FFreeAtNextTick.end()) {
        parked.push_back(*it);  // parked since the previous tick: next time
        ++it;
        continue;
      }
      std::unique_ptr<TtvqWSConnection> connection(*it);
      connection->FFreed = true;  // marked before it goes, as every freed connection is
      it = items->erase(it);
    }
  }
  FFreeAtNextTick = std::move(parked);
#ifdef __GLIBC__
  // What the freed connections and their threads' allocations held goes
  // back to the system, so that churn leaves no lasting growth.
  ::malloc_trim(0);
#endif
}

void TtvqWSComponent_Server::StopConnectionsFreeTimer() {
  // Stopping a running timer is the main thread's; once it is stopped, no
  // tick can run any more, and whoever destroys the server may free what is
  // still parked.
  if (FConnectionsFreeTimer) tvqAssertMainThread(Platform);
  FConnectionsFreeTimer.reset();
  for (TtvqWSConnection* connection : *FConnectionsFree->Lock()) connection->FFreed = true;
  FConnectionsFree->Clear();
  FFreeAtNextTick.clear();
}
