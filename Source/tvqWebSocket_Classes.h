// Public: the vocabulary of a WebSocket connection (op-codes, streaming
// modes, byte buffers) and the connection class chain with its identity.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tvqWebSocket_Classes_SyncObjs.h"

// WebSocket op-codes in declaration order; opNone marks an assembler that
// holds no message and has no wire code.
enum TOpcode { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };

// How one write relates to a message sent in several writes.
enum TwsStreaming { stmNone, stmFirst, stmContinue, stmLast, stmContinueAndLast };

// The bytes of a binary message or any other in-memory stream.
using TtvqBytes = std::vector<std::uint8_t>;

// A new random identity: a version-4 GUID written as 32 upper-case
// hexadecimal digits, without braces or dashes.
std::string TtvqNewGuid();

// Base of every connection: its locks and its identity.
class TtvqTCPConnection_Base {
 public:
  TtvqTCPConnection_Base();
  TtvqTCPConnection_Base(const TtvqTCPConnection_Base&) = delete;
  TtvqTCPConnection_Base& operator=(const TtvqTCPConnection_Base&) = delete;
  virtual ~TtvqTCPConnection_Base() = default;

  // The connection's identity; fixed for the object's life.
  const std::string& Guid() const { return FGuid; }

  // The write lock: every frame is written while holding it.
  TtvqCriticalSection FCS;
  // Further locks; lock 0 guards the subscriptions.
  std::array<TtvqCriticalSection, 6> FCSArray;

  // Free for the application; not owned.
  void* Data = nullptr;
  // Set just before the object is destroyed through the server.
  std::atomic<bool> FFreed{false};

 private:
  const std::string FGuid;
};

class TtvqTCPConnection : public TtvqTCPConnection_Base {};

class TtvqWSConnection : public TtvqTCPConnection {};
