// Fuzz target of the frame reader: any bytes, read as a client's frames
// (masks required, UTF-8 checked), give events or a protocol violation and
// never a crash; and the codec gives the same events whether the bytes come
// whole or a byte at a time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../support/MemoryConnection.h"
#include "tvqWebSocket_Codec.h"

namespace {

// The events of aReader over the input in pieces of aChunk bytes (0: whole).
std::vector<std::string> Events(const std::uint8_t* aData, std::size_t aSize, std::size_t aChunk) {
  TtvqFrameReader reader({true, frgAll, 1u << 20});
  std::vector<std::string> events;
  std::size_t at = 0;
  while (true) {
    if (!reader.Ready()) {
      if (at == aSize || reader.Failed()) break;
      at += reader.Consume(aData + at, aChunk ? std::min(aChunk, aSize - at) : aSize - at);
      if (!reader.Ready()) continue;
    }
    const TtvqFrameEvent& e = reader.Event();
    std::string text = std::to_string(e.Kind) + " " + std::to_string(e.OpCode) + " " + std::to_string(e.More) + " " +
                       std::to_string(e.CloseCode) + " " + std::to_string(e.PeerCloseCode) + " " + e.Text + " ";
    if (e.Data) text.append(e.Data->begin(), e.Data->end());
    events.push_back(std::move(text));
    if (reader.Failed()) break;
    reader.Next();
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  if (Events(aData, aSize, 0) != Events(aData, aSize, 1)) std::abort();

  test::MemoryConnection connection;
  connection.ValidateUTF8 = true;
  connection.FragmentedMessages = frgAll;
  connection.Feed(std::string(reinterpret_cast<const char*>(aData), aSize));
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
