// Public: the WebSocket wire codec, apart from any socket: the frame
// readers of RFC 6455 and of the Hixie-76 draft, which take received bytes
// in and give back events or a violation, and the frame writer, which fills
// a buffer. No locks and no I/O inside: a reader belongs to the one thread
// that reads its connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tvqWebSocket_Types.h"

// ---------------------------------------------------------------- predicates

// Whether a close frame may carry aCode: 1000 to 1003, 1007 to 1011 and
// 3000 to 4999. Codes such as 1005 and 1006 only stand for a missing code
// and never travel.
bool tvqIsValidCloseCode(int aCode);

// The op-code of a wire code; opNone for the reserved codes 3 to 7 and 0xB
// to 0xF.
TOpcode tvqOpcodeOfWireCode(std::uint8_t aCode);

// Checks UTF-8 as it arrives in pieces, so that a malformed sequence fails
// at its first wrong byte, also when the message is far from complete.
class TtvqUTF8Validator {
 public:
  // False from the first byte that cannot begin or continue well-formed
  // UTF-8 (overlong, a surrogate, above U+10FFFF, a stray byte) on.
  bool Feed(const std::uint8_t* aBytes, std::size_t aLength);
  // No sequence is left open: the text may end here.
  bool Complete() const { return FNeed == 0 && !FFailed; }
  void Reset() { *this = TtvqUTF8Validator{}; }

 private:
  int FNeed = 0;               // continuation bytes still expected
  std::uint8_t FLo = 0x80;     // the allowed range of the next one
  std::uint8_t FHi = 0xBF;
  bool FFailed = false;
};

// Whether aBytes is well-formed UTF-8 as a whole.
bool tvqIsValidUTF8(const std::uint8_t* aBytes, std::size_t aLength);

// ---------------------------------------------------------------- writing

// The longest frame header: 2 bytes, 8 of length, 4 of masking key.
inline constexpr std::size_t kTvqMaxFrameHeader = 14;

// Writes the header of a frame into aOut (kTvqMaxFrameHeader bytes of
// room); a mask key (4 bytes) sets the MASK bit and follows the length.
// Returns the header's size.
std::size_t tvqWriteFrameHeader(std::uint8_t* aOut, TOpcode aOpCode, bool aFin, std::uint64_t aLength,
                                const std::uint8_t* aMaskKey = nullptr);

// Appends a whole frame to aOut; with a mask key the payload is masked.
void tvqAppendFrame(TtvqBytes& aOut, TOpcode aOpCode, bool aFin, const std::uint8_t* aPayload, std::size_t aLength,
                    const std::uint8_t* aMaskKey = nullptr);

// Appends a Hixie-76 text frame (0x00, the text, 0xFF), or its closing
// frame (0xFF 0x00) for opClose.
void tvqAppendHixie76Frame(TtvqBytes& aOut, TOpcode aKind, const std::string& aText = {});

// ---------------------------------------------------------------- reading

// What a reader gives back.
struct TtvqFrameEvent {
  enum TKind {
    fevNone,
    fevMessage,    // a whole text or binary message
    fevFragment,   // one frame of a message, as the fragment mode asks
    fevPing,
    fevPong,
    fevClose,      // the peer's close: PeerCloseCode, Text its reason
    fevViolation,  // the peer broke the protocol: fail with CloseCode and Text
  };
  TKind Kind = fevNone;
  TOpcode OpCode = opNone;        // message and fragment: opText or opBinary
  bool More = false;              // fragment: more of its message follows
  const TtvqBytes* Data = nullptr;  // the payload; valid until Next()
  int CloseCode = 0;      // violation: the code to fail the connection with
  int PeerCloseCode = 0;  // the code of a close frame (0: none), also of one refused
  std::string Text;       // close: the reason; violation: the error text
};

// What both readers share: the event ready to be handed over, and whether
// the peer broke the protocol (then nothing more is read).
class TtvqWireReader {
 public:
  bool Ready() const { return FEvent.Kind != TtvqFrameEvent::fevNone; }
  const TtvqFrameEvent& Event() const { return FEvent; }
  bool Failed() const { return FFailed; }

 protected:
  TtvqFrameEvent FEvent;
  bool FFailed = false;
};

// A frame assembler: the state of the frame being read and the payload of
// the message collected so far.
class TtvqWSMsg {
 public:
  bool Continuation = false;  // the frame being read has op-code 0
  bool Fragmented = false;    // the frame being read has FIN clear
  int MaskIndex = 0;          // masking-key bytes read; then the key's position
  TOpcode OpCode = opNone;    // of the message held; continuations keep it
  TPayload PayLoad = pa7bits;
  std::uint64_t PayLoadLength = 0;  // payload bytes still to read
  int PLState = 0;                  // extended-length bytes read
  bool ReadMasked = false;
  int State = 0;                    // 0 first header byte ... 4 payload
  TtvqBytes Stream;                 // the assembled payload of the message
  std::array<std::uint8_t, 4> Mask{};

  void Clear();
};

// The RFC 6455 reader. Consume() reads until an event is ready or the
// bytes are used up, and never beyond the event's last byte; Next() hands
// the event back and lets reading go on. State lives here between calls,
// so a frame may arrive a byte at a time. Text is checked as it arrives.
// After a violation nothing more is read.
class TtvqFrameReader : public TtvqWireReader {
 public:
  struct TOptions {
    bool MaskRequired = true;  // a server requires masked frames
    TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
    // The largest message taken, fragments together: "Message too big", 1009.
    std::uint64_t MaxMessageSize = 16u * 1024u * 1024u;
  };

  TtvqFrameReader() = default;
  explicit TtvqFrameReader(const TOptions& aOptions) : FOptions(aOptions) {}

  TOptions& Options() { return FOptions; }

  // Returns how many of the bytes were taken.
  std::size_t Consume(const std::uint8_t* aData, std::size_t aLength);
  void Next();
  // A frame has begun and not ended, or a fragmented message waits for its
  // last fragment.
  bool InProgress() const {
    return FWSMessage.State != 0 || FWSControlCode.State != 0 || FWSMessage.Fragmented;
  }

 private:
  // One header byte of the current state; false when it stopped reading.
  bool HeaderByte(std::uint8_t aByte);
  bool FirstByte(std::uint8_t aByte);
  bool SecondByte(std::uint8_t aByte);
  bool LengthComplete();
  std::size_t PayloadBytes(const std::uint8_t* aData, std::size_t aLength);
  void FrameComplete();
  void ControlComplete();
  void Violation(const char* aText, int aCode);
  void Raise(TtvqFrameEvent::TKind aKind, const TtvqBytes& aData);

  TOptions FOptions;
  TtvqWSMsg FWSMessage;      // text, binary and their continuations
  TtvqWSMsg FWSControlCode;  // close, ping, pong
  TtvqWSMsg* FWSMSG = &FWSMessage;  // the assembler of the frame read last
  TtvqUTF8Validator FUTF8;   // the text message being read
  bool FMessageAfter = false;  // a whole message follows the fragment event
};

// The Hixie-76 reader: text frames 0x00 ... 0xFF, and the closing frame
// 0xFF 0x00 (any other byte after 0xFF is dropped, as are bytes between
// frames). The same Consume / Ready / Next contract.
class TtvqHixie76Reader : public TtvqWireReader {
 public:
  std::uint64_t MaxMessageSize = 16u * 1024u * 1024u;

  std::size_t Consume(const std::uint8_t* aData, std::size_t aLength);
  void Next();
  // A frame (or the closing frame) has begun and not ended.
  bool InProgress() const { return FState != 0; }

 private:
  int FState = 0;  // 0 between frames, 1 inside one, 2 after a 0xFF between frames
  TtvqBytes FStream;
};
