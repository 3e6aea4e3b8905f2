// Fuzz target of the frame reader: any bytes, read as a client's frames
// (masks required, UTF-8 checked), give events or a protocol violation and
// never a crash.
#include <cstddef>
#include <cstdint>

#include "tvqWebSocket_Classes_Net.h"

namespace {

// A connection whose input is a fixed byte string and whose writes go
// nowhere.
class TMemoryConnection : public TtvqWSConnection_Base_Net {
 public:
  TMemoryConnection(const std::uint8_t* aData, std::size_t aSize) : FInput(aData, aData + aSize) {
    SetEnabled(true);
    ValidateUTF8 = true;
    FragmentedMessages = frgAll;
  }
  void Read() { DoReadData(true); }

 protected:
  bool HasTCPConnection() const override { return true; }
  std::size_t InputSize() const override { return FInput.size() - FAt; }
  void TakeInput(std::size_t aCount, TtvqBytes& aAppendTo) override {
    const std::size_t count = std::min(aCount, InputSize());
    aAppendTo.insert(aAppendTo.end(), FInput.begin() + static_cast<std::ptrdiff_t>(FAt),
                     FInput.begin() + static_cast<std::ptrdiff_t>(FAt + count));
    FAt += count;
  }
  bool WaitForInput() override { return false; }
  void ClearInput() override { FAt = FInput.size(); }
  void SendFrame(const std::uint8_t*, std::size_t) override {}
  void ClearWriteBuffer() override {}
  void DisconnectTransport() override {}

 private:
  TtvqBytes FInput;
  std::size_t FAt = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  TMemoryConnection connection(aData, aSize);
  std::size_t messages = 0;
  connection.OnMessage = [&](TtvqWSConnection&, const std::string&) { ++messages; };
  connection.OnBinary = [&](TtvqWSConnection&, const TtvqBytes&) { ++messages; };
  connection.OnFragmented = [&](TtvqWSConnection&, const TtvqBytes&, TOpcode, bool) { ++messages; };
  try {
    connection.Read();
  } catch (...) {
    // a violation ends the connection: that is an answer, not a fault
  }
  return 0;
}
