#include "tvqWebSocket_Classes_Net.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "tvqNetIOHandlerStack.h"

namespace {

const std::uint8_t* BytesOf(const std::string& aText) { return reinterpret_cast<const std::uint8_t*>(aText.data()); }

std::int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::chrono::steady_clock::time_point SteadyTime(std::int64_t aNs) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(aNs)));
}

}  // namespace

// ---------------------------------------------------------------- TtvqWSConnection_Base_Net

TtvqWSConnection_Base_Net::TtvqWSConnection_Base_Net()
    : FQueuePingList(std::make_unique<TtvqThreadListQueuePings>()) {}

TtvqWSConnection_Base_Net::~TtvqWSConnection_Base_Net() = default;

// ---- writing

void TtvqWSConnection_Base_Net::WriteFrame(TOpcode aOpCode, bool aFin, const std::uint8_t* aPayload,
                                           std::size_t aLength) {
  TtvqBytes frame;
  frame.reserve(aLength + kTvqMaxFrameHeader);
  if (Masked) {
    // Client connections only: a fresh key of values 0 to 254.
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> byte(0, 254);
    std::array<std::uint8_t, 4> key{};
    for (auto& k : key) k = static_cast<std::uint8_t>(byte(random));
    tvqAppendFrame(frame, aOpCode, aFin, aPayload, aLength, key.data());
  } else {
    tvqAppendFrame(frame, aOpCode, aFin, aPayload, aLength);
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
  tvqAppendHixie76Frame(frame, aKind, aText);
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

bool TtvqWSConnection_Base_Net::Reading() const {
  return HasTCPConnection() && !Disconnected() && !FMustDisconnect;
}

void TtvqWSConnection_Base_Net::DoReadData(bool aMaskRequired) {
  FReaderThread = std::this_thread::get_id();
  if (!Enabled()) {
    DoHandshake();
    return;
  }
  DiscardInputIfAsked();
  while (Reading() && InputSize() > 0) {
    switch (Transport()) {
      case trpTCP: case trpRFC8441: case trpHTTP2:
        return;  // transports this library does not carry
      default:
        if (Specification == spHixie76)
          DoReadFrameHixie76();
        else
          DoReadFrame(aMaskRequired);
    }
    NoteFrameProgress();
    CheckFrameDeadline();
    // The rest of a frame split over segments is read in the same pass
    // when it comes within the time-out.
    if (Reading() && InputSize() == 0) WaitForInput();
  }
}

// ---- the deadline of a started frame

void TtvqWSConnection_Base_Net::NoteFrameProgress() {
  const bool started = Specification == spHixie76 ? FHixie76Reader.InProgress() : FFrameReader.InProgress();
  if (!started)
    FFrameStarted.reset();
  else if (!FFrameStarted)
    FFrameStarted = std::chrono::steady_clock::now();
}

std::optional<std::chrono::steady_clock::time_point> TtvqWSConnection_Base_Net::FrameDeadline() const {
  if (FrameTimeOut <= 0 || !FFrameStarted) return std::nullopt;
  return *FFrameStarted + std::chrono::milliseconds(FrameTimeOut);
}

void TtvqWSConnection_Base_Net::CheckFrameDeadline() {
  const auto deadline = FrameDeadline();
  if (!deadline || std::chrono::steady_clock::now() < *deadline || !Reading()) return;
  FFrameStarted.reset();
  FFrameTimedOut = true;
  // The peer learns why: 1008, the frame broke no rule of the protocol but
  // the server's.
  try {
    DoWriteClose(1008);
  } catch (const TtvqWSException&) {
    // the peer may be gone already; the drop below follows in any case
  }
  DoCloseConnection("Frame not completed in time", 1008);
}

// The reader takes what is buffered up to its next event; the event is
// handed back to the reader also when its handler fails.
template <class TReader>
void TtvqWSConnection_Base_Net::ReadEvents(TReader& aReader) {
  while (Reading()) {
    if (!aReader.Ready()) {
      const std::size_t size = InputSize();
      if (size == 0) return;
      const std::size_t taken = aReader.Consume(InputData(), size);
      DropInput(taken);
      RecBytes += static_cast<std::int64_t>(taken);
      if (!WithinInputBudget(taken)) return;
      if (!aReader.Ready()) return;
    }
    if (!WithinMessageBudget(aReader.Event())) return;
    struct NextAfter {
      TReader& reader;
      ~NextAfter() { reader.Next(); }
    } next{aReader};
    DoProcessFrame(aReader.Event());
  }
}

void TtvqWSConnection_Base_Net::DoReadFrame(bool aMaskRequired) {
  if (FFreed) {
    SetDisconnected(true);  // a connection on its way out reads nothing more
    return;
  }
  TtvqFrameReader::TOptions& options = FFrameReader.Options();
  options.MaskRequired = aMaskRequired;
  options.FragmentedMessages = FragmentedMessages;
  options.MaxMessageSize = MaxMessageSize;
  ReadEvents(FFrameReader);
}

void TtvqWSConnection_Base_Net::DoReadFrameHixie76() {
  FHixie76Reader.MaxMessageSize = MaxMessageSize;
  ReadEvents(FHixie76Reader);
}

void TtvqWSConnection_Base_Net::DoProcessFrame(const TtvqFrameEvent& aEvent) {
  CloseCode = aEvent.PeerCloseCode;
  CloseReason.clear();
  switch (aEvent.Kind) {
    case TtvqFrameEvent::fevMessage: return DoDeliverMessage(aEvent);
    case TtvqFrameEvent::fevFragment: return DoDeliverFragment(aEvent);
    case TtvqFrameEvent::fevPing: return DoWriteStream(*aEvent.Data, opPong, false);
    case TtvqFrameEvent::fevPong: return DoReceivePong(*aEvent.Data);
    case TtvqFrameEvent::fevClose:
      if (Specification == spHixie76) return DoWriteHixie76({}, opClose);  // answered; the peer drops TCP
      CloseReason = aEvent.Text;
      return AnswerPeerClose(CloseCode ? CloseCode : 1000);
    case TtvqFrameEvent::fevViolation:
      if (aEvent.CloseCode == 1009)
        ReportTrafficLimit(tlMessageSize, "a message of more than " + std::to_string(MaxMessageSize) + " bytes");
      return Violation(aEvent.Text.c_str(), aEvent.CloseCode);
    case TtvqFrameEvent::fevNone: return;
  }
}

// ---- the input budgets

void TtvqWSConnection_Base_Net::ReportTrafficLimit(TtvqTrafficLimit aLimit, const std::string& aWhat) {
  if (FLimitReported.exchange(true)) return;
  if (!OnTrafficLimit) return;
  const std::string peer = IP();
  OnTrafficLimit(peer.find(':') != std::string::npos ? "[" + peer + "]:" + std::to_string(Port())
                                                     : peer + ":" + std::to_string(Port()),
                 aLimit, aWhat);
}

// Counted as the reader takes the bytes, before any of their events is
// handled: a client over its rate is closed before its input costs the
// others anything.
bool TtvqWSConnection_Base_Net::WithinInputBudget(std::size_t aBytes) {
  const auto now = TtvqTokenBucket::TClock::now();
  if (!FBucketsSet) {
    FBucketsSet = true;
    FMessageBucket.SetRate(MaxMessagesPerSecond, now);
    FByteBucket.SetRate(static_cast<double>(MaxInputRate), now);
  }
  if (aBytes == 0 || FByteBucket.Take(static_cast<double>(aBytes), now)) return true;
  ReportTrafficLimit(tlInputRate, "more than " + std::to_string(MaxInputRate) + " bytes per second");
  CloseForLimit(1008, "Input rate exceeded");
  return false;
}

// Every frame the reader raises counts, control frames too: a flood of
// pings costs the server a pong each.
bool TtvqWSConnection_Base_Net::WithinMessageBudget(const TtvqFrameEvent& aEvent) {
  switch (aEvent.Kind) {
    case TtvqFrameEvent::fevMessage: case TtvqFrameEvent::fevFragment:
    case TtvqFrameEvent::fevPing: case TtvqFrameEvent::fevPong:
      break;
    default: return true;
  }
  WithinInputBudget(0);  // sets the buckets up on a first read
  if (FMessageBucket.Take(1, TtvqTokenBucket::TClock::now())) return true;
  ReportTrafficLimit(tlMessageRate, "more than " + std::to_string(MaxMessagesPerSecond) + " messages per second");
  CloseForLimit(1008, "Message rate exceeded");
  return false;
}

void TtvqWSConnection_Base_Net::CloseForLimit(int aCode, const std::string& aReason) {
  if (FDoDisconnect.exchange(true)) return;
  SetDisconnected(true);
  FDiscardInput = true;
  DiscardInputIfAsked();
  const TwsTransport transport = Transport();
  if (transport == trpRFC6455 || transport == trpFlash || transport == trpRFC8441) {
    std::string payload{static_cast<char>(aCode >> 8), static_cast<char>(aCode & 0xFF)};
    payload += aReason;
    try {
      WriteFrame(opClose, true, BytesOf(payload), payload.size());
    } catch (const std::exception&) {
      // the peer may be gone already; the drop follows in any case
    }
  }
  try {
    DisconnectPeer();
  } catch (const std::exception&) {
  }
}

void TtvqWSConnection_Base_Net::DoDeliverFragment(const TtvqFrameEvent& aEvent) {
  if (OnFragmented) OnFragmented(*this, *aEvent.Data, aEvent.OpCode, aEvent.More);
}

void TtvqWSConnection_Base_Net::DoDeliverMessage(const TtvqFrameEvent& aEvent) {
  if (aEvent.OpCode == opBinary) {
    if (OnBinary) OnBinary(*this, *aEvent.Data);
    return;
  }
  if (OnMessage) OnMessage(*this, DoDecodeText(*aEvent.Data));
}

void TtvqWSConnection_Base_Net::DoReceivePong(const TtvqBytes& aPayload) {
  const std::string text(aPayload.begin(), aPayload.end());
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
}

// ---------------------------------------------------------------- TtvqWSConnection_Net

void TtvqWSConnection_Net::SetTCPConnection(TNetTCPConnection* aConnection) {
  {
    TtvqLock writes(FCS);
    TtvqLock guard(FTransportLock);
    FTCPConnection.store(aConnection, std::memory_order_release);
    if (aConnection && FBudget && !FBudgetJoined) {
      FBudget->Join(this);
      FBudgetJoined = true;
    }
    if (!aConnection) {
      // The connection is over: what it held for writing goes now, not
      // when the parked object is freed; it leaves the budget before its
      // wake handle closes (the budget wakes its members).
      ClearBacklog();
      TtvqBytes().swap(FBacklog);
      if (FBudgetJoined) FBudget->Leave(this);
      FBudgetJoined = false;
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

bool TtvqWSConnection_Net::UsesTLS() const {
  TtvqLock guard(FTransportLock);
  const TNetTCPConnection* connection = TCPConnection();
  return connection && connection->IOHandler() && connection->IOHandler()->UsesTLS();
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

const std::uint8_t* TtvqWSConnection_Net::InputData() const {
  return TCPConnection()->IOHandler()->InputBuffer.Data();
}

void TtvqWSConnection_Net::DropInput(std::size_t aCount) { TCPConnection()->IOHandler()->InputBuffer.Remove(aCount); }

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
  if (FBudgetJoined) FBudget->Leave(this);
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

std::size_t TtvqWSConnection_Net::UncappedBacklogSize() const {
  return FUncappedSize.load(std::memory_order_acquire);
}

// One connect sequence at a time is exempt: a client that asks for another
// (subscribes again) before it has read the last one gets it as live
// traffic, under the cap, so that asking again and again without reading
// cannot pile up memory.
void TtvqWSConnection_Net::BeginUncappedWrites() {
  TtvqLock guard(FCS);
  const std::thread::id self = std::this_thread::get_id();
  if (FUncappedDepth > 0 && FUncappedThread != self) return;  // another thread's sequence
  if (FUncappedDepth++ > 0) return;
  FUncappedThread = self;
  FUncappedGranted = FUncapped.empty();
}

void TtvqWSConnection_Net::EndUncappedWrites() {
  TtvqLock guard(FCS);
  if (FUncappedDepth == 0 || FUncappedThread != std::this_thread::get_id()) return;
  if (--FUncappedDepth == 0) {
    FUncappedThread = {};
    FUncappedGranted = false;
  }
}

void TtvqWSConnection_Net::BacklogChanged(std::size_t aSent) {
  FSent += aSent;
  std::size_t uncapped = FUncappedSize.load(std::memory_order_relaxed);
  while (!FUncapped.empty() && FUncapped.front().first < FSent) {
    auto& front = FUncapped.front();
    const std::uint64_t gone = std::min(front.second, FSent) - front.first;
    uncapped -= static_cast<std::size_t>(gone);
    front.first += gone;
    if (front.first == front.second) FUncapped.pop_front();
    else break;
  }
  FUncappedSize.store(uncapped, std::memory_order_release);
  const std::size_t old = FBacklogSize.exchange(FBacklog.size(), std::memory_order_acq_rel);
  if (FBudgetJoined) FBudget->Grow(old, FBacklog.size());
  if (aSent > 0 || old == 0) FLastProgress.store(SteadyNow(), std::memory_order_release);
}

void TtvqWSConnection_Net::ClearBacklog() {
  FBacklog.clear();
  FBacklog.shrink_to_fit();
  FUncapped.clear();
  FSent = FQueued;
  FUncappedSize.store(0, std::memory_order_release);
  const std::size_t old = FBacklogSize.exchange(0, std::memory_order_acq_rel);
  if (FBudgetJoined) FBudget->Grow(old, 0);
}

// The cap bounds the live traffic that waits before a new message, so that
// a client that stopped reading is dropped while one message larger than
// the cap (or the rest of a fragmented one) still goes out whole. The
// connect sequence waits without counting: it is bounded by what it holds
// (the table, the retained publications), and paced by the socket; a
// client that does not read it is dropped by the write time-out. The output
// budget counts every byte.
void TtvqWSConnection_Net::Enqueue(const std::uint8_t* aData, std::size_t aLength) {
  const bool uncapped = FUncappedGranted && FUncappedThread == std::this_thread::get_id();
  const std::size_t live = FBacklog.size() - FUncappedSize.load(std::memory_order_relaxed);
  const bool overCap = MaxBacklog > 0 && !uncapped && !FWritingMessage && live > MaxBacklog;
  if (overCap || FDropAsked.load(std::memory_order_acquire)) {
    // A client that stopped reading: it is dropped, and it costs no one
    // else anything.
    ClearBacklog();
    if (overCap) ReportTrafficLimit(tlBacklog, "more than " + std::to_string(MaxBacklog) + " bytes waiting");
    DisconnectTransport();
    throw ENetConnClosedGracefully();
  }
  FBacklog.insert(FBacklog.end(), aData, aData + aLength);
  if (uncapped) {
    if (!FUncapped.empty() && FUncapped.back().second == FQueued) FUncapped.back().second += aLength;
    else FUncapped.emplace_back(FQueued, FQueued + aLength);
    FUncappedSize.fetch_add(aLength, std::memory_order_acq_rel);
  }
  FQueued += aLength;
  BacklogChanged(0);
  if (FBudgetJoined && FBudget->Enforce(this)) {
    ClearBacklog();
    DisconnectTransport();
    throw ENetConnClosedGracefully();
  }
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
  const std::size_t sent = io.WriteNoWait(aData, aLength);
  NoteOutput(sent);
  if (sent < aLength) {
    Enqueue(aData + sent, aLength - sent);
    Wake();
  } else if (io.HasPendingOutput()) {
    Wake();  // the handler holds output (TLS records) for the socket
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
    BacklogChanged(FBacklogSize.load(std::memory_order_relaxed));
  }
  io.Write(aData, aLength);
  NoteOutput(aLength);
}

void TtvqWSConnection_Net::NoteOutput(std::size_t aSent) {
  if (aSent > 0) FLastOutput.store(SteadyNow(), std::memory_order_release);
}

std::chrono::steady_clock::time_point TtvqWSConnection_Net::LastOutput() const {
  return SteadyTime(FLastOutput.load(std::memory_order_acquire));
}

std::optional<std::chrono::steady_clock::time_point> TtvqWSConnection_Net::ClosingSince() const {
  const std::int64_t since = FClosingSince.load(std::memory_order_acquire);
  if (since == 0) return std::nullopt;
  return SteadyTime(since);
}

void TtvqWSConnection_Net::NoteClosing() {
  std::int64_t none = 0;
  FClosingSince.compare_exchange_strong(none, SteadyNow(), std::memory_order_acq_rel);
}

// Woken also when the frame could not be written: the thread then finds the
// connection closed and drops it at its deadline, if the peer does not.
void TtvqWSConnection_Net::DoWriteClose(int aCloseCode) {
  NoteClosing();
  struct WakeAfter {
    TtvqWSConnection_Net& connection;
    ~WakeAfter() {
      TtvqLock guard(connection.FCS);
      connection.Wake();
    }
  } wake{*this};
  TtvqWSConnection_Base_Net::DoWriteClose(aCloseCode);
}

bool TtvqWSConnection_Net::FlushBacklog() {
  TtvqLock guard(FCS);
  TNetTCPConnection* connection = TCPConnection();
  if (FBacklog.empty()) {
    // What the handler itself holds (TLS records) goes first in any case.
    if (connection && connection->IOHandler()->Binding().HandleAllocated() &&
        !connection->IOHandler()->FlushPendingOutput())
      Wake();
    return true;
  }
  if (!connection || !connection->IOHandler()->Binding().HandleAllocated()) {
    ClearBacklog();
    return true;
  }
  const std::size_t sent = connection->IOHandler()->WriteNoWait(FBacklog.data(), FBacklog.size());
  NoteOutput(sent);
  FBacklog.erase(FBacklog.begin(), FBacklog.begin() + static_cast<std::ptrdiff_t>(sent));
  if (FBacklog.empty() && FBacklog.capacity() > kKeptBacklogCapacity) TtvqBytes().swap(FBacklog);
  BacklogChanged(sent);
  // The rest goes when the socket drains.
  if (!FBacklog.empty() || connection->IOHandler()->HasPendingOutput()) Wake();
  return FBacklog.empty();
}

// The time a backlog has been waiting without shrinking, in ms (0: none
// waits).
namespace {

std::int64_t StalledMs(std::size_t aBacklog, std::int64_t aLastProgress) {
  if (aBacklog == 0) return 0;
  return (SteadyNow() - aLastProgress) / 1000000;
}

}  // namespace

void TtvqWSConnection_Net::DropSlowConsumer(TtvqTrafficLimit aLimit, const std::string& aWhat) {
  {
    TtvqLock guard(FCS);
    ClearBacklog();
  }
  ReportTrafficLimit(aLimit, aWhat);
  DisconnectTransport();
}

void TtvqWSConnection_Net::WaitForWork(int aTimeoutMs) {
  TNetTCPConnection* connection = TCPConnection();
  if (!connection) return;
  TNetIOHandlerSocket& io = *connection->IOHandler();
  if (!io.Binding().HandleAllocated()) return;
  const auto slow = [this]() -> bool {
    if (FDropAsked.load(std::memory_order_acquire)) {
      DropSlowConsumer(tlOutputTotal, "among the largest backlogs over the output budget of " +
                                          std::to_string(FBudget ? FBudget->Limit.load() : 0) + " bytes");
      return true;
    }
    if (WriteTimeOut > 0 && StalledMs(BacklogSize(), FLastProgress.load(std::memory_order_acquire)) >= WriteTimeOut) {
      DropSlowConsumer(tlWriteTimeOut, "nothing read for " + std::to_string(WriteTimeOut / 1000) + " s");
      return true;
    }
    return false;
  };
  if (slow()) return;
  // Input the handler holds already (decrypted TLS records) is read now:
  // the socket may have nothing more to say about it.
  if (io.HasBufferedInput()) {
    io.CheckForDataOnSource(0);
    return;
  }
  pollfd wait[2] = {{io.Binding().Handle(), POLLIN, 0}, {FWakeHandle, POLLIN, 0}};
  if (io.HasPendingOutput()) wait[0].events |= POLLOUT;
  if (BacklogSize() > 0) {
    wait[0].events |= POLLOUT;
    // Awake again when the write time-out would run out.
    if (WriteTimeOut > 0) {
      const std::int64_t left =
          WriteTimeOut - StalledMs(BacklogSize(), FLastProgress.load(std::memory_order_acquire)) + 1;
      aTimeoutMs = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(left, aTimeoutMs)));
    }
  }
  const int ready = ::poll(wait, FWakeHandle >= 0 ? 2 : 1, aTimeoutMs);
  if (ready <= 0) {
    slow();
    return;
  }
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
  if (slow()) return;
  if (wait[0].revents & (POLLIN | POLLHUP | POLLERR)) io.CheckForDataOnSource(0);
}

// ---------------------------------------------------------------- TtvqOutputBudget

void TtvqOutputBudget::Join(TtvqWSConnection_Net* aConnection) {
  std::lock_guard guard(FLock);
  FMembers.push_back(aConnection);
}

void TtvqOutputBudget::Leave(TtvqWSConnection_Net* aConnection) {
  std::lock_guard guard(FLock);
  std::erase(FMembers, aConnection);
}

void TtvqOutputBudget::Grow(std::size_t aOld, std::size_t aNew) {
  if (aNew >= aOld) FTotal.fetch_add(aNew - aOld, std::memory_order_acq_rel);
  else FTotal.fetch_sub(aOld - aNew, std::memory_order_acq_rel);
}

// The members already marked count as gone: their threads drop them at
// once, and are only woken here.
bool TtvqOutputBudget::Enforce(TtvqWSConnection_Net* aCaller) {
  const std::size_t limit = Limit.load(std::memory_order_acquire);
  if (limit == 0 || Total() <= limit) return false;
  std::lock_guard guard(FLock);
  std::vector<std::pair<std::size_t, TtvqWSConnection_Net*>> held;
  std::size_t total = 0;
  for (TtvqWSConnection_Net* member : FMembers) {
    if (member->FDropAsked.load(std::memory_order_acquire)) continue;
    const std::size_t size = member->BacklogSize();
    total += size;
    if (size > 0) held.emplace_back(size, member);
  }
  std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  bool caller = false;
  for (const auto& [size, member] : held) {
    if (total <= limit) break;
    total -= size;
    member->FDropAsked.store(true, std::memory_order_release);
    if (member == aCaller) caller = true;
    else member->Wake();
  }
  if (caller)
    aCaller->ReportTrafficLimit(tlOutputTotal, "among the largest backlogs over the output budget of " +
                                                   std::to_string(limit) + " bytes");
  return caller;
}

void TtvqWSConnection_Net::ClearWriteBuffer() {
  TtvqLock guard(FTransportLock);
  if (TNetTCPConnection* connection = TCPConnection()) connection->IOHandler()->WriteBufferClear();
}

void TtvqWSConnection_Net::DisconnectTransport() {
  TtvqLock guard(FTransportLock);
  if (TNetTCPConnection* connection = TCPConnection()) connection->Disconnect(false);
}
