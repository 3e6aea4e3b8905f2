// Internal to the library: what every unit of the TCP transport shares: its
// errors, the byte queue that buffers a connection's input and output, and
// the socket handle. Only the library's own units include it; outside code
// meets these types through tvqWebSocket_Server.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tvqWebSocket_Classes_SyncObjs.h"

// ---------------------------------------------------------------- errors

class ENetException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An error the WebSocket layer passes on without reporting it.
class ENetSilentException : public ENetException {
 public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
 public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

// A failed socket call: "Socket Error # <number>", a line break, the
// platform's text for the number.
class ENetSocketError : public ENetException {
 public:
  explicit ENetSocketError(int aLastError);
  int LastError() const { return FLastError; }

 private:
  int FLastError;
};

class ENetNotASocket : public ENetSocketError {
 public:
  using ENetSocketError::ENetSocketError;
};

#define TVQ_NET_ERROR(Name, Text)                            \
  class Name : public ENetException {                        \
   public:                                                   \
    Name() : ENetException(Text) {}                          \
  }

TVQ_NET_ERROR(ENetNotConnected, "Not Connected");
TVQ_NET_ERROR(ENetReadTimeout, "Read timed out.");
TVQ_NET_ERROR(ENetClosedSocket, "Disconnected.");
TVQ_NET_ERROR(ENetReadLnMaxLineLengthExceeded, "Max line length exceeded.");
// "Could not bind socket.", followed by the address and the reason when
// they are known: "Could not bind socket. 0.0.0.0:5413: address already in
// use (another program listens on that port)".
class ENetCouldNotBindSocket : public ENetException {
 public:
  explicit ENetCouldNotBindSocket(const std::string& aDetail = {})
      : ENetException(aDetail.empty() ? "Could not bind socket." : "Could not bind socket. " + aDetail) {}
};
TVQ_NET_ERROR(ENetTCPNoOnExecute, "You must have an OnExecute event.");
TVQ_NET_ERROR(ENetNoDataToRead, "No data to read.");
TVQ_NET_ERROR(ENetTooMuchDataInBuffer, "Too much data in buffer.");
TVQ_NET_ERROR(ENetCannotChangeIPVersion, "Cannot change IPVersion when connected");
TVQ_NET_ERROR(ENetSchedulerMaxThreadsExceeded,
              "The maximum number of threads for this scheduler is exceeded.");
TVQ_NET_ERROR(ENetCannotChangeScheduler, "Cannot change the scheduler while the server is Active.");

#undef TVQ_NET_ERROR

// ---------------------------------------------------------------- TNetBuffer

// A byte queue: bytes are appended at the end and taken from the front.
//
//   FBytes: [ consumed ... | unread (Size bytes) ... | spare ... ]
//           0            FHead               FHead+FSize      FBytes.size()
//
// Appending moves the unread bytes to the front only when the spare room
// runs out, and then grows the array to Size + appended + 2048. Taking from
// the front only advances FHead until it passes 2048; then the unread bytes
// move to the front. Not locked: one thread fills and drains it.
class TNetBuffer {
 public:
  static constexpr std::size_t kGrowth = 2048;
  static constexpr std::size_t kMaxSize = 2147483647;

  std::size_t Size() const { return FSize; }
  bool IsEmpty() const { return FSize == 0; }
  void Clear();

  // Appends at the end; "Too much data in buffer." past kMaxSize bytes.
  void Write(const std::uint8_t* aData, std::size_t aLength);
  void Write(const std::vector<std::uint8_t>& aBytes) { Write(aBytes.data(), aBytes.size()); }

  // aWhere < 0: takes aCount bytes from the front (aCount < 0: all) and
  // removes them. aWhere >= 0: copies aCount bytes from that position and
  // removes nothing. aAppend adds them to the end of aDest, otherwise aDest
  // is overwritten from its start.
  void ExtractToBytes(std::vector<std::uint8_t>& aDest, std::ptrdiff_t aCount = -1,
                      bool aAppend = true, std::ptrdiff_t aWhere = -1);
  // Drops aCount bytes from the front.
  void Remove(std::size_t aCount);

  // The unread bytes, and a copy of them as text (without consuming them).
  const std::uint8_t* Data() const { return FBytes.data() + FHead; }
  std::string AsString() const { return std::string(reinterpret_cast<const char*>(Data()), FSize); }

 private:
  std::vector<std::uint8_t> FBytes;
  std::size_t FHead = 0;
  std::size_t FSize = 0;
};

// ---------------------------------------------------------------- sockets

enum TNetIPVersion { Net_IPv4, Net_IPv6 };

enum TNetReuseSocket { rsOSDependent, rsTrue, rsFalse };

// An address as text: IPv4 dotted decimal; IPv6 as eight groups of
// upper-case hexadecimal digits without leading zeros, never shortened.
std::string NetAddressText(const void* aSockAddr);

// Whether this host can make IPv6 sockets.
bool NetIPv6Available();

// One socket and its addresses. Closing may come from any thread; it only
// shuts the socket down and marks it closed, so that a thread still waiting
// on the descriptor sees the close. The descriptor number itself is
// released by the destructor, on the thread that owns the handle, so it can
// never be reused while that thread may still wait on it.
class TNetSocketHandle {
 public:
  TNetSocketHandle() = default;
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;
  ~TNetSocketHandle();

  std::string IP;  // local address; empty: every local address
  int Port = 0;
  std::string PeerIP;
  int PeerPort = 0;
  TNetReuseSocket ReuseSocket = rsOSDependent;
  bool UseNagle = true;
  int ClientPortMin = 0;
  int ClientPortMax = 0;

  TNetIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TNetIPVersion aVersion);

  int Handle() const { return FHandle; }
  bool HandleAllocated() const { return FAllocated.load(std::memory_order_acquire); }

  // A new stream socket of this handle's address family.
  void AllocateSocket();
  // Sets the address-reuse option as ReuseSocket says, then binds IP:Port;
  // "Could not bind socket." with the address and the reason when that
  // fails.
  void Bind();
  void Listen(int aBacklog);
  // Waits up to aTimeoutMs for the socket to become readable (-1: no
  // limit); false on a time-out. A closed handle counts as readable.
  bool Select(int aTimeoutMs) const;
  // Accepts one connection of listening socket aListener into this handle.
  // False when there was none to take; raises when the process is out of
  // descriptors or memory.
  bool Accept(int aListener);
  // Applies UseNagle (false: TCP_NODELAY on).
  void ApplyNagle();
  void SetSockOpt(int aLevel, int aOption, int aValue);
  void SetSendTimeout(int aMs);
  void SetKeepAlive(bool aEnabled, int aTimeMs, int aIntervalMs);

  // Receives up to aLength bytes; 0 means the peer closed. Raises
  // ENetSocketError on failure.
  std::size_t Receive(std::uint8_t* aBuffer, std::size_t aLength);
  // Sends some of the bytes (never raising SIGPIPE); returns how many.
  std::size_t Send(const std::uint8_t* aData, std::size_t aLength);
  // Sends what the socket takes at once, without waiting: 0 when it takes
  // nothing now. Raises for a failed socket.
  std::size_t SendNoWait(const std::uint8_t* aData, std::size_t aLength);

  // Marks the handle closed and shuts the socket down in both directions.
  // Safe from any thread; the descriptor stays reserved.
  void CloseSocket();
  // Closes the socket and frees the descriptor: only when no other thread
  // can still use it (the destructor does the same).
  void Release();

  // Re-reads the local (and with aPeer the peer's) address from the socket.
  void UpdateBindingLocal();
  void UpdateBindingPeer();

 private:
  mutable TtvqCriticalSection FLock;  // serialises closing against other users
  int FHandle = -1;
  std::atomic<bool> FAllocated{false};
  TNetIPVersion FIPVersion = Net_IPv4;
};
