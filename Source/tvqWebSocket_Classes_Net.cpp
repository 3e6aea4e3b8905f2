#include "tvqWebSocket_Classes_Net.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "tvqNetIOHandlerStack.h"

namespace {

// Whether aBytes is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool IsValidUTF8(const std::uint8_t* aBytes, std::size_t aLength) {
  for (std::size_t i = 0; i < aLength;) {
    if (aBytes[i] < 0x80) {
      ++i;  // the common case, without a call
      continue;
    }
    const std::size_t length = tvqUTF8SequenceLength(aBytes + i, aLength - i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

const std::uint8_t* BytesOf(const std::string& aText) { return reinterpret_cast<const std::uint8_t*>(aText.data()); }

}  // namespace

// ---------------------------------------------------------------- TtvqWSMsg

void TtvqWSMsg::Clear() { *this = TtvqWSMsg{}; }

// ---------------------------------------------------------------- TtvqWSConnection_Base_Net

TtvqWSConnection_Base_Net::TtvqWSConnection_Base_Net()
    : FQueuePingList(std::make_unique<TtvqThreadListQueuePings>()) {}

TtvqWSConnection_Base_Net::~TtvqWSConnection_Base_Net() = default;

TtvqWSMsg& TtvqWSConnection_Base_Net::DataAssembler() {
  if (!FWSMessage) FWSMessage = std::make_unique<TtvqWSMsg>();
  return *FWSMessage;
}

TtvqWSMsg& TtvqWSConnection_Base_Net::ControlAssembler() {
  if (!FWSControlCode) FWSControlCode = std::make_unique<TtvqWSMsg>();
  return *FWSControlCode;
}

// ---- writing

void TtvqWSConnection_Base_Net::WriteFrame(TOpcode aOpCode, bool aFin, const std::uint8_t* aPayload,
                                           std::size_t aLength) {
  TtvqBytes frame;
  frame.reserve(aLength + 14);
  frame.push_back(static_cast<std::uint8_t>(OpcodeWireCode(aOpCode) | (aFin ? 0x80 : 0x00)));
  const std::uint8_t maskBit = Masked ? 0x80 : 0x00;
  if (aLength < 126) {
    frame.push_back(static_cast<std::uint8_t>(maskBit | aLength));
  } else if (aLength <= 0xFFFF) {
    frame.push_back(maskBit | 126);
    frame.push_back(static_cast<std::uint8_t>(aLength >> 8));
    frame.push_back(static_cast<std::uint8_t>(aLength));
  } else {
    frame.push_back(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<std::uint8_t>(std::uint64_t{aLength} >> shift));
  }
  if (Masked) {
    // Client connections only: a fresh key of values 0 to 254.
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> byte(0, 254);
    std::array<std::uint8_t, 4> key{};
    for (auto& k : key) k = static_cast<std::uint8_t>(byte(random));
    frame.insert(frame.end(), key.begin(), key.end());
    for (std::size_t i = 0; i < aLength; ++i) frame.push_back(aPayload[i] ^ key[i % 4]);
  } else {
    frame.insert(frame.end(), aPayload, aPayload + aLength);
  }

  SendWhole(frame);
}

// One frame, written in one piece under the write lock and counted.
void TtvqWSConnection_Base_Net::SendWhole(const TtvqBytes& aFrame) {
  TtvqLock guard(FCS);
  try {
    SendFrame(aFrame.data(), aFrame.size());
    SendBytes += static_cast<std::int64_t>(aFrame.size());
  } catch (const std::exception& e) {
    throw TtvqWSException(std::string("Error writing message ") + e.what() + ".");
  }
}

void TtvqWSConnection_Base_Net::DoWriteText(const std::string& aText, TOpcode aOpCode, bool aMore) {
  WriteFrame(aOpCode, !aMore, BytesOf(aText), aText.size());
}

void TtvqWSConnection_Base_Net::DoWriteStream(const TtvqBytes& aStream, TOpcode aOpCode, bool aMore) {
  WriteFrame(aOpCode, !aMore, aStream.data(), aStream.size());
}

// The whole message goes out under one hold of FCS, so that no other
// writer's frame can fall between its fragments (which a peer would take
// for a new message before the last fragment).
void TtvqWSConnection_Base_Net::WriteFragments(const std::uint8_t* aData, std::size_t aLength, TOpcode aOpCode,
                                               bool aContinue, int aSize) {
  const auto size = static_cast<std::size_t>(std::max(aSize, 1));
  TtvqLock guard(FCS);
  TtvqClearOnExit endMessage(FWritingMessage);
  for (std::size_t offset = 0; offset < aLength; offset += size) {
    const bool first = offset == 0;
    const bool last = offset + size >= aLength;
    WriteFrame(first && !aContinue ? aOpCode : opContinuation, last, aData + offset, std::min(size, aLength - offset));
    FWritingMessage = true;  // the backlog cap applies to a message's first frame only
  }
}

void TtvqWSConnection_Base_Net::DoWriteTextFragments(const std::string& aText, TOpcode aOpCode, bool aContinue,
                                                     int aSize) {
  WriteFragments(BytesOf(aText), aText.size(), aOpCode, aContinue, aSize);
}

void TtvqWSConnection_Base_Net::DoWriteStreamFragments(const TtvqBytes& aStream, TOpcode aOpCode, bool aContinue,
                                                       int aSize) {
  WriteFragments(aStream.data(), aStream.size(), aOpCode, aContinue, aSize);
}

// Hixie-76 frames also take FCS: the write buffer they use is the
// connection's one, shared with every other writer.
void TtvqWSConnection_Base_Net::DoWriteHixie76(const std::string& aText, TOpcode aKind) {
  TtvqBytes frame;
  if (aKind == opClose) {
    frame = {0xFF, 0x00};
  } else {
    frame.reserve(aText.size() + 2);
    frame.push_back(0x00);
    frame.insert(frame.end(), aText.begin(), aText.end());
    frame.push_back(0xFF);
  }
  SendWhole(frame);
}

// One write by its streaming mode: aMessageOpCode (text or binary) opens a
// message, continuation frames carry it on; aSplit cuts it into frames of
// aSize bytes.
void TtvqWSConnection_Base_Net::WriteByStreaming(const std::uint8_t* aData, std::size_t aLength,
                                                 TOpcode aMessageOpCode, bool aSplit, int aSize,
                                                 TwsStreaming aStreaming) {
  switch (aStreaming) {
    case stmNone:
      if (aSplit) WriteFragments(aData, aLength, aMessageOpCode, false, aSize);
      else WriteFrame(aMessageOpCode, true, aData, aLength);
      break;
    case stmFirst: WriteFrame(aMessageOpCode, false, aData, aLength); break;
    case stmContinue: WriteFrame(opContinuation, false, aData, aLength); break;
    case stmLast: WriteFrame(opContinuation, true, aData, aLength); break;
    case stmContinueAndLast:
      if (aSplit) WriteFragments(aData, aLength, aMessageOpCode, true, aSize);
      else WriteFrame(opContinuation, true, aData, aLength);
      break;
  }
}

void TtvqWSConnection_Base_Net::DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  if (!Enabled()) return;
  if (Specification == spHixie76) {
    DoWriteHixie76(aText, opText);
    return;
  }
  // Bytes decide whether to split, as they decide where to cut: no frame
  // carries more than aSize bytes.
  const bool split = aSize > 0 && aText.size() > static_cast<std::size_t>(aSize);
  WriteByStreaming(BytesOf(aText), aText.size(), opText, split, aSize, aStreaming);
}

void TtvqWSConnection_Base_Net::DoWriteData(const TtvqBytes& aStream, int aSize, TwsStreaming aStreaming) {
  if (!Enabled() || Specification == spHixie76) return;  // Hixie-76 carries no binary
  const bool split = aSize > 0 && aStream.size() > static_cast<std::size_t>(aSize);
  WriteByStreaming(aStream.data(), aStream.size(), opBinary, split, aSize, aStreaming);
}

void TtvqWSConnection_Base_Net::DoWriteClose(int aCloseCode) {
  SetDisconnected(true);
  FDiscardInput = true;
  DiscardInputIfAsked();
  const TwsTransport transport = Transport();
  if (transport != trpRFC6455 && transport != trpFlash && transport != trpRFC8441) return;
  const std::uint8_t code[2] = {static_cast<std::uint8_t>(aCloseCode >> 8), static_cast<std::uint8_t>(aCloseCode)};
  WriteFrame(opClose, true, code, sizeof code);
}

void TtvqWSConnection_Base_Net::DoPing(const std::string& aText) {
  // Before the handshake response is out, a ping would go ahead of it.
  if (!Enabled()) return;
  NotePing();
  const TwsTransport transport = Transport();
  if (transport != trpRFC6455 && transport != trpFlash && transport != trpRFC8441) return;
  FQueuePingList->Add(new TtvqPing{std::chrono::system_clock::now(), aText});
  DoWriteText(aText, opPing, false);
}

// Unread input belongs to the reading thread: another thread only asks for
// it to be dropped, and the reader drops it at its next look.
void TtvqWSConnection_Base_Net::DiscardInputIfAsked() {
  if (FDiscardInput && FReaderThread.load() == std::this_thread::get_id()) {
    FDiscardInput = false;
    ClearInput();
  }
}

// ---- closing

void TtvqWSConnection_Base_Net::DoCloseConnection(const std::string& aMessage, int aCloseCode) {
  if (FDoDisconnect) return;
  if (!Disconnected() && !HasTCPConnection()) return;
  if (FDoDisconnect.exchange(true)) return;  // another thread closes it
  SetDisconnected(true);
  if (CleanDisconnect || FAnswerClose) {
    try {
      DoWriteClose(aCloseCode);
    } catch (const TtvqWSException&) {
      // the peer may be gone already; the drop below follows in any case
    }
  }
  DisconnectPeer();
  if (!aMessage.empty() && RaiseDisconnectExceptions) throw TtvqWSException(aMessage);
}

void TtvqWSConnection_Base_Net::DoAbortConnection() {
  if (Disconnected() || FDoDisconnect.exchange(true)) {
    SetDisconnected(true);
    return;
  }
  SetDisconnected(true);
  try {
    DisconnectPeer();
  } catch (...) {
  }
}

void TtvqWSConnection_Base_Net::DisconnectPeer() {
  if (!HasTCPConnection()) return;
  SetDisconnected(true);
  FreeQueuedMessages({2, 1, 0});
  try {
    // The socket goes first: that also frees a writer stuck in a send to a
    // peer that stopped reading, which would otherwise hold the write buffer.
    DisconnectTransport();
    ClearWriteBuffer();
    FDiscardInput = true;
    DiscardInputIfAsked();
  } catch (const ENetSilentException&) {
    if (RaiseDisconnectExceptions) throw;
  }
}

// ---- reading

std::size_t TtvqWSConnection_Base_Net::DoReadBytes(std::size_t aCount, TtvqBytes& aAppendTo) {
  const std::size_t count = std::min(aCount, InputSize());
  if (count == 0) return 0;
  TakeInput(count, aAppendTo);
  RecBytes += static_cast<std::int64_t>(count);
  return count;
}

void TtvqWSConnection_Base_Net::DoReadData(bool aMaskRequired) {
  FReaderThread = std::this_thread::get_id();
  if (!Enabled()) {
    DoHandshake();
    FState = 0;
    return;
  }
  DiscardInputIfAsked();
  const auto qualifies = [this] { return HasTCPConnection() && !Disconnected() && !FMustDisconnect; };
  while (qualifies() && InputSize() > 0) {
    switch (Transport()) {
      case trpTCP: case trpRFC8441: case trpHTTP2:
        return;  // transports this library does not carry
      default:
        if (Specification == spHixie76)
          DoReadFrameHixie76();
        else
          DoReadFrame(aMaskRequired);
    }
    // The rest of a frame split over segments is read in the same pass
    // when it comes within the time-out.
    if (qualifies() && InputSize() == 0) WaitForInput();
  }
}

void TtvqWSConnection_Base_Net::LengthComplete() {
  TtvqWSMsg& msg = *FWSMSG;
  const std::uint64_t assembled = IsControlOpcode(msg.OpCode) ? 0 : msg.Stream.size();
  if (msg.PayLoadLength > MaxMessageSize || assembled + msg.PayLoadLength > MaxMessageSize) {
    Violation("Message too big", 1009);
    return;
  }
  if (!msg.ReadMasked && msg.PayLoadLength == 0) {
    DoProcessFrame();  // an unmasked empty frame (where masks are not required) is complete
    return;
  }
  msg.State = msg.ReadMasked ? 3 : 4;
}

void TtvqWSConnection_Base_Net::DoReadFrame(bool aMaskRequired) {
  if (!FWSMSG) {
    if (Disconnected() || FFreed) {
      SetDisconnected(true);  // a connection on its way out reads nothing more
      return;
    }
    FWSMSG = &DataAssembler();
  }
  TtvqBytes one;
  switch (FWSMSG->State) {
    case 0: {
      if (DoReadBytes(1, one) == 0) return;
      const std::uint8_t b = one[0];
      CloseCode = 0;
      CloseReason.clear();
      FWSMSG->Continuation = false;
      switch (b & 0x0F) {
        case 0x0:
          FWSMSG = &DataAssembler();
          FWSMSG->Continuation = true;
          if (FWSMSG->OpCode == opNone) return Violation("Unfragmented message after continuation frame with FIN", 1002);
          break;
        // A new message while the data assembler still waits for the last
        // fragment of one, also when control frames came in between.
        case 0x1:
          FWSMSG = &DataAssembler();
          if (FWSMSG->Fragmented) return Violation("OpCode error, received opText after Continuation not finished", 1002);
          FWSMSG->OpCode = opText;
          break;
        case 0x2:
          FWSMSG = &DataAssembler();
          if (FWSMSG->Fragmented) return Violation("OpCode error, received opBinary after Continuation not finished", 1002);
          FWSMSG->OpCode = opBinary;
          break;
        case 0x8: FWSMSG = &ControlAssembler(); FWSMSG->OpCode = opClose; break;
        case 0x9: FWSMSG = &ControlAssembler(); FWSMSG->OpCode = opPing; break;
        case 0xA: FWSMSG = &ControlAssembler(); FWSMSG->OpCode = opPong; break;
        default: return Violation("Invalid Control OptCode", 1002);
      }
      FWSMSG->Fragmented = (b & 0x80) == 0;
      // No extension is negotiated, so no frame may carry an RSV bit, a
      // continuation frame included.
      if ((b & 0x70) != 0) return Violation("Invalid value of RSV while no Extension Negotiated", 1002);
      if (FWSMSG->Fragmented && IsControlOpcode(FWSMSG->OpCode))
        return Violation("Control Message must not be fragmented", 1002);
      FWSMSG->State = 1;
      return;
    }
    case 1: {
      if (DoReadBytes(1, one) == 0) return;
      const std::uint8_t b = one[0];
      FWSMSG->ReadMasked = true;
      if ((b & 0x80) == 0) {
        if (aMaskRequired) return Violation("Message is not masked", 1002);
        FWSMSG->ReadMasked = false;
      }
      FWSMSG->MaskIndex = 0;
      FWSMSG->PayLoadLength = b & 0x7F;
      FWSMSG->PLState = 0;
      if (FWSMSG->PayLoadLength < 126) {
        FWSMSG->PayLoad = pa7bits;
        if (!FWSMSG->ReadMasked && FWSMSG->PayLoadLength == 0) {
          FWSMSG->PayLoadLength = 0;
          return DoProcessFrame();
        }
        return LengthComplete();
      }
      if (IsControlOpcode(FWSMSG->OpCode))
        return Violation("Control frames are only allowed to have payload up to and including 125 octets", 1002);
      FWSMSG->PayLoad = FWSMSG->PayLoadLength == 126 ? pa16bits : pa64bits;
      FWSMSG->PayLoadLength = 0;
      FWSMSG->State = 2;
      return;
    }
    case 2: {
      if (DoReadBytes(1, one) == 0) return;
      FWSMSG->PayLoadLength = (FWSMSG->PayLoadLength << 8) | one[0];
      ++FWSMSG->PLState;
      // The most significant bit of a 64-bit length must be 0.
      if (FWSMSG->PayLoad == pa64bits && FWSMSG->PLState == 1 && (one[0] & 0x80) != 0)
        return Violation("Invalid payload length", 1002);
      if (FWSMSG->PLState == (FWSMSG->PayLoad == pa16bits ? 2 : 8)) LengthComplete();
      return;
    }
    case 3: {
      if (DoReadBytes(1, one) == 0) return;
      FWSMSG->Mask[static_cast<std::size_t>(FWSMSG->MaskIndex++)] = one[0];
      if (FWSMSG->MaskIndex < 4) return;
      if (FWSMSG->PayLoadLength > 0) {
        FWSMSG->State = 4;
      } else if (FWSMSG->OpCode == opClose) {
        AnswerPeerClose(1000);  // no code given
      } else {
        DoProcessFrame();
      }
      return;
    }
    case 4: {
      TtvqWSMsg& msg = *FWSMSG;
      TtvqBytes piece;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(FReadBufferSize, msg.PayLoadLength));
      const std::size_t got = DoReadBytes(want, piece);
      if (got == 0) {
        SetDisconnected(true);
        return;
      }
      if (got < msg.PayLoadLength) {
        msg.ReadBuffer.insert(msg.ReadBuffer.end(), piece.begin(), piece.end());
        msg.PayLoadLength -= got;
        return;
      }
      TtvqBytes payload;
      if (msg.ReadBuffer.empty()) {
        payload = std::move(piece);
      } else {
        payload = std::move(msg.ReadBuffer);
        payload.insert(payload.end(), piece.begin(), piece.end());
        msg.ReadBuffer.clear();
      }
      if (msg.ReadMasked)
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= msg.Mask[i % 4];
      if (msg.OpCode != opClose) {
        if (msg.Stream.empty())
          msg.Stream = std::move(payload);
        else
          msg.Stream.insert(msg.Stream.end(), payload.begin(), payload.end());
      } else if (payload.size() == 1) {
        return Violation("Invalid Payload length for close code", 1002);
      } else if (payload.size() >= 2) {
        // The code is checked with or without a reason: codes such as 1005
        // and 1006 only stand for a missing code and never travel.
        CloseCode = (payload[0] << 8) | payload[1];
        const int code = CloseCode;
        const bool accepted = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
                              (code >= 3000 && code <= 4999);
        if (!accepted) return Violation("Invalid close code", 1002);
        if (payload.size() == 2)
          AnswerPeerClose(code);
        else
          CloseReason = DoDecodeText(TtvqBytes(payload.begin() + 2, payload.end()));
      }
      msg.PayLoadLength = 0;
      if (HasTCPConnection()) DoProcessFrame();
      return;
    }
    default:
      SetDisconnected(true);
  }
}

void TtvqWSConnection_Base_Net::DoProcessFrame() {
  TtvqWSMsg& msg = *FWSMSG;
  if (IsControlOpcode(msg.OpCode)) return DoDeliverMessage();
  const bool more = msg.Fragmented;
  switch (FragmentedMessages) {
    case frgOnlyBuffer:
      if (more) {
        msg.State = 0;
        msg.PLState = 0;
      } else {
        DoDeliverMessage();
      }
      break;
    case frgOnlyFragmented:
      DoDeliverFragment();
      if (!more) msg.Clear();
      break;
    case frgAll:
      DoDeliverFragment();
      if (!more) DoDeliverMessage();
      break;
  }
}

void TtvqWSConnection_Base_Net::DoDeliverFragment() {
  TtvqWSMsg& msg = *FWSMSG;
  if (OnFragmented) OnFragmented(*this, msg.Stream, msg.OpCode, msg.Fragmented);
  msg.State = 0;
  msg.PLState = 0;
  if (FragmentedMessages == frgOnlyFragmented) msg.Stream.clear();
}

void TtvqWSConnection_Base_Net::DoDeliverMessage() {
  TtvqWSMsg& msg = *FWSMSG;
  // The assembler is cleared whatever the handler does, also when it fails.
  struct ClearAfter {
    TtvqWSMsg& msg;
    ~ClearAfter() { msg.Clear(); }
  } clear{msg};
  switch (msg.OpCode) {
    case opText: {
      const std::string text = DoDecodeText(msg.Stream);
      if (FDoDisconnect) break;  // not UTF-8: closed, nothing delivered
      if (OnMessage) OnMessage(*this, text);
      break;
    }
    case opBinary:
      if (OnBinary) OnBinary(*this, msg.Stream);
      break;
    case opClose:
      AnswerPeerClose(CloseCode >= 1000 ? CloseCode : 1000);  // a close with a reason
      break;
    case opPing:
      DoWriteStream(msg.Stream, opPong, false);
      break;
    case opPong: {
      const std::string text(msg.Stream.begin(), msg.Stream.end());
      bool matched = false, pending = false;
      {
        auto pings = FQueuePingList->Lock();
        pending = !pings->empty();
        const auto it = std::find_if(pings->begin(), pings->end(), [&](TtvqPing* p) { return p->Text == text; });
        if (it != pings->end()) {
          // The pings before the answered one will never be answered (a
          // connection keeps its order): drop them with it.
          const auto count = static_cast<std::size_t>(it - pings->begin()) + 1;
          for (std::size_t i = 0; i < count; ++i) FQueuePingList->Delete(0);
          matched = true;
        }
      }
      NotePong(matched ? &text : nullptr);
      if (pending && !matched) Violation("Received Pong is different from Sent Ping", 1000);
      break;
    }
    default:
      break;
  }
}

std::string TtvqWSConnection_Base_Net::DoDecodeText(const TtvqBytes& aBytes) {
  if (!IsValidUTF8(aBytes.data(), aBytes.size())) {
    Violation("Invalid UTF8 message", 1007);
    return {};
  }
  return std::string(aBytes.begin(), aBytes.end());
}

void TtvqWSConnection_Base_Net::DoReadFrameHixie76() {
  TtvqBytes one;
  if (DoReadBytes(1, one) == 0) return;
  const std::uint8_t b = one[0];
  if (FHixiePendingFF) {
    FHixiePendingFF = false;
    if (b == 0x00) DoWriteHixie76({}, opClose);  // the closing frame, answered
    return;
  }
  if (FState == 0) {
    if (b == 0x00) {
      FState = 1;
    } else if (b == 0xFF) {
      // The byte after 0xFF decides; it may not have come yet.
      TtvqBytes next;
      if (DoReadBytes(1, next) == 0) {
        FHixiePendingFF = true;
      } else if (next[0] == 0x00) {
        DoWriteHixie76({}, opClose);
      }
    }
    return;
  }
  if (b != 0xFF) {
    FStream.push_back(b);
    if (FStream.size() > MaxMessageSize) Violation("Message too big", 1009);
    return;
  }
  TtvqBytes bytes;
  bytes.swap(FStream);
  FState = 0;
  const std::string text = DoDecodeText(bytes);
  if (FDoDisconnect) return;
  if (OnMessage) OnMessage(*this, text);
}

// ---------------------------------------------------------------- TtvqWSConnection_Net

void TtvqWSConnection_Net::SetTCPConnection(TNetTCPConnection* aConnection) {
  {
    TtvqLock writes(FCS);
    TtvqLock guard(FTransportLock);
    FTCPConnection.store(aConnection, std::memory_order_release);
    if (!aConnection) {
      // The connection is over: what it held for writing goes now, not
      // when the parked object is freed.
      TtvqBytes().swap(FBacklog);
      FBacklogSize.store(0, std::memory_order_release);
      if (FWakeHandle >= 0) ::close(FWakeHandle);
      FWakeHandle = -1;
    }
  }
  if (aConnection) IP();  // the addresses are read at bind time and kept
}

bool TtvqWSConnection_Net::Active() const {
  TtvqLock guard(FTransportLock);
  const TNetTCPConnection* connection = TCPConnection();
  if (!connection || !connection->IOHandler()) return false;
  const TNetIOHandlerSocket& io = *connection->IOHandler();
  return io.Opened() && io.Binding().HandleAllocated() && !io.ClosedGracefully();
}

bool TtvqWSConnection_Net::ReadAddresses(TAddresses& aOut) {
  TtvqLock guard(FTransportLock);
  const TNetTCPConnection* connection = TCPConnection();
  if (!connection || !connection->IOHandler()) return false;
  const TNetSocketHandle& binding = connection->IOHandler()->Binding();
  aOut = {binding.PeerIP, binding.IP, binding.PeerPort, binding.Port};
  return true;
}

bool TtvqWSConnection_Net::HasTCPConnection() const {
  TtvqLock guard(FTransportLock);
  const TNetTCPConnection* connection = TCPConnection();
  return connection && connection->IOHandler();
}

std::size_t TtvqWSConnection_Net::InputSize() const {
  const TNetTCPConnection* connection = TCPConnection();
  return connection ? connection->IOHandler()->InputBuffer.Size() : 0;
}

void TtvqWSConnection_Net::TakeInput(std::size_t aCount, TtvqBytes& aAppendTo) {
  TCPConnection()->IOHandler()->InputBuffer.ExtractToBytes(aAppendTo, static_cast<std::ptrdiff_t>(aCount));
}

bool TtvqWSConnection_Net::WaitForInput() {
  TNetTCPConnection* connection = TCPConnection();
  return connection && connection->IOHandler()->CheckForDataOnSource(std::max(ReadTimeOut, 1));
}

void TtvqWSConnection_Net::ClearInput() {
  if (TNetTCPConnection* connection = TCPConnection()) connection->IOHandler()->InputBuffer.Clear();
}

TtvqWSConnection_Net::TtvqWSConnection_Net() : FWakeHandle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TtvqWSConnection_Net::~TtvqWSConnection_Net() {
  if (FWakeHandle >= 0) ::close(FWakeHandle);
}

namespace {

// An emptied backlog keeps at most this much room for the next burst.
constexpr std::size_t kKeptBacklogCapacity = 4096;

}  // namespace

std::size_t TtvqWSConnection_Net::BacklogSize() const { return FBacklogSize.load(std::memory_order_acquire); }

// FCS held: the handle is closed under it. The connection's own thread needs
// no waking: it looks at its backlog before it waits again.
void TtvqWSConnection_Net::Wake() {
  if (std::this_thread::get_id() == FReaderThread.load(std::memory_order_acquire)) return;
  if (FWakeHandle < 0 || FWakePending.exchange(true, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(FWakeHandle, &one, sizeof one);
}

// The cap bounds what waits before a new message, so that a client that
// stopped reading is dropped while one message larger than the cap (or
// the rest of a fragmented one) still goes out whole.
void TtvqWSConnection_Net::Enqueue(const std::uint8_t* aData, std::size_t aLength) {
  if (MaxBacklog > 0 && !FWritingMessage && FBacklog.size() > MaxBacklog) {
    // A client that stopped reading: it is dropped, and it costs no one
    // else anything.
    FBacklog.clear();
    FBacklog.shrink_to_fit();
    FBacklogSize.store(0, std::memory_order_release);
    DisconnectTransport();
    throw ENetConnClosedGracefully();
  }
  FBacklog.insert(FBacklog.end(), aData, aData + aLength);
  FBacklogSize.store(FBacklog.size(), std::memory_order_release);
}

// FCS is held by the caller (a whole frame, or all fragments of a message).
void TtvqWSConnection_Net::SendFrame(const std::uint8_t* aData, std::size_t aLength) {
  TNetTCPConnection* connection = TCPConnection();  // stays while FCS is held
  if (!connection) throw ENetNotConnected();
  if (!FBacklog.empty() || TtvqWriteCork::Held()) {
    const bool first = FBacklog.empty();
    Enqueue(aData, aLength);
    if (TtvqWriteCork::Held()) {
      if (first) TtvqWriteCork::Touch(this);
    } else {
      Wake();
    }
    return;
  }
  TNetIOHandlerSocket& io = *connection->IOHandler();
  if (!io.Binding().HandleAllocated()) throw ENetNotConnected();
  const std::size_t sent = io.Binding().SendNoWait(aData, aLength);
  if (sent < aLength) {
    Enqueue(aData + sent, aLength - sent);
    Wake();
  }
}

void TtvqWSConnection_Net::SendBlocking(const std::uint8_t* aData, std::size_t aLength) {
  TtvqLock guard(FCS);
  TNetTCPConnection* connection = TCPConnection();
  if (!connection) throw ENetNotConnected();
  TNetIOHandler& io = *connection->IOHandler();
  if (!FBacklog.empty()) {
    io.Write(FBacklog.data(), FBacklog.size());
    FBacklog.clear();
    FBacklogSize.store(0, std::memory_order_release);
  }
  io.Write(aData, aLength);
}

bool TtvqWSConnection_Net::FlushBacklog() {
  TtvqLock guard(FCS);
  if (FBacklog.empty()) return true;
  TNetTCPConnection* connection = TCPConnection();
  if (!connection || !connection->IOHandler()->Binding().HandleAllocated()) {
    FBacklog.clear();
    FBacklogSize.store(0, std::memory_order_release);
    return true;
  }
  const std::size_t sent = connection->IOHandler()->Binding().SendNoWait(FBacklog.data(), FBacklog.size());
  FBacklog.erase(FBacklog.begin(), FBacklog.begin() + static_cast<std::ptrdiff_t>(sent));
  if (FBacklog.empty() && FBacklog.capacity() > kKeptBacklogCapacity) TtvqBytes().swap(FBacklog);
  FBacklogSize.store(FBacklog.size(), std::memory_order_release);
  if (!FBacklog.empty()) Wake();  // the rest goes when the socket drains
  return FBacklog.empty();
}

void TtvqWSConnection_Net::WaitForWork(int aTimeoutMs) {
  TNetTCPConnection* connection = TCPConnection();
  if (!connection) return;
  TNetIOHandlerSocket& io = *connection->IOHandler();
  if (!io.Binding().HandleAllocated()) return;
  pollfd wait[2] = {{io.Binding().Handle(), POLLIN, 0}, {FWakeHandle, POLLIN, 0}};
  if (BacklogSize() > 0) wait[0].events |= POLLOUT;
  const int ready = ::poll(wait, FWakeHandle >= 0 ? 2 : 1, aTimeoutMs);
  if (ready <= 0) return;
  if (wait[1].revents & POLLIN) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(FWakeHandle, &count, sizeof count);
    FWakePending.store(false, std::memory_order_release);
  }
  if ((wait[1].revents & POLLIN) || (wait[0].revents & POLLOUT)) {
    try {
      FlushBacklog();
    } catch (...) {
      DisconnectTransport();  // a failed socket ends the connection, as a failed write does
      return;
    }
  }
  if (wait[0].revents & (POLLIN | POLLHUP | POLLERR)) io.CheckForDataOnSource(0);
}

void TtvqWSConnection_Net::ClearWriteBuffer() {
  TtvqLock guard(FTransportLock);
  if (TNetTCPConnection* connection = TCPConnection()) connection->IOHandler()->WriteBufferClear();
}

void TtvqWSConnection_Net::DisconnectTransport() {
  TtvqLock guard(FTransportLock);
  if (TNetTCPConnection* connection = TCPConnection()) connection->Disconnect(false);
}
