// Fuzz target of the first-request parser: any bytes are classified as a
// connection's first request, and read as an opening handshake and
// answered or refused, with no connection and no socket; never a crash, and
// an accepted answer always carries the lines of its framing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tvqWebSocket_Request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  TtvqRequestOptions options;
  options.IndexPage = "wsquotes.html";
  const TtvqRequest request = tvqClassifyRequest(text, options);
  if (request.Body && request.Body->size() > 8) std::abort();  // only the Hixie-76 body stays buffered

  TtvqWSHandShakeServer handshake;
  try {
    tvqParseHandshake(tvqSplitRequestLines(text), handshake);
  } catch (const TtvqWSException&) {
    return 0;  // refused while parsing
  }
  const std::string key3 = request.Body.value_or(std::string());
  if (tvqHandshakeHasBody(handshake)) tvqRecordKey3(handshake, key3);
  const TtvqHandshakeAnswer answer =
      tvqAnswerHandshake(handshake, "dataset.tvq.tickerhall,tvq.tickerhall", "http://*,https://*.example.com");
  if (answer.Accepted && (answer.Lines.empty() || answer.Lines.front().rfind("HTTP/1.1 101 ", 0) != 0)) std::abort();
  if (!answer.Accepted && answer.Error.empty()) std::abort();
  if (answer.Accepted && answer.Specification == spHixie76) {
    try {
      tvqHixie76Challenge(handshake.Key1, handshake.Key2, key3);
    } catch (const TtvqWSException&) {
      // a numbered key without blanks: refused where the challenge is written
    }
  }
  return 0;
}
