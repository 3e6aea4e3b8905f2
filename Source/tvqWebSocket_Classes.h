// Public: the connection classes up to the transport-free
// TtvqWSConnection: identity, options, subscriptions, queue levels, and the
// public write, ping, close and disconnect operations (the vocabulary they
// speak is tvqWebSocket_Types.h; the wire codec is tvqWebSocket_Codec.h, and
// a connection over a byte transport is tvqWebSocket_Classes_Net.h).
// Also the queues that hold connections or their events (held-back
// messages, pending events, the server's connection and channel indexes),
// built on the generic ones of tvqWebSocket_Classes_QueueBase.h, and the
// components that deliver events.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tvqText.h"
#include "tvqWebSocket_Classes_QueueBase.h"
#include "tvqWebSocket_Classes_SyncObjs.h"
#include "tvqWebSocket_Types.h"

// A new random identity: a version-4 GUID written as 32 upper-case
// hexadecimal digits, without braces or dashes.
std::string TtvqNewGuid();

// ---------------------------------------------------------------- TtvqTCPConnection_Base

// Base of every connection: its locks, identity, counters and addresses.
class TtvqTCPConnection_Base {
 public:
  TtvqTCPConnection_Base();
  TtvqTCPConnection_Base(const TtvqTCPConnection_Base&) = delete;
  TtvqTCPConnection_Base& operator=(const TtvqTCPConnection_Base&) = delete;
  virtual ~TtvqTCPConnection_Base() = default;

  // The write lock: every frame is written while holding it.
  TtvqCriticalSection FCS;
  // Further locks; lock 0 guards the subscriptions.
  std::array<TtvqCriticalSection, 6> FCSArray;

  // An internal monitoring connection raises no events.
  bool FIsInternal = false;

  // The connection's identity; fixed for the object's life.
  const std::string& Guid() const { return FGuid; }

  std::atomic<std::int64_t> RecBytes{0};
  std::atomic<std::int64_t> SendBytes{0};

  // Peer and local address, read once from the socket and then kept; empty
  // and 0 when the socket is gone before the first read.
  std::string IP();
  std::string LocalIP();
  int Port();
  int LocalPort();

  TwsTransport Transport() const { return FTransport.load(std::memory_order_acquire); }
  virtual void SetTransport(TwsTransport aTransport) { FTransport.store(aTransport, std::memory_order_release); }

  // Whether the TCP connection is still connected; safe from any thread.
  virtual bool Active() const { return false; }

  // The last text and binary message received (set by the reader just
  // before the event is dispatched), and the last error to be reported.
  std::string MsgReceived() const;
  void SetMsgReceived(const std::string& aText);
  TtvqBytes MsgBinaryReceived;
  std::string MsgException;
  std::exception_ptr RawException;

  // Free for the application; not owned.
  void* Data = nullptr;
  // Set just before the object is destroyed through the server.
  std::atomic<bool> FFreed{false};

  // Ends the connection without a close frame, after an error was reported.
  virtual void DoAbortConnection() {}

 protected:
  struct TAddresses {
    std::string IP, LocalIP;
    int Port = 0, LocalPort = 0;
  };
  // Reads the addresses from the socket; false when it is gone.
  virtual bool ReadAddresses(TAddresses& /*aOut*/) { return false; }

  // Wakes the threads that wait for a received message or a pong.
  mutable std::mutex FWaitLock;
  std::condition_variable FWaitCondition;
  const std::string& MsgReceivedLocked() const { return FMsgReceived; }  // FWaitLock held

 private:
  TAddresses Addresses();

  const std::string FGuid;
  std::atomic<TwsTransport> FTransport{trpUndefined};
  std::string FMsgReceived;  // guarded by FWaitLock
  std::mutex FAddressesLock;
  bool FAddressesRead = false;  // only once a read succeeded
  TAddresses FAddresses;
};

class TtvqTCPConnection : public TtvqTCPConnection_Base {};

// ---------------------------------------------------------------- TtvqWSConnection

// One outgoing message held back by a queue level.
class TtvqQueueObject {
 public:
  int Size = 0;
  TwsStreaming Streaming = stmNone;
  std::string Text;
  TOpcode OpCode = opText;
  TtvqBytes Stream;  // owned copy
};

// Outgoing messages held back by a queue level. FreeObjects frees them;
// destruction runs FreeObjects.
class TtvqQueueList : public TtvqThreadList<TtvqQueueObject> {
 public:
  ~TtvqQueueList() override;
  void FreeObjects();
};

struct TtvqWSQueueOptions {
  struct TLevel {
    TwsQueueMsgLevels Level = qmNone;
  };
  TLevel Text, Binary, Ping;
};

class TtvqWSConnection;
using TtvqWSMessageEvent = std::function<void(TtvqWSConnection&, const std::string&)>;
using TtvqWSBinaryEvent = std::function<void(TtvqWSConnection&, const TtvqBytes&)>;
using TtvqWSFragmentedEvent = std::function<void(TtvqWSConnection&, const TtvqBytes&, TOpcode, bool)>;
using TtvqWSHandshakeEvent = std::function<void(TtvqWSConnection&, std::vector<std::string>&)>;
using TtvqWSSubscriptionEvent = std::function<void(TtvqWSConnection&, const std::string&)>;

// One WebSocket connection, independent of its transport.
class TtvqWSConnection : public TtvqTCPConnection {
 public:
  TtvqWSConnection();
  ~TtvqWSConnection() override;

  TtvqWSQueueOptions QueueOptions;

  int CloseCode = 0;
  std::string CloseReason;
  std::string MsgError;

  TwsSpecification Specification = spRFC6455;
  bool Masked = false;  // whether written frames are masked; false on servers
  // Before the handshake: every registered sub-protocol name; afterwards the
  // negotiated one, or empty.
  std::string Protocol;
  bool ValidateUTF8 = false;
  bool RaiseDisconnectExceptions = true;
  TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
  bool CleanDisconnect = true;

  // The request path.
  virtual std::string URL() const { return {}; }

  // Access: the user the connection logged in as (empty: none), and whether
  // it may only watch: the sub-protocols refuse its requests that would
  // change what the server keeps. Both are set during the opening handshake,
  // before the connection is reported.
  std::string User;
  bool ReadOnly() const { return FReadOnly.load(std::memory_order_acquire); }
  void SetReadOnly(bool aValue) { FReadOnly.store(aValue, std::memory_order_release); }

  // Items that sub-protocol components attach under an ID; owned.
  TtvqQueue<TtvqQueueItemBase>& ProtocolData();

  std::vector<std::string> Subscriptions() const;
  std::size_t SubscriptionCount() const;
  std::string LastSubscription;
  std::string LastUnSubscription;

  bool Disconnected() const { return FDisconnected.load(std::memory_order_acquire); }
  // Marking disconnected frees the held-back messages first.
  void SetDisconnected(bool aValue);

  TtvqDateTime LastPing() const;
  TtvqDateTime LastPong() const;
  TtvqDateTime FirstPing() const;
  std::string Pong() const;

  std::vector<std::string> HeadersResponse;

  // True from the moment the opening handshake is accepted.
  bool Enabled() const { return FEnabled.load(std::memory_order_acquire); }

  // Raised by the server connection when its state changes (the handshake
  // completed); aType tells what changed.
  std::function<void(TtvqWSConnection&, int aType)> OnUpdate;
  TtvqWSMessageEvent OnMessage;
  TtvqWSBinaryEvent OnBinary;
  TtvqWSHandshakeEvent OnHandshake;
  TtvqWSSubscriptionEvent OnSubscription;
  TtvqWSSubscriptionEvent OnUnSubscription;
  TtvqWSFragmentedEvent OnFragmented;

  bool FNotifyConnection = true;
  bool FNotifyDisconnection = true;

  // ---- public operations, from any thread
  void WriteData(const std::string& aText, int aSize = 0, TwsStreaming aStreaming = stmNone);
  void WriteData(const TtvqBytes& aStream, int aSize = 0, TwsStreaming aStreaming = stmNone);
  // Writes aText, then waits up to aTimeOut ms for a message; empty when
  // none came (at once when aTimeOut <= 0).
  std::string WriteAndWaitData(const std::string& aText, int aTimeOut);
  void Ping(const std::string& aText);
  // Pings, then waits up to aTimeOut ms for the matching pong.
  bool Ping(const std::string& aText, int aTimeOut);
  // Sends a close frame and leaves the TCP connection to the peer.
  void Close(int aCloseCode = 1000);
  // Ends the connection now.
  void Disconnect(int aCloseCode = 1000);
  // Drops the TCP connection.
  virtual void DisconnectPeer() {}

  // Channel subscriptions: comma-separated names, compared without regard
  // to letter case; each new one raises OnSubscription.
  void DoSubscribe(const std::string& aChannels);
  void DoUnSubscribe(const std::string& aChannels);
  bool Subscribed(const std::string& aChannel) const;

  // Sends the held-back messages of levels 0, 1 and 2, in that order.
  void DoSendQueuedMessages();

  // Sends the frames that wait for the socket as far as it takes them now;
  // true when none waits afterwards.
  virtual bool FlushBacklog() { return true; }

  // Writes made on the calling thread between these two are the
  // connection's connect sequence (what it receives on connecting, or on
  // subscribing): they wait for the socket as any write does, but do not
  // count against the slow-consumer cap (see TtvqWSConnection_Net). Take
  // them through TtvqUncappedWrites.
  virtual void BeginUncappedWrites() {}
  virtual void EndUncappedWrites() {}

 protected:
  friend class TtvqWSConnectionServer;

  void SetEnabled(bool aValue) { FEnabled.store(aValue, std::memory_order_release); }

  virtual void DoWriteData(const std::string& /*aText*/, int /*aSize*/, TwsStreaming /*aStreaming*/) {}
  virtual void DoWriteData(const TtvqBytes& /*aStream*/, int /*aSize*/, TwsStreaming /*aStreaming*/) {}
  virtual void DoPing(const std::string& /*aText*/) {}
  virtual void DoQueuePing(const std::string& aText);
  virtual void DoWriteClose(int /*aCloseCode*/) {}
  virtual void DoCloseConnection(const std::string& /*aMessage*/, int /*aCloseCode*/) {}

  // Holds a message back at aLevel until DoSendQueuedMessages.
  void HoldBack(TwsQueueMsgLevels aLevel, TOpcode aOpCode, const std::string& aText, const TtvqBytes& aStream,
                int aSize, TwsStreaming aStreaming);
  // Frees the held-back messages of the given levels.
  void FreeQueuedMessages(std::initializer_list<int> aLevels);
  TtvqQueueList& QueueLevel(TwsQueueMsgLevels aLevel);

  void NotePing();
  void NotePong(const std::string* aMatchedText);

 private:
  std::atomic<bool> FDisconnected{false};
  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FReadOnly{false};
  std::array<std::unique_ptr<TtvqQueueList>, 3> FQueueLevels;  // levels 0, 1, 2
  std::unique_ptr<TtvqQueue<TtvqQueueItemBase>> FProtocolData;
  // The subscribed names in subscription order, and each one's place by its
  // name in lower case (names compare without letter case); both guarded by
  // FCSArray[0].
  std::list<std::string> FSubscriptions;
  std::unordered_map<std::string, std::list<std::string>::iterator> FSubscribedNames;
  TtvqDateTime FLastPing{}, FLastPong{}, FFirstPing{};  // guarded by FWaitLock
  std::string FPong;                                    // guarded by FWaitLock
};

// Marks what the current thread writes to a connection, for its lifetime,
// as the connection's connect sequence (BeginUncappedWrites).
class TtvqUncappedWrites {
 public:
  explicit TtvqUncappedWrites(TtvqWSConnection* aConnection) : FConnection(aConnection) {
    if (FConnection) FConnection->BeginUncappedWrites();
  }
  ~TtvqUncappedWrites() {
    if (FConnection) FConnection->EndUncappedWrites();
  }
  TtvqUncappedWrites(const TtvqUncappedWrites&) = delete;
  TtvqUncappedWrites& operator=(const TtvqUncappedWrites&) = delete;

 private:
  TtvqWSConnection* FConnection;
};

// The name of the one thread per process that shares large releases.
inline constexpr char tvqFlushThreadName[] = "tvq-flush";

// Writes made while a cork is held on a thread are only queued; releasing
// the last cork sends each touched connection's queue, as one send where
// the socket takes it. The main thread corks while it raises a run of
// events, so that everything those events write to one client leaves
// together. Connections touched under a cork must stay alive until it is
// released (they do: a closed connection is parked before it is freed).
class TtvqWriteCork {
 public:
  TtvqWriteCork();
  ~TtvqWriteCork();
  TtvqWriteCork(const TtvqWriteCork&) = delete;
  TtvqWriteCork& operator=(const TtvqWriteCork&) = delete;
  static bool Held();
  // The release of the current, outermost hold may send on two threads
  // (ignored inside a nested hold).
  static void ShareRelease();
  // Notes a connection whose queue the release must send; a connection
  // freed before that is forgotten (on the thread that frees it).
  static void Touch(TtvqWSConnection* aConnection);
  static void Forget(TtvqWSConnection* aConnection);
};

// ---------------------------------------------------------------- notify modes and the timer

// On which thread events are raised: at once on the thread that detected
// them, queued to the main thread, or handed to it with a wait.
enum TwsNotifyEvent { neNoSync, neAsynchronous, neSynchronous };

class ItvqPlatform;

// A thread that fires OnTimer every Interval ms (counted down in 100 ms
// steps), on its own thread or on the main thread as NotifyEvents says.
// Destroy it on the main thread when it fires there.
class TtvqTimer {
 public:
  TtvqTimer();
  TtvqTimer(const TtvqTimer&) = delete;
  TtvqTimer& operator=(const TtvqTimer&) = delete;
  ~TtvqTimer();

  std::atomic<int> Interval{60000};
  std::atomic<TwsNotifyEvent> NotifyEvents{neNoSync};
  ItvqPlatform* Platform = nullptr;  // none: the process's platform
  std::function<void(TtvqTimer&)> OnTimer;
  std::function<void(TtvqTimer&, std::exception_ptr)> OnException;

  bool Enabled() const;
  // Disabling wakes the thread at once; it may be done from a tick.
  void SetEnabled(bool aValue);

 private:
  void Execute(std::uint64_t aGeneration);
  // Fires once; false when the timer was disabled meanwhile.
  void Fire(std::uint64_t aGeneration);
  bool Current(std::uint64_t aGeneration) const { return FEnabled && FGeneration == aGeneration; }

  mutable std::mutex FLock;
  std::condition_variable FWake;
  bool FEnabled = false;
  std::uint64_t FGeneration = 0;  // each enabling starts a new one
  std::vector<std::thread> FThreads;  // joined by whoever disables from outside
  // Cleared when the timer goes, so that a tick still queued to the main
  // thread does nothing.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

// ---------------------------------------------------------------- components

// The base sub-protocol identifier of this system and the names built on it.
inline constexpr const char* tvqBaseSubProtocol = "tvq.tickerhall";
inline constexpr const char* tvqBrokerSubProtocol = "broker.tvq.tickerhall";

class TtvqComponent_Base {
 public:
  virtual ~TtvqComponent_Base() = default;
  static constexpr const char* Version = "4.4.6";

  bool IsLoading() const { return FLoading; }
  bool IsDestroying() const { return FDestroying.load(std::memory_order_acquire); }
  bool IsDesigning() const { return false; }

  // Told that aComponent, which this one may refer to, is going away.
  virtual void Notification(TtvqComponent_Base* /*aComponent*/) {}

 protected:
  // Set first thing by the destructor of the most derived component.
  void BeginDestroy() { FDestroying.store(true, std::memory_order_release); }
  bool FLoading = false;

 private:
  std::atomic<bool> FDestroying{false};
};

class TtvqTCPComponent_Base : public TtvqComponent_Base {
 public:
  std::array<TtvqCriticalSection, 6> FCSArray;
  TtvqCriticalSection FCS;
  void EnterCS() { FCS.Acquire(); }
  void LeaveCS() { FCS.Release(); }

  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents.load(std::memory_order_acquire); }
  virtual void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents.store(aValue, std::memory_order_release); }

  // Where queued calls go; none: the process's platform.
  ItvqPlatform* Platform = nullptr;
  ItvqPlatform& PlatformOrProcess() const;

 private:
  std::atomic<TwsNotifyEvent> FNotifyEvents{neNoSync};
};

// One event waiting for the main thread: a copy of its data.
class TtvqWSNotifyObject {
 public:
  TtvqWSConnection* Connection = nullptr;  // not owned
  int Int = 0;
  // Shared, so the exception outlives this object when others hold it.
  std::exception_ptr RawException;
  TtvqBytes Stream;  // owned copy
  std::string Text;
  std::string Text1;
};

// A list of pending events of one kind, oldest first. It owns them: Delete,
// Remove and Clear free what they remove, so "free item 0 and remove it" is
// Delete(0) alone.
class TtvqWSObjectList : public TtvqThreadList<TtvqWSNotifyObject> {
 public:
  ~TtvqWSObjectList() override;

  void AddNotifyObject(TtvqWSConnection* aConnection);
  void AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText);
  void AddNotifyObject(TtvqWSConnection* aConnection, int aInt);
  void AddNotifyObject(TtvqWSConnection* aConnection, const TtvqBytes& aStream);
  void AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText,
                       const std::string& aText1);
  // A fragment: the op-code's ordinal in Int, "1" in Text1 when more follow.
  void AddNotifyObject(TtvqWSConnection* aConnection, const TtvqBytes& aStream, TOpcode aOpCode,
                       bool aContinuation);
  void AddNotifyObject(TtvqWSConnection* aConnection, const std::string& aText,
                       std::exception_ptr aException);

  // Frees and removes every item, oldest first.
  void DeleteAll();
  // Frees and removes every item of aConnection.
  void DeleteConnection(const TtvqWSConnection* aConnection);

 protected:
  void ReleaseItem(TtvqWSNotifyObject* aItem) override { delete aItem; }

 private:
  void Push(std::unique_ptr<TtvqWSNotifyObject> aObject);
};

class TtvqWSComponent_Server;

using TtvqWSConnectEvent = std::function<void(TtvqWSConnection*)>;
using TtvqWSDisconnectEvent = std::function<void(TtvqWSConnection*, int)>;
using TtvqWSComponentMessageEvent = std::function<void(TtvqWSConnection*, const std::string&)>;
using TtvqWSComponentBinaryEvent = std::function<void(TtvqWSConnection*, const TtvqBytes&)>;
using TtvqWSComponentFragmentedEvent = std::function<void(TtvqWSConnection*, const TtvqBytes&, TOpcode, bool)>;
using TtvqWSErrorEvent = std::function<void(TtvqWSConnection*, const std::string&)>;
using TtvqWSExceptionEvent = std::function<void(TtvqWSConnection*, std::exception_ptr)>;

// The seven event kinds and their delivery. A connection thread detects an
// event and calls its DoNotify dispatcher; by NotifyEvents the raiser
// (DoEvent) runs at once, or a copy of the event waits in the kind's
// pending list until the main thread drains the list.
//
// Components are destroyed on the main thread; a drain still queued for a
// destroyed component does nothing.
class TtvqWSComponent_Base : public TtvqTCPComponent_Base {
 public:
  enum TKind { evConnect, evDisconnect, evMessage, evBinary, evFragmented, evError, evException, evKinds };

  TtvqWSComponent_Base();
  ~TtvqWSComponent_Base() override;

  TtvqWSConnectEvent OnConnect;
  TtvqWSDisconnectEvent OnDisconnect;
  TtvqWSComponentMessageEvent OnMessage;
  TtvqWSComponentBinaryEvent OnBinary;
  TtvqWSComponentFragmentedEvent OnFragmented;
  TtvqWSErrorEvent OnError;
  TtvqWSExceptionEvent OnException;

  // The identity a sub-protocol component matches connections by (empty
  // for the server).
  virtual std::string ComponentGuid() const { return {}; }
  virtual std::string ComponentProtocol() const { return {}; }

  // While true, message, binary and fragment events are held back; setting
  // it false raises the held messages in order, then the binary ones.
  bool QueueMessages() const { return FQueueMessages; }
  virtual void SetQueueMessages(bool aValue);
  // Drops the held messages without raising them.
  void QueueClear();

  // ---- dispatchers: the data is taken from the connection
  virtual void DoNotifyConnect(TtvqWSConnection* aConnection);
  virtual void DoNotifyDisconnect(TtvqWSConnection* aConnection);
  virtual void DoNotifyMessage(TtvqWSConnection* aConnection);
  virtual void DoNotifyBinary(TtvqWSConnection* aConnection);
  virtual void DoNotifyFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                                  bool aContinuation);
  virtual void DoNotifyError(TtvqWSConnection* aConnection);
  virtual void DoNotifyException(TtvqWSConnection* aConnection);

  // ---- raisers: call the application's handler when assigned
  virtual void DoEventConnect(TtvqWSConnection* aConnection);
  virtual void DoEventDisconnect(TtvqWSConnection* aConnection, int aCode);
  virtual void DoEventMessage(TtvqWSConnection* aConnection, const std::string& aText);
  virtual void DoEventBinary(TtvqWSConnection* aConnection, const TtvqBytes& aData);
  virtual void DoEventFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                                 bool aContinuation);
  virtual void DoEventError(TtvqWSConnection* aConnection, const std::string& aError);
  virtual void DoEventException(TtvqWSConnection* aConnection, const std::string& aError, std::exception_ptr aE);

  // What the server calls when an error escapes a connection's work: the
  // error event when this component has a handler for it, and the
  // connection is aborted in any case. Never raises.
  void DoReportError(TtvqWSConnection* aConnection, const std::string& aError) noexcept;
  void DoReportException(TtvqWSConnection* aConnection, const std::string& aError, std::exception_ptr aE) noexcept;

  // Releases a connection whose disconnect event has been delivered: a
  // component registered with a server hands it to the server, which parks
  // it until its free-list timer runs.
  virtual void DoFreeConnection(TtvqWSConnection* aConnection);

  // The component connections are released to; set by registration.
  TtvqWSComponent_Base* ConnectionOwner = nullptr;

  // Attaches a sub-protocol component to a server (none: detaches it);
  // components that cannot be attached ignore it.
  virtual void SetServer(TtvqWSComponent_Server* /*aServer*/) {}

  // An HTTP post addressed to this sub-protocol: aPath after its name, the
  // request's body; aAnswer is the text answered.
  virtual void DoHTTPRequest(TtvqWSConnection& /*aConnection*/, const std::string& /*aPath*/,
                             std::string& /*aAnswer*/, const std::string& /*aBody*/) {}

  // Drains the pending list of one kind; on the main thread only (a debug
  // build asserts it, tvqAssertMainThread).
  void Drain(TKind aKind);
  // Drains every kind, disconnects last (so a connection's disconnect still
  // comes after its other events); on the main thread only.
  virtual void DrainAll();

  // Cleared when the component is destroyed: a call queued to the main
  // thread checks it before touching the component.
  std::shared_ptr<const std::atomic<bool>> AliveToken() const { return FAlive; }

 protected:
  // Makes the components' destructors stop every delivery first.
  void StopDeliveries();

 private:
  template <class FAdd>
  void Dispatch(TKind aKind, FAdd&& aAdd, const std::function<void()>& aRaiseNow);
  void Raise(TKind aKind, TtvqWSNotifyObject& aItem);

  // Takes the oldest event out of aList (none when empty).
  static std::unique_ptr<TtvqWSNotifyObject> TakeFirst(TtvqWSObjectList& aList);

  std::array<std::unique_ptr<TtvqWSObjectList>, evKinds> FNotify;
  std::array<bool, evKinds> FAsync{};  // main thread only
  std::unique_ptr<TtvqWSObjectList> FQueueMessage, FQueueBinary, FQueueFragmented;
  std::atomic<bool> FQueueMessages{false};
  std::atomic<bool> FQueueProcessing{false};
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

struct TtvqWSSpecifications {
  bool RFC6455 = true;
  struct {
    bool Hixie76 = true;
  } Drafts;
};

struct TtvqWSHeartBeat {
  bool Enabled = false;
  int Interval = 300;
  int Timeout = 0;
};

struct TtvqWSTCPKeepAlive {
  bool Enabled = false;
  int Time = 7200000;
  int Interval = 1000;
};

// Adds the registered sub-protocol components and the routing of each
// connection's events to the component(s) its sub-protocol names.
class TtvqWSComponent : public TtvqWSComponent_Base {
 public:
  ~TtvqWSComponent() override;

  TtvqWSSpecifications Specifications;
  TtvqWSHeartBeat HeartBeat;
  TtvqWSTCPKeepAlive TCPKeepAlive;
  TtvqWSHandshakeEvent OnHandshake;

  // Registration: the component takes this component's notify mode.
  void DoRegisterProtocol(TtvqWSComponent_Base* aObject);
  void DoUnRegisterProtocol(TtvqWSComponent_Base* aObject);
  // A plain component for aProtocol, owned here, raising this component's
  // own handlers; and its removal (with every other one of that name).
  TtvqWSComponent_Base* RegisterProtocol(const std::string& aProtocol);
  void UnRegisterProtocol(const std::string& aProtocol);
  std::vector<TtvqWSComponent_Base*> ProtocolObjects() const;

  // Whether aName names aObject: its Protocol, or Guid "." Protocol, letter
  // case ignored; each comma-separated part of its Protocol counts.
  static bool MatchesProtocol(const std::string& aName, const TtvqWSComponent_Base& aObject);
  // The names the handshake offers: the broker's first, then each
  // component's in registration order, comma-separated.
  std::string ProtocolNames() const;

  void SetNotifyEvents(TwsNotifyEvent aValue) override;

  void DoNotifyConnect(TtvqWSConnection* aConnection) override;
  void DoNotifyDisconnect(TtvqWSConnection* aConnection) override;
  void DoNotifyMessage(TtvqWSConnection* aConnection) override;
  void DoNotifyBinary(TtvqWSConnection* aConnection) override;
  void DoNotifyFragmented(TtvqWSConnection* aConnection, const TtvqBytes& aData, TOpcode aOpCode,
                          bool aContinuation) override;
  void DoNotifyError(TtvqWSConnection* aConnection) override;
  void DoNotifyException(TtvqWSConnection* aConnection) override;

  // The registered components' pending events first, then this one's.
  void DrainAll() override;

 private:
  // The components that match aConnection's sub-protocol; empty when it has
  // none.
  std::vector<TtvqWSComponent_Base*> Matching(const TtvqWSConnection& aConnection) const;

  mutable TtvqCriticalSection FProtocolLock;
  std::vector<TtvqWSComponent_Base*> FProtocolObjectList;  // not owned
  std::vector<std::unique_ptr<TtvqWSComponent_Base>> FOwnedProtocols;
  // Unregistered components made here: a connection thread may still be
  // delivering to one, so they go with this component.
  std::vector<std::unique_ptr<TtvqWSComponent_Base>> FRetiredProtocols;
};

// An entry of the server's connection index: its ID is the connection's Guid.
class TtvqQueueItemConnection : public TtvqQueueItemBase {
 public:
  TtvqQueueItemConnection() = default;
  explicit TtvqQueueItemConnection(TtvqWSConnection* aConnection) { SetConnection(aConnection); }
  ~TtvqQueueItemConnection() override { SetConnection(nullptr); }

  TtvqWSConnection* Connection() const { return FConnection; }
  // Also takes the connection's Guid as ID; none leaves ID unchanged.
  void SetConnection(TtvqWSConnection* aConnection);

 private:
  TtvqWSConnection* FConnection = nullptr;  // not owned
};

// A connection's subscription to the channel named by Queue.
class TtvqQueueItemChannel : public TtvqQueueNameItemBase {
 public:
  TtvqQueueItemChannel() = default;
  TtvqQueueItemChannel(TtvqWSConnection* aConnection, std::string aChannel) {
    SetConnection(aConnection);
    Queue = std::move(aChannel);
  }
  ~TtvqQueueItemChannel() override { SetConnection(nullptr); }

  TtvqWSConnection* Connection() const { return FConnection; }
  void SetConnection(TtvqWSConnection* aConnection);

 private:
  TtvqWSConnection* FConnection = nullptr;  // not owned
};

// The server's index of open connections by Guid.
class TtvqCacheQueueListConnections : public TtvqCacheQueueList<TtvqQueueItemConnection> {
 public:
  TtvqWSConnection* GetConnection(const std::string& aGuid);
};

// The server's channel subscriptions: one named queue per channel, holding
// one item per subscribed connection. A channel's name is forgotten with its
// last subscriber, and looking a channel up never makes one, so names that
// nobody subscribes to cost nothing.
class TtvqQueueListChannels : public TtvqQueueNameListBase<TtvqQueueItemChannel> {
 public:
  TtvqQueueListChannels() { Reclaim = true; }
  // Appends to aList the item of aID from every channel, last channel first.
  // The items stay valid only while no other thread unsubscribes aID: call
  // it from the thread that manages that connection's subscriptions.
  void GetChannels(const std::string& aID, std::vector<TtvqQueueItemChannel*>& aList);
  // Appends to aList the connections subscribed to aChannel, newest first;
  // none for an unknown channel.
  void GetConnections(const std::string& aChannel, std::vector<TtvqWSConnection*>& aList);
};

struct TtvqWSOptimizations {
  struct {
    bool Enabled = true;
    int CacheSize = 100;
    int GroupLevel = 1;
  } Connections;
  struct {
    bool Enabled = true;
  } Channels;
  struct {
    bool Enabled = true;
    int Interval = 60;  // seconds
  } ConnectionsFree;
};

struct TtvqWSWatchDog {
  bool Enabled = false;
  struct {
    bool Enabled = false;
    int TimeOut = 10;
  } Monitor;
};

// Adds the server's index of open connections, its channel index, and the
// deferred freeing of closed connections.
class TtvqWSComponent_Server : public TtvqWSComponent {
 public:
  TtvqWSComponent_Server();
  ~TtvqWSComponent_Server() override;

  TtvqWSOptimizations Optimizations;
  TtvqWSWatchDog WatchDog;
  std::function<void(TtvqWSConnection*, bool&)> OnUnknownProtocol;

  TtvqCacheQueueListConnections& Connections();
  TtvqQueueListChannels& Channels();

  // Attaching a sub-protocol component sets its server to this one (which
  // registers it); detaching clears it.
  using TtvqWSComponent::RegisterProtocol;
  using TtvqWSComponent::UnRegisterProtocol;
  void RegisterProtocol(TtvqWSComponent_Base* aObject);
  void UnRegisterProtocol(TtvqWSComponent_Base* aObject);

  // The open connections at the moment of the call. They stay valid well
  // after it: a closed connection is parked before it is freed.
  virtual std::vector<TtvqWSConnection*> GetConnectionList() { return {}; }
  // Closed connections waiting to be freed; the list owns them.
  TtvqQueueCommon<TtvqWSConnection>& ConnectionsFree();

  void SetNotifyEvents(TwsNotifyEvent aValue) override;

  void DoNotifyConnect(TtvqWSConnection* aConnection) override;
  void DoNotifyDisconnect(TtvqWSConnection* aConnection) override;
  void DoFreeConnection(TtvqWSConnection* aConnection) override;

  // The channel index follows each connection's subscriptions.
  void DoConnectionSubscription(TtvqWSConnection& aConnection, const std::string& aChannel);
  void DoConnectionUnSubscription(TtvqWSConnection& aConnection, const std::string& aChannel);

  // The free-list timer runs from server start to server stop; stopping
  // frees every parked connection. A tick frees the connections parked
  // before the previous tick, so that none is freed the moment it is parked
  // while its own thread may still be finishing with it. Starting, stopping
  // a running timer, and the ticks (but in neNoSync mode, where they run on
  // the timer's thread) are the main thread's; a debug build asserts it.
  void StartConnectionsFreeTimer();
  void StopConnectionsFreeTimer();
  void FreeParkedConnections();

  // ---- implemented by the server
  virtual void Broadcast(const std::string& aMessage, const std::string& aChannel = {},
                         const std::string& aProtocol = {}, const std::vector<std::string>& aExclude = {},
                         const std::vector<std::string>& aInclude = {}) = 0;
  virtual void Broadcast(const TtvqBytes& aStream, const std::string& aChannel = {}, const std::string& aProtocol = {},
                         const std::vector<std::string>& aExclude = {}, const std::vector<std::string>& aInclude = {},
                         int aSize = 0, TwsStreaming aStreaming = stmNone) = 0;
  virtual bool WriteData(const std::string& aGuid, const std::string& aMessage) = 0;
  virtual bool WriteData(const std::string& aGuid, const TtvqBytes& aStream, int aSize = 0,
                         TwsStreaming aStreaming = stmNone) = 0;

 private:
  std::unique_ptr<TtvqCacheQueueListConnections> FConnections;
  std::unique_ptr<TtvqQueueListChannels> FChannels;
  std::unique_ptr<TtvqQueueCommon<TtvqWSConnection>> FConnectionsFree;
  std::unique_ptr<TtvqTimer> FConnectionsFreeTimer;
  std::vector<TtvqWSConnection*> FFreeAtNextTick;  // the ticks' thread only (see FreeParkedConnections)
};
