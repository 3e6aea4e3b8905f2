// A test client that has completed the opening handshake for one
// sub-protocol and exchanges whole text frames, as a browser would.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "LoopbackClient.h"
#include "WebSocketFrames.h"

namespace test {

// What NextText gives when nothing came in time.
inline const std::string kNoText = "<none>";
// How long tests watch that nothing more comes.
constexpr std::chrono::milliseconds kQuiet{300};

class WebSocketClient {
 public:
  WebSocketClient(int aPort, const std::string& aProtocol) : FClient(aPort) {
    std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://127.0.0.1\r\nSec-WebSocket-Version: 13\r\n";
    if (!aProtocol.empty()) request += "Sec-WebSocket-Protocol: " + aProtocol + "\r\n";
    FClient.Send(request + "\r\n");
    Response = FClient.ReceiveUntil("\r\n\r\n");
    if (Response.rfind("HTTP/1.1 101 ", 0) != 0) throw std::runtime_error("handshake refused: " + Response);
  }

  void SendText(const std::string& aText) const { FClient.Send(ClientFrame(0x81, aText)); }

  // The payload of the next frame; none when no whole frame arrives in time.
  std::optional<std::string> Next(std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    const std::string header = FClient.Receive(2, aTimeout);
    if (header.size() < 2) return std::nullopt;
    std::uint64_t length = static_cast<std::uint8_t>(header[1]) & 0x7F;
    if (length >= 126) {
      const std::string extended = FClient.Receive(length == 126 ? 2 : 8, aTimeout);
      length = 0;
      for (char c : extended) length = (length << 8) | static_cast<std::uint8_t>(c);
    }
    std::string payload = FClient.Receive(static_cast<std::size_t>(length), aTimeout);
    if (payload.size() < length) return std::nullopt;
    return payload;
  }

  // The next frame's payload, or "<none>" when nothing came in time.
  std::string NextText(std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    return Next(aTimeout).value_or(kNoText);
  }

  LoopbackClient& Raw() { return FClient; }
  std::string Response;

 private:
  LoopbackClient FClient;
};

}  // namespace test
