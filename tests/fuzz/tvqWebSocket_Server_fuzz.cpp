// Fuzz target of the opening-handshake parser: any bytes, split into
// request lines as the intake splits them, are read as a client's opening
// request; the answer is built or the request refused with an error, never
// a crash. (Writing the answer fails here: there is no socket.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tvqWebSocket_Server.h"

namespace {

class TRequest : public TtvqWSConnectionServer {
 public:
  void Handshake() { DoHandshake(); }
};

std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < aText.size()) {
    std::size_t end = aText.find('\n', start);
    if (end == std::string::npos) end = aText.size();
    std::string line = aText.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  TRequest request;
  request.Protocol = "dataset.tvq.tickerhall,tvq.tickerhall";
  request.ServerOriginsAllowed = "http://*,https://*.example.com";
  request.HeadersRequest = Lines(text);
  try {
    request.Handshake();
  } catch (...) {
    // refused (or, past the parse, no socket to answer on)
  }
  return 0;
}
