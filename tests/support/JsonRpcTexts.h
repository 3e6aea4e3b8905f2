// The JSON-RPC 2.0 texts the sub-protocol tests send as a client would.
#pragma once

#include <string>

namespace test {

// A request: method, then params (raw JSON) and qos and id when given.
inline std::string Request(const std::string& aMethod, const std::string& aParams = "", const std::string& aId = "",
                           const std::string& aQoS = "") {
  std::string text = R"({"jsonrpc":"2.0","method":")" + aMethod + "\"";
  if (!aParams.empty()) text += ",\"params\":" + aParams;
  if (!aQoS.empty()) text += R"(,"qos":")" + aQoS + "\"";
  if (!aId.empty()) text += R"(,"id":")" + aId + "\"";
  return text + "}";
}

// A client's record message on aChannel (aDataset is the raw JSON object).
inline std::string ClientRecord(const std::string& aChannel, const std::string& aDataset) {
  return R"({"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":")" + aChannel + R"(","dataset":)" + aDataset +
         "}}";
}

}  // namespace test
