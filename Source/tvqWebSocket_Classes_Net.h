// Public: a WebSocket connection over a byte transport.
// TtvqWSConnection_Base_Net feeds what arrives to the codec's readers
// (tvqWebSocket_Codec.h) and maps their events onto the connection (its
// events, pongs, closes, violations); it writes frames the codec builds.
// TtvqWSConnection_Net binds it to one TCP connection of the transport;
// the transport's own headers stay out of this one.
//
// Threads: reading runs only on the connection's own thread. Writing may
// come from any thread: every RFC 6455 frame (and every fragmented message
// as a whole) is written as one buffer under the write lock FCS, so frames
// of concurrent writers never interleave.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tvqWebSocket_Classes.h"
#include "tvqWebSocket_Classes_Queues.h"
#include "tvqWebSocket_Codec.h"

class TNetTCPConnection;
class TtvqWSConnection_Net;

// The budgets a connection can exceed, and be closed or dropped for.
enum TtvqTrafficLimit {
  tlMessageSize,   // a message larger than MaxMessageSize (closed 1009)
  tlMessageRate,   // more frames a second than MaxMessagesPerSecond (closed 1008)
  tlInputRate,     // more bytes a second than MaxInputRate (closed 1008)
  tlBacklog,       // more than MaxBacklog bytes waiting for its socket (dropped)
  tlOutputTotal,   // among the largest backlogs when all together pass the output budget (dropped)
  tlWriteTimeOut,  // a backlog that did not shrink for WriteTimeOut (dropped)
  tlCount
};

// Raised once per connection, on whichever thread found the limit passed
// (the connection's own, or a writer's): the peer's address, the limit, and
// what happened in a few words ("more than 100 messages per second").
using TtvqTrafficLimitEvent = std::function<void(const std::string& aPeer, TtvqTrafficLimit, const std::string&)>;

// A rate with a burst: full at the start, refilled at Rate a second up to
// twice the rate. Take fails once the bucket is empty; one take may leave
// it in debt, so that a single piece larger than the burst is not refused
// for its size alone.
class TtvqTokenBucket {
 public:
  using TClock = std::chrono::steady_clock;
  void SetRate(double aRate, TClock::time_point aNow = TClock::now()) {
    FRate = aRate;
    FTokens = 2 * aRate;
    FLast = aNow;
  }
  double Rate() const { return FRate; }
  bool Take(double aCount, TClock::time_point aNow) {
    if (FRate <= 0) return true;
    const double elapsed = std::chrono::duration<double>(aNow - FLast).count();
    FLast = aNow;
    FTokens = std::min(2 * FRate, FTokens + std::max(elapsed, 0.0) * FRate);
    if (FTokens <= 0) return false;
    FTokens -= aCount;
    return true;
  }

 private:
  double FRate = 0;
  double FTokens = 0;
  TClock::time_point FLast{};
};

// What all of a server's connections may hold for their sockets together.
// When a write takes the sum past Limit, the connections holding the most
// are dropped first until the rest fit: those are the ones not reading (a
// reading client's backlog drains at once), and dropping the largest frees
// the memory with the fewest clients cut off.
class TtvqOutputBudget {
 public:
  // 0: no limit.
  std::atomic<std::size_t> Limit{0};
  // The bytes waiting in every member's backlog.
  std::size_t Total() const { return FTotal.load(std::memory_order_acquire); }

 private:
  friend class TtvqWSConnection_Net;
  void Join(TtvqWSConnection_Net* aConnection);
  void Leave(TtvqWSConnection_Net* aConnection);
  void Grow(std::size_t aOld, std::size_t aNew);
  // Past the limit: marks the members to drop (largest first) and wakes
  // them; true when aCaller is one of them.
  bool Enforce(TtvqWSConnection_Net* aCaller);

  std::mutex FLock;  // after any connection's FCS
  std::vector<TtvqWSConnection_Net*> FMembers;
  std::atomic<std::size_t> FTotal{0};
};

class TtvqWSConnection_Base_Net : public TtvqWSConnection {
 public:
  TtvqWSConnection_Base_Net();
  ~TtvqWSConnection_Base_Net() override;

  // The opening request's header lines.
  std::vector<std::string> HeadersRequest;

  // The largest message the reader takes, fragments together; a larger one
  // closes the connection with 1009 "Message too big".
  std::uint64_t MaxMessageSize = 16u * 1024u * 1024u;

  // The input budgets (0: none), each a token bucket with a burst of twice
  // the rate: frames a second (data and control alike), and bytes a second.
  // Past either the connection is closed with 1008 and a short reason.
  // Set before the connection reads.
  int MaxMessagesPerSecond = 0;
  std::uint64_t MaxInputRate = 0;
  TtvqTrafficLimitEvent OnTrafficLimit;

  // The read loop: performs the opening handshake first, then reads frames
  // while input is buffered (waiting up to ReadTimeOut for the rest of a
  // frame split over segments).
  void DoReadData(bool aMaskRequired);

  void DoAbortConnection() override;
  void DisconnectPeer() override;

  // The pings sent and not yet answered.
  TtvqThreadListQueuePings& QueuePingList() { return *FQueuePingList; }

  // ---- the deadline of a started frame (the connection's thread)
  // A frame that has begun, or a fragmented message, must end within this
  // many ms (0: no limit); past it the connection is closed with 1008, so
  // that a peer cannot hold a half-sent frame (and the memory behind it)
  // for ever.
  int FrameTimeOut = 0;
  // When the frame in progress must have ended; none while none is.
  std::optional<std::chrono::steady_clock::time_point> FrameDeadline() const;
  // Closes the connection when its frame in progress is past its deadline:
  // a close frame with 1008, then the drop; raises as a violation does.
  void CheckFrameDeadline();
  // The connection was closed by CheckFrameDeadline.
  bool FrameTimedOut() const { return FFrameTimedOut; }

  // ---- the frame writer (any thread)
  void DoWriteText(const std::string& aText, TOpcode aOpCode, bool aMore);
  void DoWriteStream(const TtvqBytes& aStream, TOpcode aOpCode, bool aMore);
  void DoWriteTextFragments(const std::string& aText, TOpcode aOpCode, bool aContinue, int aSize);
  void DoWriteStreamFragments(const TtvqBytes& aStream, TOpcode aOpCode, bool aContinue, int aSize);
  void DoWriteHixie76(const std::string& aText, TOpcode aKind);

 protected:
  // FCS held: the frames after the first of a fragmented message are being
  // written (a message is never cut off halfway).
  bool FWritingMessage = false;

  void DoWriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) override;
  void DoWriteData(const TtvqBytes& aStream, int aSize, TwsStreaming aStreaming) override;
  void DoWriteClose(int aCloseCode) override;
  void DoPing(const std::string& aText) override;
  void DoCloseConnection(const std::string& aMessage, int aCloseCode) override;

  // The opening handshake; the server connection provides it.
  virtual void DoHandshake() {}

  // ---- the frame reader (the connection's thread): the codec's readers
  // turn the buffered input into events, which these map onto the
  // connection: its events, pongs, closes and violations.
  void DoReadFrame(bool aMaskRequired);
  void DoReadFrameHixie76();
  // Appends at most aCount buffered bytes (never waits); returns how many.
  std::size_t DoReadBytes(std::size_t aCount, TtvqBytes& aAppendTo);
  void DoProcessFrame(const TtvqFrameEvent& aEvent);
  void DoDeliverMessage(const TtvqFrameEvent& aEvent);
  void DoDeliverFragment(const TtvqFrameEvent& aEvent);
  // The text of bytes the reader has found to be UTF-8.
  static std::string DoDecodeText(const TtvqBytes& aBytes) { return std::string(aBytes.begin(), aBytes.end()); }

  // ---- what the codec needs from the transport
  virtual bool HasTCPConnection() const = 0;
  virtual std::size_t InputSize() const = 0;
  // The buffered input, InputSize() bytes in one piece, and the dropping of
  // its first aCount bytes once read.
  virtual const std::uint8_t* InputData() const = 0;
  virtual void DropInput(std::size_t aCount) = 0;
  virtual void TakeInput(std::size_t aCount, TtvqBytes& aAppendTo) = 0;
  // Waits up to the read time-out for more input; true when some came.
  virtual bool WaitForInput() = 0;
  virtual void ClearInput() = 0;
  // Sends one frame: write buffer opened, written, flushed and closed.
  virtual void SendFrame(const std::uint8_t* aData, std::size_t aLength) = 0;
  virtual void ClearWriteBuffer() = 0;
  // Drops the TCP connection without telling the peer.
  virtual void DisconnectTransport() = 0;

  // The thread that reads this connection (its own thread).
  std::atomic<std::thread::id> FReaderThread{};

  // Raises OnTrafficLimit, the first time only.
  void ReportTrafficLimit(TtvqTrafficLimit aLimit, const std::string& aWhat);

 private:
  void WriteFrame(TOpcode aOpCode, bool aFin, const std::uint8_t* aPayload, std::size_t aLength);
  void SendWhole(const TtvqBytes& aFrame);
  void WriteFragments(const std::uint8_t* aData, std::size_t aLength, TOpcode aOpCode, bool aContinue,
                      int aSize);
  void WriteByStreaming(const std::uint8_t* aData, std::size_t aLength, TOpcode aMessageOpCode, bool aSplit,
                        int aSize, TwsStreaming aStreaming);
  // A protocol violation: closes with aText and aCode (raising when asked).
  void Violation(const char* aText, int aCode) { DoCloseConnection(aText, aCode); }
  // The peer started the closing handshake: its close frame is answered
  // with one carrying the same code, whatever CleanDisconnect says, as
  // browsers expect; then the connection closes as usual.
  void AnswerPeerClose(int aCode) {
    FAnswerClose = true;
    DoCloseConnection({}, aCode);
  }
  bool FAnswerClose = false;
  // Whether the read loop goes on: connected, not closed, not stopped.
  bool Reading() const;
  // Feeds the buffered input to aReader and maps its events while the
  // connection reads on.
  template <class TReader>
  void ReadEvents(TReader& aReader);
  // A pong: it answers the oldest pending pings up to the one it matches.
  void DoReceivePong(const TtvqBytes& aPayload);
  void DiscardInputIfAsked();
  // The input budgets: false when the connection was closed for passing one.
  bool WithinInputBudget(std::size_t aBytes);
  bool WithinMessageBudget(const TtvqFrameEvent& aEvent);
  // Closes for a passed limit: a close frame with aCode and aReason, then
  // the drop, whatever CleanDisconnect says (the client is told why).
  void CloseForLimit(int aCode, const std::string& aReason);

  TtvqTokenBucket FMessageBucket, FByteBucket;
  bool FBucketsSet = false;
  std::atomic<bool> FLimitReported{false};
  TtvqFrameReader FFrameReader;
  TtvqHixie76Reader FHixie76Reader;
  std::atomic<bool> FDoDisconnect{false};
  bool FMustDisconnect = false;
  std::unique_ptr<TtvqThreadListQueuePings> FQueuePingList;
  std::atomic<bool> FDiscardInput{false};
  // Notes whether a frame is in progress after a read, and since when.
  void NoteFrameProgress();
  std::optional<std::chrono::steady_clock::time_point> FFrameStarted;
  bool FFrameTimedOut = false;
};

// How many bytes may wait for a connection's socket before a new message
// drops it (the default of MaxBacklog and of the server's option).
inline constexpr std::size_t kTvqDefaultMaxBacklog = std::size_t{8} << 20;

// The codec bound to one TCP connection of the transport.
//
// Writes never wait for the peer: a frame goes straight to the socket when
// nothing is queued before it and the socket takes it; otherwise it joins
// the connection's backlog (whole frames, in order), which the
// connection's own thread sends as the socket drains. A new message that
// finds more than MaxBacklog bytes waiting drops the connection, as a write
// error does.
class TtvqWSConnection_Net : public TtvqWSConnection_Base_Net {
 public:
  TtvqWSConnection_Net();
  ~TtvqWSConnection_Net() override;

  int ReadTimeOut = 10;  // ms
  // The slow-consumer cap: live traffic only, the connect sequence
  // (BeginUncappedWrites) does not count against it.
  std::size_t MaxBacklog = kTvqDefaultMaxBacklog;
  // A backlog that has not shrunk for this many ms drops the connection
  // (0: never); the connection's thread checks it in WaitForWork.
  int WriteTimeOut = 0;

  // The budget this connection's backlog counts in (not owned; it must
  // outlive the binding to the TCP connection). Set before binding.
  void SetOutputBudget(TtvqOutputBudget* aBudget) { FBudget = aBudget; }
  // The part of the backlog that is the connect sequence.
  std::size_t UncappedBacklogSize() const;
  void BeginUncappedWrites() override;
  void EndUncappedWrites() override;

  std::size_t BacklogSize() const;
  bool FlushBacklog() override;
  // Writes bytes whole, waiting for the socket as long as it takes, after
  // anything already queued: for the connection's own thread (HTTP answers
  // and the handshake response, which are followed by a close).
  void SendBlocking(const std::uint8_t* aData, std::size_t aLength);
  // The connection thread's wait between reads: until input comes, the
  // backlog can move on or was added to, or aTimeoutMs pass. A stop wakes
  // it (the socket is shut down).
  void WaitForWork(int aTimeoutMs);

  // When the socket last took bytes of this connection's output (never
  // before it first does): the sign that the peer still reads, on a
  // connection that cannot be pinged.
  std::chrono::steady_clock::time_point LastOutput() const;

  // ---- the closing state: the server's close frame is written and the TCP
  // connection is left to the peer, to drop when it has answered.
  // When it began (none before).
  std::optional<std::chrono::steady_clock::time_point> ClosingSince() const;
  // Marks the closing state begun now, unless it already was.
  void NoteClosing();

  // Not owned. Binding reads the addresses at once; clearing waits for a
  // write in progress to finish.
  TNetTCPConnection* TCPConnection() const { return FTCPConnection.load(std::memory_order_acquire); }
  void SetTCPConnection(TNetTCPConnection* aConnection);

  bool Active() const override;
  // Whether the connection speaks TLS.
  bool UsesTLS() const;

 protected:
  bool ReadAddresses(TAddresses& aOut) override;

  bool HasTCPConnection() const override;
  std::size_t InputSize() const override;
  const std::uint8_t* InputData() const override;
  void DropInput(std::size_t aCount) override;
  void TakeInput(std::size_t aCount, TtvqBytes& aAppendTo) override;
  bool WaitForInput() override;
  void ClearInput() override;
  void SendFrame(const std::uint8_t* aData, std::size_t aLength) override;
  void ClearWriteBuffer() override;
  void DisconnectTransport() override;
  // Begins the closing state, and wakes the connection's thread, which may
  // sleep until a far deadline, to wait out the peer from now on.
  void DoWriteClose(int aCloseCode) override;

 private:
  friend class TtvqOutputBudget;
  // Queues bytes behind the backlog; FCS held.
  void Enqueue(const std::uint8_t* aData, std::size_t aLength);
  // FCS held: the backlog's new size is published (and counted in the
  // budget); aSent bytes left its front.
  void BacklogChanged(std::size_t aSent);
  // FCS held: the backlog and its accounting are emptied.
  void ClearBacklog();
  // On the connection's thread: a slow consumer is dropped.
  void DropSlowConsumer(TtvqTrafficLimit aLimit, const std::string& aWhat);
  // Tells the connection's thread that its backlog has grown.
  void Wake();

  std::atomic<TNetTCPConnection*> FTCPConnection{nullptr};
  TtvqBytes FBacklog;  // guarded by FCS
  std::atomic<std::size_t> FBacklogSize{0};
  // The connect sequence's bytes in the backlog, as ranges of the stream of
  // bytes ever queued (FQueued of them so far, FSent sent from the backlog);
  // guarded by FCS.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> FUncapped;
  std::uint64_t FQueued = 0, FSent = 0;
  std::atomic<std::size_t> FUncappedSize{0};
  // The thread writing a connect sequence, and how deep its marks go;
  // guarded by FCS.
  std::thread::id FUncappedThread{};
  int FUncappedDepth = 0;
  bool FUncappedGranted = false;
  // When the backlog last shrank, or began (steady clock, ns).
  std::atomic<std::int64_t> FLastProgress{0};
  // When the socket last took output, and when the closing state began
  // (steady clock, ns; 0: not yet).
  std::atomic<std::int64_t> FLastOutput{0};
  std::atomic<std::int64_t> FClosingSince{0};
  void NoteOutput(std::size_t aSent);
  TtvqOutputBudget* FBudget = nullptr;
  bool FBudgetJoined = false;  // guarded by FCS
  // Marked by the output budget: dropped at the next write or wait.
  std::atomic<bool> FDropAsked{false};
  int FWakeHandle = -1;  // an eventfd
  std::atomic<bool> FWakePending{false};
  // Guards the use of FTCPConnection by other threads than the reader, in
  // operations that must not wait for a write (disconnect, Active).
  // Re-entrant: the transport's OnDisconnected runs inside it. Order: FCS
  // before it; OnDisconnected must not clear the TCP connection.
  mutable TtvqCriticalSection FTransportLock;
};

// The server component over the TCP transport: adds the bandwidth limit
// placed between each connection and its socket (off in this program).
class TtvqWSComponent_Server_Net : public TtvqWSComponent_Server {
 public:
  struct {
    bool Enabled = false;
    int BitsPerSec = 0;
  } Throttle;
};
