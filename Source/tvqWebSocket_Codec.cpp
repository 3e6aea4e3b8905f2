#include "tvqWebSocket_Codec.h"

#include <algorithm>
#include <cstring>

#include "tvqText.h"

// ---------------------------------------------------------------- predicates

bool tvqIsValidCloseCode(int aCode) {
  return (aCode >= 1000 && aCode <= 1003) || (aCode >= 1007 && aCode <= 1011) || (aCode >= 3000 && aCode <= 4999);
}

TOpcode tvqOpcodeOfWireCode(std::uint8_t aCode) {
  switch (aCode) {
    case 0x0: return opContinuation;
    case 0x1: return opText;
    case 0x2: return opBinary;
    case 0x8: return opClose;
    case 0x9: return opPing;
    case 0xA: return opPong;
    default: return opNone;
  }
}

bool TtvqUTF8Validator::Feed(const std::uint8_t* aBytes, std::size_t aLength) {
  if (FFailed) return false;
  std::size_t i = 0;
  while (i < aLength) {
    if (FNeed == 0) {
      // Runs of ASCII, eight bytes at a time: the common case.
      while (i + 8 <= aLength) {
        std::uint64_t word;
        std::memcpy(&word, aBytes + i, 8);
        if (word & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i == aLength) break;
      const std::uint8_t b = aBytes[i++];
      if (b < 0x80) continue;
      if (!tvqUTF8Lead(b, FNeed, FLo, FHi)) {
        FFailed = true;
        return false;
      }
      continue;
    }
    const std::uint8_t b = aBytes[i++];
    if (b < FLo || b > FHi) {
      FFailed = true;
      return false;
    }
    FLo = 0x80;
    FHi = 0xBF;
    --FNeed;
  }
  return true;
}

bool tvqIsValidUTF8(const std::uint8_t* aBytes, std::size_t aLength) {
  TtvqUTF8Validator validator;
  return validator.Feed(aBytes, aLength) && validator.Complete();
}

// ---------------------------------------------------------------- writing

std::size_t tvqWriteFrameHeader(std::uint8_t* aOut, TOpcode aOpCode, bool aFin, std::uint64_t aLength,
                                const std::uint8_t* aMaskKey) {
  std::size_t at = 0;
  aOut[at++] = static_cast<std::uint8_t>(OpcodeWireCode(aOpCode) | (aFin ? 0x80 : 0x00));
  const std::uint8_t maskBit = aMaskKey ? 0x80 : 0x00;
  if (aLength < 126) {
    aOut[at++] = static_cast<std::uint8_t>(maskBit | aLength);
  } else if (aLength <= 0xFFFF) {
    aOut[at++] = maskBit | 126;
    aOut[at++] = static_cast<std::uint8_t>(aLength >> 8);
    aOut[at++] = static_cast<std::uint8_t>(aLength);
  } else {
    aOut[at++] = maskBit | 127;
    for (int shift = 56; shift >= 0; shift -= 8) aOut[at++] = static_cast<std::uint8_t>(aLength >> shift);
  }
  if (aMaskKey) {
    std::memcpy(aOut + at, aMaskKey, 4);
    at += 4;
  }
  return at;
}

void tvqAppendFrame(TtvqBytes& aOut, TOpcode aOpCode, bool aFin, const std::uint8_t* aPayload, std::size_t aLength,
                    const std::uint8_t* aMaskKey) {
  std::uint8_t header[kTvqMaxFrameHeader];
  const std::size_t headerSize = tvqWriteFrameHeader(header, aOpCode, aFin, aLength, aMaskKey);
  const std::size_t start = aOut.size();
  aOut.resize(start + headerSize + aLength);
  std::memcpy(aOut.data() + start, header, headerSize);
  std::uint8_t* payload = aOut.data() + start + headerSize;
  if (aLength > 0) std::memcpy(payload, aPayload, aLength);
  if (aMaskKey)
    for (std::size_t i = 0; i < aLength; ++i) payload[i] ^= aMaskKey[i % 4];
}

void tvqAppendHixie76Frame(TtvqBytes& aOut, TOpcode aKind, const std::string& aText) {
  if (aKind == opClose) {
    aOut.insert(aOut.end(), {0xFF, 0x00});
    return;
  }
  aOut.reserve(aOut.size() + aText.size() + 2);
  aOut.push_back(0x00);
  aOut.insert(aOut.end(), aText.begin(), aText.end());
  aOut.push_back(0xFF);
}

// ---------------------------------------------------------------- the RFC 6455 reader

void TtvqWSMsg::Clear() { *this = TtvqWSMsg{}; }

void TtvqFrameReader::Violation(const char* aText, int aCode) {
  FFailed = true;
  FEvent.Kind = TtvqFrameEvent::fevViolation;
  FEvent.CloseCode = aCode;
  FEvent.Text = aText;
}

void TtvqFrameReader::Raise(TtvqFrameEvent::TKind aKind, const TtvqBytes& aData) {
  FEvent.Kind = aKind;
  FEvent.Data = &aData;
}

std::size_t TtvqFrameReader::Consume(const std::uint8_t* aData, std::size_t aLength) {
  std::size_t at = 0;
  while (at < aLength && !Ready() && !FFailed) {
    if (FWSMSG->State == 4) {
      at += PayloadBytes(aData + at, aLength - at);
    } else {
      HeaderByte(aData[at++]);
    }
  }
  return at;
}

bool TtvqFrameReader::HeaderByte(std::uint8_t aByte) {
  TtvqWSMsg& msg = *FWSMSG;
  switch (msg.State) {
    case 0: return FirstByte(aByte);
    case 1: return SecondByte(aByte);
    case 2:
      msg.PayLoadLength = (msg.PayLoadLength << 8) | aByte;
      ++msg.PLState;
      // The most significant bit of a 64-bit length must be 0.
      if (msg.PayLoad == pa64bits && msg.PLState == 1 && (aByte & 0x80) != 0) {
        Violation("Invalid payload length", 1002);
        return false;
      }
      if (msg.PLState == (msg.PayLoad == pa16bits ? 2 : 8)) return LengthComplete();
      return true;
    case 3:
      msg.Mask[static_cast<std::size_t>(msg.MaskIndex++)] = aByte;
      if (msg.MaskIndex < 4) return true;
      msg.MaskIndex = 0;
      if (msg.PayLoadLength > 0) {
        msg.State = 4;
      } else {
        FrameComplete();
      }
      return true;
    default: return false;
  }
}

bool TtvqFrameReader::FirstByte(std::uint8_t aByte) {
  FWSMSG->Continuation = false;
  const TOpcode opCode = tvqOpcodeOfWireCode(aByte & 0x0F);
  switch (opCode) {
    case opContinuation:
      FWSMSG = &FWSMessage;
      FWSMSG->Continuation = true;
      if (FWSMSG->OpCode == opNone) {
        Violation("Unfragmented message after continuation frame with FIN", 1002);
        return false;
      }
      break;
    // A new message while the data assembler still waits for the last
    // fragment of one, also when control frames came in between.
    case opText:
    case opBinary:
      FWSMSG = &FWSMessage;
      if (FWSMSG->Fragmented) {
        Violation(opCode == opText ? "OpCode error, received opText after Continuation not finished"
                                   : "OpCode error, received opBinary after Continuation not finished",
                  1002);
        return false;
      }
      FWSMSG->OpCode = opCode;
      FUTF8.Reset();
      break;
    case opClose:
    case opPing:
    case opPong:
      FWSMSG = &FWSControlCode;
      FWSMSG->OpCode = opCode;
      break;
    case opNone:
      Violation("Invalid Control OptCode", 1002);
      return false;
  }
  FWSMSG->Fragmented = (aByte & 0x80) == 0;
  // No extension is negotiated, so no frame may carry an RSV bit, a
  // continuation frame included.
  if ((aByte & 0x70) != 0) {
    Violation("Invalid value of RSV while no Extension Negotiated", 1002);
    return false;
  }
  if (FWSMSG->Fragmented && IsControlOpcode(FWSMSG->OpCode)) {
    Violation("Control Message must not be fragmented", 1002);
    return false;
  }
  FWSMSG->State = 1;
  return true;
}

bool TtvqFrameReader::SecondByte(std::uint8_t aByte) {
  TtvqWSMsg& msg = *FWSMSG;
  msg.ReadMasked = (aByte & 0x80) != 0;
  if (!msg.ReadMasked && FOptions.MaskRequired) {
    Violation("Message is not masked", 1002);
    return false;
  }
  msg.MaskIndex = 0;
  msg.PayLoadLength = aByte & 0x7F;
  msg.PLState = 0;
  if (msg.PayLoadLength < 126) {
    msg.PayLoad = pa7bits;
    if (!msg.ReadMasked && msg.PayLoadLength == 0) {
      FrameComplete();  // an unmasked empty frame (where masks are not required) is complete
      return true;
    }
    return LengthComplete();
  }
  if (IsControlOpcode(msg.OpCode)) {
    Violation("Control frames are only allowed to have payload up to and including 125 octets", 1002);
    return false;
  }
  msg.PayLoad = msg.PayLoadLength == 126 ? pa16bits : pa64bits;
  msg.PayLoadLength = 0;
  msg.State = 2;
  return true;
}

// The length of the frame is known: check it and move on to the key or
// the payload.
bool TtvqFrameReader::LengthComplete() {
  TtvqWSMsg& msg = *FWSMSG;
  const std::uint64_t assembled = IsControlOpcode(msg.OpCode) ? 0 : msg.Stream.size();
  if (msg.PayLoadLength > FOptions.MaxMessageSize || assembled + msg.PayLoadLength > FOptions.MaxMessageSize) {
    Violation("Message too big", 1009);
    return false;
  }
  if (!msg.ReadMasked && msg.PayLoadLength == 0) {
    FrameComplete();
    return true;
  }
  msg.State = msg.ReadMasked ? 3 : 4;
  return true;
}

// Payload bytes go straight into the message, unmasked as they come; text
// is checked on the way, so that a bad sequence fails the message at once.
std::size_t TtvqFrameReader::PayloadBytes(const std::uint8_t* aData, std::size_t aLength) {
  TtvqWSMsg& msg = *FWSMSG;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(aLength, msg.PayLoadLength));
  const std::size_t start = msg.Stream.size();
  msg.Stream.resize(start + count);
  std::uint8_t* out = msg.Stream.data() + start;
  if (msg.ReadMasked) {
    std::size_t key = static_cast<std::size_t>(msg.MaskIndex);
    for (std::size_t i = 0; i < count; ++i) out[i] = aData[i] ^ msg.Mask[(key + i) & 3];
    msg.MaskIndex = static_cast<int>((key + count) & 3);
  } else {
    std::memcpy(out, aData, count);
  }
  msg.PayLoadLength -= count;
  if (msg.OpCode == opText && !FUTF8.Feed(out, count)) {
    Violation("Invalid UTF8 message", 1007);
    return count;
  }
  if (msg.PayLoadLength == 0) FrameComplete();
  return count;
}

// The end of a frame: an event, or the data assembler waits for the next
// fragment.
void TtvqFrameReader::FrameComplete() {
  TtvqWSMsg& msg = *FWSMSG;
  msg.State = 0;
  msg.PLState = 0;
  if (IsControlOpcode(msg.OpCode)) return ControlComplete();
  const bool more = msg.Fragmented;
  // The last fragment must not cut a character off.
  if (!more && msg.OpCode == opText && !FUTF8.Complete()) return Violation("Invalid UTF8 message", 1007);
  if (FOptions.FragmentedMessages == frgOnlyBuffer && more) return;  // the next fragment follows
  FEvent.OpCode = msg.OpCode;
  FEvent.More = more;
  if (FOptions.FragmentedMessages == frgOnlyBuffer) return Raise(TtvqFrameEvent::fevMessage, msg.Stream);
  Raise(TtvqFrameEvent::fevFragment, msg.Stream);
  FMessageAfter = FOptions.FragmentedMessages == frgAll && !more;
}

void TtvqFrameReader::ControlComplete() {
  const TtvqBytes& payload = FWSControlCode.Stream;
  switch (FWSControlCode.OpCode) {
    case opPing: return Raise(TtvqFrameEvent::fevPing, payload);
    case opPong: return Raise(TtvqFrameEvent::fevPong, payload);
    default: break;
  }
  // A close: no payload, or a code of two bytes and a UTF-8 reason.
  if (payload.size() == 1) return Violation("Invalid Payload length for close code", 1002);
  if (payload.size() >= 2) {
    const int code = (payload[0] << 8) | payload[1];
    FEvent.PeerCloseCode = code;
    if (!tvqIsValidCloseCode(code)) return Violation("Invalid close code", 1002);
    if (!tvqIsValidUTF8(payload.data() + 2, payload.size() - 2)) return Violation("Invalid UTF8 message", 1007);
    FEvent.Text.assign(payload.begin() + 2, payload.end());
  }
  Raise(TtvqFrameEvent::fevClose, payload);
}

void TtvqFrameReader::Next() {
  if (!Ready() || FFailed) return;
  const TtvqFrameEvent::TKind kind = FEvent.Kind;
  FEvent = TtvqFrameEvent{};
  switch (kind) {
    case TtvqFrameEvent::fevFragment:
      if (FOptions.FragmentedMessages == frgOnlyFragmented) {
        // Each fragment is handed over alone; the last one ends the message.
        if (FWSMessage.Fragmented)
          FWSMessage.Stream.clear();
        else
          FWSMessage.Clear();
      } else if (FMessageAfter) {
        FMessageAfter = false;
        FEvent.OpCode = FWSMessage.OpCode;
        Raise(TtvqFrameEvent::fevMessage, FWSMessage.Stream);
      }
      break;
    case TtvqFrameEvent::fevMessage: FWSMessage.Clear(); break;
    default: FWSControlCode.Clear(); break;
  }
}

// ---------------------------------------------------------------- the Hixie-76 reader

std::size_t TtvqHixie76Reader::Consume(const std::uint8_t* aData, std::size_t aLength) {
  std::size_t at = 0;
  while (at < aLength && !Ready() && !FFailed) {
    const std::uint8_t b = aData[at++];
    switch (FState) {
      case 0:
        if (b == 0x00) FState = 1;
        else if (b == 0xFF) FState = 2;  // the byte after it decides
        break;
      case 2:
        FState = 0;
        if (b == 0x00) FEvent.Kind = TtvqFrameEvent::fevClose;
        break;
      default: {
        if (b != 0xFF) {
          // Up to the frame's end at once.
          const std::uint8_t* end = std::find(aData + at, aData + aLength, std::uint8_t{0xFF});
          FStream.push_back(b);
          FStream.insert(FStream.end(), aData + at, end);
          at = static_cast<std::size_t>(end - aData);
          if (FStream.size() > MaxMessageSize) {
            FFailed = true;
            FEvent = {TtvqFrameEvent::fevViolation, opNone, false, nullptr, 1009, 0, "Message too big"};
          }
          break;
        }
        FState = 0;
        if (!tvqIsValidUTF8(FStream.data(), FStream.size())) {
          FFailed = true;
          FEvent = {TtvqFrameEvent::fevViolation, opNone, false, nullptr, 1007, 0, "Invalid UTF8 message"};
          break;
        }
        FEvent.Kind = TtvqFrameEvent::fevMessage;
        FEvent.OpCode = opText;
        FEvent.Data = &FStream;
      }
    }
  }
  return at;
}

void TtvqHixie76Reader::Next() {
  if (!Ready() || FFailed) return;
  if (FEvent.Kind == TtvqFrameEvent::fevMessage) FStream.clear();
  FEvent = TtvqFrameEvent{};
}
