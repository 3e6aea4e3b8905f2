// Public (part of the transport, but its tests include it): buffered
// connection I/O. An I/O handler turns a socket into an input byte queue
// filled from the socket, reads of exact byte counts and of lines, writes
// gathered in a write buffer and sent in one send loop, and a precise notion
// of being connected and of being closed by the peer.
//
// Threads: the connection's own thread reads (the input buffer is its
// alone). Any thread may write or close; the connection layer serialises
// writes, and closing is safe against a concurrent read or write.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tvqNetGlobal.h"

enum TNetMaxLineAction { maException, maSplit };

class TNetIOHandler {
 public:
  TNetIOHandler() = default;
  TNetIOHandler(const TNetIOHandler&) = delete;
  TNetIOHandler& operator=(const TNetIOHandler&) = delete;
  virtual ~TNetIOHandler() = default;

  TNetBuffer InputBuffer;
  int ReadTimeout = -1;  // ms for reads that name none; -1 and 0: no limit
  std::size_t RecvBufferSize = 32768;
  std::size_t SendBufferSize = 32768;
  int MaxLineLength = 16384;
  TNetMaxLineAction MaxLineAction = maException;

  bool Opened() const { return FOpened.load(std::memory_order_acquire); }
  bool ClosedGracefully() const { return FClosedGracefully.load(std::memory_order_acquire); }

  // Ready for use: empty buffers, not closed.
  virtual void Open();
  // Closes the socket and empties the write buffer; unread input stays.
  virtual void Close();

  bool InputBufferIsEmpty() const { return InputBuffer.IsEmpty(); }

  // Takes whatever is waiting on the socket now; true while the socket is
  // open, or while buffered input remains after the peer closed.
  virtual bool Connected();

  // Closes a socket the peer has closed. Raises "Connection Closed
  // Gracefully." when asked and the connection is closed, unless unread
  // input remains and aIgnoreBuffer is false.
  void CheckForDisconnect(bool aRaise = true, bool aIgnoreBuffer = false);

  // Waits up to aTimeoutMs for input; true when new bytes arrived. Never
  // raises for a time-out or a closed connection; passes socket errors on.
  bool CheckForDataOnSource(int aTimeoutMs);

  // The one step that takes bytes from the socket: the count added to
  // InputBuffer, 0, or -1 for a time-out (aTimeoutMs -1: ReadTimeout).
  int ReadFromSource(bool aRaiseIfDisconnected, int aTimeoutMs = -1, bool aRaiseOnTimeout = true);

  // aCount > 0: waits for aCount bytes and takes them; aCount < 0: takes
  // everything buffered (reading once if nothing is); 0: nothing.
  void ReadBytes(std::vector<std::uint8_t>& aBytes, std::ptrdiff_t aCount, bool aAppend = true);
  // One LF-terminated line without its terminator (a CR before the LF is
  // dropped). Empty when aTimeoutMs runs out.
  std::string ReadLn(int aTimeoutMs = -1);
  // Lines up to one equal to aDelimiter (not added); with dot transparency
  // a line beginning with ".." loses its first character.
  void Capture(std::vector<std::string>& aLines, const std::string& aDelimiter = "",
               bool aDotTransparency = true);

  void Write(const std::uint8_t* aData, std::size_t aLength);
  void Write(const std::vector<std::uint8_t>& aBytes) { Write(aBytes.data(), aBytes.size()); }
  void Write(const std::string& aText) {
    Write(reinterpret_cast<const std::uint8_t*>(aText.data()), aText.size());
  }
  // A stream body: aSize 0 (or negative) sends all of it; with
  // aWriteByteCount the size goes first, as 4 bytes big-endian.
  void Write(const std::vector<std::uint8_t>& aStream, std::ptrdiff_t aSize, bool aWriteByteCount);
  void WriteLn(const std::string& aText = "");

  // Gathers writes until flushed; opening again discards what is pending.
  // A positive threshold flushes whenever that many bytes are gathered.
  void WriteBufferOpen(std::ptrdiff_t aThreshold = -1);
  void WriteBufferFlush();
  void WriteBufferClose();  // flushes, then drops the buffer, also on failure
  void WriteBufferClear();
  bool WriteBufferingActive() const;

 protected:
  virtual bool SocketAllocated() const = 0;
  // Waits until the source is readable; false on a time-out (-1: no limit).
  virtual bool SourceIsReadable(int aTimeoutMs) = 0;
  virtual std::size_t ReadDataFromSource(std::uint8_t* aBuffer, std::size_t aLength) = 0;
  virtual std::size_t WriteDataToTarget(const std::uint8_t* aData, std::size_t aLength) = 0;
  virtual void CloseSource() = 0;

 private:
  void WriteDirect(const std::uint8_t* aData, std::size_t aLength);
  void FlushLocked(std::size_t aCount);

  std::atomic<bool> FOpened{false};
  std::atomic<bool> FClosedGracefully{false};
  // Scratch for one receive, left uninitialised: only the pages a receive
  // writes become resident, which keeps idle connections small.
  std::unique_ptr<std::uint8_t[]> FReceive;
  std::size_t FReceiveSize = 0;

  mutable std::recursive_mutex FWriteLock;  // guards the write buffer
  std::unique_ptr<TNetBuffer> FWriteBuffer;
  std::ptrdiff_t FWriteThreshold = -1;
};

// An I/O handler over one socket handle, which it owns.
class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  TNetSocketHandle& Binding() { return *FBinding; }
  const TNetSocketHandle& Binding() const { return *FBinding; }

  // Whether the connection speaks TLS (see tvqNetTLS.h).
  virtual bool UsesTLS() const { return false; }
  // Input that waits in the handler although the socket may be quiet: a
  // wait for the socket must not sleep while this holds.
  virtual bool HasBufferedInput() const { return false; }
  // Output the handler holds for the socket: the waits then also wait for
  // the socket to take more, and FlushPendingOutput sends on.
  virtual bool HasPendingOutput() const { return false; }
  // Writes what the socket takes at once, never waiting; returns how many
  // of the bytes were taken (0: none now). Raises for a failed socket.
  virtual std::size_t WriteNoWait(const std::uint8_t* aData, std::size_t aLength) {
    return FBinding->SendNoWait(aData, aLength);
  }
  // Sends held output, never waiting; true when none is left.
  virtual bool FlushPendingOutput() { return true; }

 protected:
  bool SocketAllocated() const override { return FBinding->HandleAllocated(); }
  void CloseSource() override { FBinding->CloseSocket(); }
  // Takes over the socket of aFrom, which is left with a fresh handle.
  void TakeBinding(TNetIOHandlerSocket& aFrom) {
    FBinding = std::move(aFrom.FBinding);
    aFrom.FBinding = std::make_unique<TNetSocketHandle>();
  }

  std::unique_ptr<TNetSocketHandle> FBinding = std::make_unique<TNetSocketHandle>();
};
