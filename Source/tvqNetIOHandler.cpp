#include "tvqNetIOHandler.h"

#include <algorithm>
#include <cstring>

void TNetIOHandler::Open() {
  InputBuffer.Clear();
  {
    std::lock_guard guard(FWriteLock);
    FWriteBuffer.reset();
  }
  FClosedGracefully.store(false, std::memory_order_release);
  FOpened.store(true, std::memory_order_release);
}

void TNetIOHandler::Close() {
  CloseSource();
  FOpened.store(false, std::memory_order_release);
  std::lock_guard guard(FWriteLock);
  if (FWriteBuffer) FWriteBuffer->Clear();
}

bool TNetIOHandler::Connected() {
  ReadFromSource(false, 0, false);
  return (SocketAllocated() && Opened() && !ClosedGracefully()) || !InputBuffer.IsEmpty();
}

void TNetIOHandler::CheckForDisconnect(bool aRaise, bool aIgnoreBuffer) {
  if (ClosedGracefully() && SocketAllocated()) Close();
  const bool closed = ClosedGracefully() || !SocketAllocated();
  if (closed && aRaise && (aIgnoreBuffer || InputBuffer.IsEmpty())) throw ENetConnClosedGracefully();
}

bool TNetIOHandler::CheckForDataOnSource(int aTimeoutMs) {
  const std::size_t before = InputBuffer.Size();
  if (!Connected()) return false;
  if (InputBuffer.Size() > before) return true;
  return ReadFromSource(false, aTimeoutMs, false) > 0;
}

int TNetIOHandler::ReadFromSource(bool aRaiseIfDisconnected, int aTimeoutMs, bool aRaiseOnTimeout) {
  int timeout = aTimeoutMs == -1 ? ReadTimeout : aTimeoutMs;
  if (aTimeoutMs == -1 && timeout == 0) timeout = -1;  // no limit

  CheckForDisconnect(aRaiseIfDisconnected, false);
  if (!SocketAllocated()) {
    if (aRaiseIfDisconnected) throw ENetNotConnected();
    return 0;
  }
  while (true) {
    if (!SourceIsReadable(timeout)) {
      if (aRaiseOnTimeout) throw ENetReadTimeout();
      return -1;
    }
    if (!Opened()) {
      if (aRaiseIfDisconnected) throw ENetNotConnected();
      return 0;
    }
    if (!SocketAllocated()) {
      if (aRaiseIfDisconnected) throw ENetClosedSocket();
      return 0;
    }
    const std::size_t size = std::max<std::size_t>(RecvBufferSize, 1);
    if (FReceiveSize != size) {
      FReceive.reset(new std::uint8_t[size]);
      FReceiveSize = size;
    }
    const std::size_t count = ReadDataFromSource(FReceive.get(), size);
    if (count > 0)
      InputBuffer.Write(FReceive.get(), count);
    else
      FClosedGracefully.store(true, std::memory_order_release);
    CheckForDisconnect(aRaiseIfDisconnected, false);
    if (count != 0 || !SocketAllocated()) return static_cast<int>(count);
  }
}

void TNetIOHandler::ReadBytes(std::vector<std::uint8_t>& aBytes, std::ptrdiff_t aCount, bool aAppend) {
  if (aCount > 0) {
    const auto count = static_cast<std::size_t>(aCount);
    while (InputBuffer.Size() < count) {
      if (ReadFromSource(false, -1, true) > 0 && InputBuffer.Size() >= count) break;
      CheckForDisconnect(true, true);
    }
    InputBuffer.ExtractToBytes(aBytes, aCount, aAppend);
  } else if (aCount < 0) {
    if (InputBuffer.IsEmpty()) {
      ReadFromSource(false, -1, false);
      CheckForDisconnect(true, true);
    }
    InputBuffer.ExtractToBytes(aBytes, -1, aAppend);
  }
}

std::string TNetIOHandler::ReadLn(int aTimeoutMs) {
  std::size_t searchFrom = 0;
  while (true) {
    const std::uint8_t* begin = InputBuffer.Data();
    const std::uint8_t* end = begin + InputBuffer.Size();
    const std::uint8_t* lf = std::find(begin + searchFrom, end, '\n');
    const bool found = lf != end;
    const auto position = static_cast<std::size_t>(lf - begin);

    const auto maxLine = static_cast<std::size_t>(std::max(MaxLineLength, 0));
    if (MaxLineLength > 0 && (found ? position > maxLine : InputBuffer.Size() > maxLine)) {
      if (MaxLineAction == maException) throw ENetReadLnMaxLineLengthExceeded();
      std::string line(reinterpret_cast<const char*>(begin), maxLine);
      InputBuffer.Remove(maxLine);
      return line;
    }
    if (!found) {
      searchFrom = InputBuffer.Size();
      CheckForDisconnect(true, true);
      if (ReadFromSource(true, aTimeoutMs, false) < 0) return {};
      continue;
    }
    std::size_t length = position;
    if (length > 0 && begin[length - 1] == '\r') --length;
    std::string line(reinterpret_cast<const char*>(begin), length);
    InputBuffer.Remove(position + 1);
    return line;
  }
}

void TNetIOHandler::Capture(std::vector<std::string>& aLines, const std::string& aDelimiter,
                            bool aDotTransparency) {
  while (true) {
    std::string line = ReadLn();
    if (line == aDelimiter) return;
    if (aDotTransparency && line.starts_with("..")) line.erase(0, 1);
    aLines.push_back(std::move(line));
  }
}

void TNetIOHandler::Write(const std::uint8_t* aData, std::size_t aLength) {
  if (aLength == 0) return;
  {
    std::lock_guard guard(FWriteLock);
    if (FWriteBuffer) {
      FWriteBuffer->Write(aData, aLength);
      while (FWriteThreshold > 0 && FWriteBuffer->Size() >= static_cast<std::size_t>(FWriteThreshold))
        FlushLocked(static_cast<std::size_t>(FWriteThreshold));
      return;
    }
  }
  WriteDirect(aData, aLength);
}

void TNetIOHandler::Write(const std::vector<std::uint8_t>& aStream, std::ptrdiff_t aSize, bool aWriteByteCount) {
  const std::size_t size = aSize <= 0 ? aStream.size() : static_cast<std::size_t>(aSize);
  if (aWriteByteCount) {
    const std::uint8_t count[4] = {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                                   static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
    Write(count, sizeof count);
  }
  const std::size_t chunk = std::max<std::size_t>(SendBufferSize, 1);
  for (std::size_t sent = 0; sent < size; sent += chunk) {
    if (sent >= aStream.size()) throw ENetNoDataToRead();
    Write(aStream.data() + sent, std::min({chunk, size - sent, aStream.size() - sent}));
  }
}

void TNetIOHandler::WriteLn(const std::string& aText) { Write(aText + "\r\n"); }

void TNetIOHandler::WriteDirect(const std::uint8_t* aData, std::size_t aLength) {
  CheckForDisconnect(true, true);
  std::size_t sent = 0;
  while (sent < aLength) {
    const std::size_t count = WriteDataToTarget(aData + sent, aLength - sent);
    if (count == 0) {
      // The peer takes nothing more: the connection is closed.
      FClosedGracefully.store(true, std::memory_order_release);
      throw ENetConnClosedGracefully();
    }
    sent += count;
  }
}

void TNetIOHandler::WriteBufferOpen(std::ptrdiff_t aThreshold) {
  std::lock_guard guard(FWriteLock);
  if (FWriteBuffer)
    FWriteBuffer->Clear();
  else
    FWriteBuffer = std::make_unique<TNetBuffer>();
  FWriteThreshold = aThreshold;
}

void TNetIOHandler::FlushLocked(std::size_t aCount) {
  WriteDirect(FWriteBuffer->Data(), aCount);
  FWriteBuffer->Remove(aCount);
}

void TNetIOHandler::WriteBufferFlush() {
  std::lock_guard guard(FWriteLock);
  if (FWriteBuffer && !FWriteBuffer->IsEmpty()) FlushLocked(FWriteBuffer->Size());
}

void TNetIOHandler::WriteBufferClose() {
  std::lock_guard guard(FWriteLock);
  struct Drop {
    std::unique_ptr<TNetBuffer>& buffer;
    ~Drop() { buffer.reset(); }
  } drop{FWriteBuffer};
  WriteBufferFlush();
}

void TNetIOHandler::WriteBufferClear() {
  std::lock_guard guard(FWriteLock);
  if (FWriteBuffer) FWriteBuffer->Clear();
}

bool TNetIOHandler::WriteBufferingActive() const {
  std::lock_guard guard(FWriteLock);
  return FWriteBuffer != nullptr;
}
