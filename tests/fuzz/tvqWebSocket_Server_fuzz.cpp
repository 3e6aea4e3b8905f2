// Fuzz target of the opening-handshake parser: any bytes, split into
// request lines as the intake splits them, are read as a client's opening
// request; the answer is built or the request refused with an error, never
// a crash. (Writing the answer fails here: there is no socket.)
#include <cstddef>
#include <cstdint>
#include <string>

#include "tvqWebSocket_Server.h"

namespace {

class TRequest : public TtvqWSConnectionServer {
 public:
  void Handshake() { DoHandshake(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  TRequest request;
  request.Protocol = "dataset.tvq.tickerhall,tvq.tickerhall";
  request.ServerOriginsAllowed = "http://*,https://*.example.com";
  request.HeadersRequest = tvqSplitRequestLines(text);
  try {
    request.Handshake();
  } catch (...) {
    // refused (or, past the parse, no socket to answer on)
  }
  return 0;
}
