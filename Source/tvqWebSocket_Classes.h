// Public: the vocabulary of a WebSocket connection (op-codes, streaming
// modes, specifications, transports, byte buffers), the library's error
// class, and the connection classes up to the transport-free
// TtvqWSConnection: identity, options, subscriptions, queue levels, and the
// public write, ping, close and disconnect operations. The codec that reads
// and writes frames is TtvqWSConnection_Base_Net (tvqWebSocket_Classes_Net).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tvqWebSocket_Classes_SyncObjs.h"

// WebSocket op-codes in declaration order; opNone marks an assembler that
// holds no message and has no wire code.
enum TOpcode { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };

// The wire code of an op-code (opNone has none: 0xFF).
std::uint8_t OpcodeWireCode(TOpcode aOpCode);
bool IsControlOpcode(TOpcode aOpCode);

// How one write relates to a message sent in several writes.
enum TwsStreaming { stmNone, stmFirst, stmContinue, stmLast, stmContinueAndLast };

// The length forms of a frame.
enum TPayload { pa7bits, pa16bits, pa64bits };

enum TwsSpecification { spRFC6455, spHixie76, spRFC8441 };

enum TwsTransport { trpUndefined, trpRFC6455, trpHixie76, trpFlash, trpRFC8441, trpSSE, trpTCP, trpHTTP, trpHTTP2 };

// What the reader does with the fragments of a message.
enum TwsFragmentedMessages { frgOnlyBuffer, frgOnlyFragmented, frgAll };

enum TwsQueueMsgLevels { qmNone, qmLevel0, qmLevel1, qmLevel2 };

// The bytes of a binary message or any other in-memory stream.
using TtvqBytes = std::vector<std::uint8_t>;

using TtvqDateTime = std::chrono::system_clock::time_point;

// The library's error: its message is the text reported to the application.
class TtvqWSException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A new random identity: a version-4 GUID written as 32 upper-case
// hexadecimal digits, without braces or dashes.
std::string TtvqNewGuid();

// Splits a comma-separated list; only commas separate, blanks belong to the
// names, empty names are dropped.
std::vector<std::string> TtvqSplitCommas(const std::string& aText);

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
  const TAddresses& Addresses();

  const std::string FGuid;
  std::atomic<TwsTransport> FTransport{trpUndefined};
  std::string FMsgReceived;  // guarded by FWaitLock
  std::once_flag FAddressesRead;
  TAddresses FAddresses;
};

class TtvqTCPConnection : public TtvqTCPConnection_Base {};

// ---------------------------------------------------------------- TtvqWSConnection

class TtvqQueueList;
class TtvqQueueItemBase;
template <class T>
class TtvqQueue;

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

  // Items that sub-protocol components attach under an ID; owned.
  TtvqQueue<TtvqQueueItemBase>& ProtocolData();

  std::vector<std::string> Subscriptions() const;
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

 protected:
  friend class TtvqWSConnectionServer;

  void SetEnabled(bool aValue) { FEnabled.store(aValue, std::memory_order_release); }

  virtual void DoWriteData(const std::string& /*aText*/, int /*aSize*/, TwsStreaming /*aStreaming*/) {}
  virtual void DoWriteData(const TtvqBytes& /*aStream*/, int /*aSize*/, TwsStreaming /*aStreaming*/) {}
  virtual void DoPing(const std::string& /*aText*/) {}
  virtual void DoQueuePing(const std::string& aText);
  virtual void DoWriteClose(int /*aCloseCode*/) {}
  virtual void DoCloseConnection(const std::string& /*aMessage*/, int /*aCloseCode*/) {}

  // Frees the held-back messages of the given levels.
  void FreeQueuedMessages(std::initializer_list<int> aLevels);
  TtvqQueueList& QueueLevel(TwsQueueMsgLevels aLevel);

  void NotePing();
  void NotePong(const std::string* aMatchedText);

 private:
  std::atomic<bool> FDisconnected{false};
  std::atomic<bool> FEnabled{false};
  std::array<std::unique_ptr<TtvqQueueList>, 3> FQueueLevels;  // levels 0, 1, 2
  std::unique_ptr<TtvqQueue<TtvqQueueItemBase>> FProtocolData;
  std::vector<std::string> FSubscriptions;  // guarded by FCSArray[0]
  TtvqDateTime FLastPing{}, FLastPong{}, FFirstPing{};  // guarded by FWaitLock
  std::string FPong;                                    // guarded by FWaitLock
};
