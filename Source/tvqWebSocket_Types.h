// Public: the vocabulary every layer speaks: WebSocket op-codes, streaming
// modes, specifications, transports, fragment modes and queue levels, the
// byte buffer, and the library's error class. Standard C++ only.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

// WebSocket op-codes in declaration order; opNone marks an assembler that
// holds no message and has no wire code.
enum TOpcode { opContinuation, opText, opBinary, opClose, opPing, opPong, opNone };

// The wire code of an op-code (opNone has none: 0xFF).
constexpr std::uint8_t OpcodeWireCode(TOpcode aOpCode) {
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

constexpr bool IsControlOpcode(TOpcode aOpCode) { return aOpCode == opClose || aOpCode == opPing || aOpCode == opPong; }

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
