// A WebSocket connection over memory instead of a socket: its input is
// what the test feeds it, its output is kept, and its writes can be made to
// fail after a number of bytes or of calls, to walk a failure through every
// write of a scenario.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

#include "tvqWebSocket_Classes_Net.h"

namespace test {

class MemoryConnection : public TtvqWSConnection_Base_Net {
 public:
  // An RFC 6455 server connection, enabled as after its handshake.
  MemoryConnection() {
    SetTransport(trpRFC6455);
    Specification = spRFC6455;
    SetEnabled(true);
  }

  // Input as the peer would send it; Read() runs the read step over it.
  void Feed(const std::string& aBytes) { FInput.append(aBytes); }
  void Read() { DoReadData(true); }

  // What was written, every frame in order; and the drop of the transport.
  const std::string& Output() const { return FOutput; }
  bool Dropped() const { return FDropped; }

  // The aCalls-th write (counted from 0) fails, as a socket whose peer is
  // gone does; or the write that would take the total past aBytes bytes,
  // after the bytes up to the limit went out.
  void FailAfterBytes(std::size_t aBytes) { FFailAfterBytes = aBytes; }
  void FailAtCall(std::size_t aCalls) { FFailAtCall = aCalls; }
  std::size_t Writes() const { return FWrites; }

 protected:
  bool HasTCPConnection() const override { return !FDropped; }
  std::size_t InputSize() const override { return FInput.size() - FAt; }
  const std::uint8_t* InputData() const override {
    return reinterpret_cast<const std::uint8_t*>(FInput.data()) + FAt;
  }
  void DropInput(std::size_t aCount) override { FAt += std::min(aCount, InputSize()); }
  void TakeInput(std::size_t aCount, TtvqBytes& aAppendTo) override {
    const std::size_t count = std::min(aCount, InputSize());
    aAppendTo.insert(aAppendTo.end(), InputData(), InputData() + count);
    FAt += count;
  }
  bool WaitForInput() override { return false; }
  void ClearInput() override { FAt = FInput.size(); }
  void SendFrame(const std::uint8_t* aData, std::size_t aLength) override {
    if (FDropped) throw std::system_error(ENOTCONN, std::generic_category(), "send");
    if (FWrites++ >= FFailAtCall) throw std::system_error(EPIPE, std::generic_category(), "send");
    const std::size_t room = FFailAfterBytes - std::min(FFailAfterBytes, FOutput.size());
    if (aLength > room) {
      FOutput.append(reinterpret_cast<const char*>(aData), room);
      throw std::system_error(EPIPE, std::generic_category(), "send");
    }
    FOutput.append(reinterpret_cast<const char*>(aData), aLength);
  }
  void ClearWriteBuffer() override {}
  void DisconnectTransport() override { FDropped = true; }

 private:
  static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
  std::string FInput;
  std::size_t FAt = 0;
  std::string FOutput;
  std::size_t FFailAfterBytes = kNever;
  std::size_t FFailAtCall = kNever;
  std::size_t FWrites = 0;
  bool FDropped = false;
};

}  // namespace test
