#include "tvqWebSocket_Classes.h"

#include <openssl/rand.h>

#include <algorithm>
#include <random>

#include "tvqWebSocket_Classes_Queues.h"

std::uint8_t OpcodeWireCode(TOpcode aOpCode) {
  switch (aOpCode) {
    case opContinuation: return 0x0;
    case opText: return 0x1;
    case opBinary: return 0x2;
    case opClose: return 0x8;
    case opPing: return 0x9;
    case opPong: return 0xA;
    case opNone: break;
  }
  return 0xFF;
}

bool IsControlOpcode(TOpcode aOpCode) { return aOpCode == opClose || aOpCode == opPing || aOpCode == opPong; }

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

std::vector<std::string> TtvqSplitCommas(const std::string& aText) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= aText.size()) {
    const std::size_t end = std::min(aText.find(',', start), aText.size());
    if (end > start) names.push_back(aText.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

namespace {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

// ---------------------------------------------------------------- TtvqTCPConnection_Base

TtvqTCPConnection_Base::TtvqTCPConnection_Base() : FGuid(TtvqNewGuid()) {}

const TtvqTCPConnection_Base::TAddresses& TtvqTCPConnection_Base::Addresses() {
  std::call_once(FAddressesRead, [this] {
    try {
      ReadAddresses(FAddresses);
    } catch (...) {
      // the socket is gone: empty and 0
    }
  });
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

// ---------------------------------------------------------------- TtvqWSConnection

TtvqWSConnection::TtvqWSConnection() {
  for (auto& level : FQueueLevels) level = std::make_unique<TtvqQueueList>();
  FProtocolData = std::make_unique<TtvqQueue<TtvqQueueItemBase>>();
  FProtocolData->SetOwnObjects(true);
}

TtvqWSConnection::~TtvqWSConnection() = default;

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
  return FSubscriptions;
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

void TtvqWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (QueueOptions.Text.Level != qmNone) {
    auto object = std::make_unique<TtvqQueueObject>();
    object->OpCode = opText;
    object->Text = aText;
    object->Size = aSize;
    object->Streaming = aStreaming;
    QueueLevel(QueueOptions.Text.Level).Add(object.release());
    return;
  }
  DoWriteData(aText, aSize, aStreaming);
}

void TtvqWSConnection::WriteData(const TtvqBytes& aStream, int aSize, TwsStreaming aStreaming) {
  if (QueueOptions.Binary.Level != qmNone) {
    auto object = std::make_unique<TtvqQueueObject>();
    object->OpCode = opBinary;
    object->Stream = aStream;
    object->Size = aSize;
    object->Streaming = aStreaming;
    QueueLevel(QueueOptions.Binary.Level).Add(object.release());
    return;
  }
  DoWriteData(aStream, aSize, aStreaming);
}

std::string TtvqWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut) {
  SetMsgReceived({});
  WriteData(aText, 0, stmNone);
  if (aTimeOut <= 0) return {};
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
  std::unique_lock guard(FWaitLock);
  return FWaitCondition.wait_for(guard, std::chrono::milliseconds(aTimeOut), [&] { return FPong == aText; });
}

void TtvqWSConnection::DoQueuePing(const std::string& aText) {
  auto object = std::make_unique<TtvqQueueObject>();
  object->OpCode = opPing;
  object->Text = aText;
  QueueLevel(QueueOptions.Ping.Level).Add(object.release());
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

void TtvqWSConnection::DoSubscribe(const std::string& aChannels) {
  for (const std::string& name : TtvqSplitCommas(aChannels)) {
    {
      TtvqLock guard(FCSArray[0]);
      const bool known = std::any_of(FSubscriptions.begin(), FSubscriptions.end(),
                                     [&](const std::string& s) { return SameTextIgnoringCase(s, name); });
      if (known) continue;
      FSubscriptions.push_back(name);
    }
    if (OnSubscription) OnSubscription(*this, name);
  }
}

void TtvqWSConnection::DoUnSubscribe(const std::string& aChannels) {
  for (const std::string& name : TtvqSplitCommas(aChannels)) {
    {
      TtvqLock guard(FCSArray[0]);
      const auto it = std::find_if(FSubscriptions.begin(), FSubscriptions.end(),
                                   [&](const std::string& s) { return SameTextIgnoringCase(s, name); });
      if (it == FSubscriptions.end()) continue;
      FSubscriptions.erase(it);
    }
    if (OnUnSubscription) OnUnSubscription(*this, name);
  }
}

bool TtvqWSConnection::Subscribed(const std::string& aChannel) const {
  if (aChannel.empty()) return true;
  TtvqLock guard(const_cast<TtvqCriticalSection&>(FCSArray[0]));
  for (const std::string& name : TtvqSplitCommas(aChannel))
    for (const std::string& s : FSubscriptions)
      if (SameTextIgnoringCase(s, name)) return true;
  return false;
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
