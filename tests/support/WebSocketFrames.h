// Builds the bytes of client frames, masked as a browser masks them, and
// reads server frames back, for byte-exact tests of the WebSocket codec.
#pragma once

#include <cstdint>
#include <string>

namespace test {

// One client frame: first header byte aB0 (FIN, RSV and op-code), the
// payload, masked with aKey unless aMasked is false. aLengthForm forces the
// 16-bit (126) or 64-bit (127) length form; 0 picks the shortest.
inline std::string ClientFrame(std::uint8_t aB0, const std::string& aPayload, bool aMasked = true,
                               int aLengthForm = 0, std::uint32_t aKey = 0x37FA213D) {
  std::string frame(1, static_cast<char>(aB0));
  const std::uint8_t maskBit = aMasked ? 0x80 : 0x00;
  const std::uint64_t length = aPayload.size();
  const int form = aLengthForm ? aLengthForm : length < 126 ? 0 : length <= 0xFFFF ? 126 : 127;
  if (form == 0) {
    frame += static_cast<char>(maskBit | length);
  } else if (form == 126) {
    frame += static_cast<char>(maskBit | 126);
    frame += static_cast<char>(length >> 8);
    frame += static_cast<char>(length);
  } else {
    frame += static_cast<char>(maskBit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>(length >> shift);
  }
  if (!aMasked) return frame + aPayload;
  const char key[4] = {static_cast<char>(aKey >> 24), static_cast<char>(aKey >> 16), static_cast<char>(aKey >> 8),
                       static_cast<char>(aKey)};
  frame.append(key, 4);
  for (std::size_t i = 0; i < aPayload.size(); ++i) frame += static_cast<char>(aPayload[i] ^ key[i % 4]);
  return frame;
}

// A frame header with a declared length and no payload (for length tests).
inline std::string ClientHeader(std::uint8_t aB0, std::uint64_t aLength) {
  std::string header(1, static_cast<char>(aB0));
  header += static_cast<char>(0x80 | 127);
  for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>(aLength >> shift);
  return header + std::string("\x01\x02\x03\x04", 4);
}

inline std::string CloseFrame(int aCode, const std::string& aReason = "") {
  std::string payload;
  payload += static_cast<char>(aCode >> 8);
  payload += static_cast<char>(aCode);
  return ClientFrame(0x88, payload + aReason);
}

// A server frame as the server must write it: unmasked.
inline std::string ServerFrame(std::uint8_t aB0, const std::string& aPayload) {
  return ClientFrame(aB0, aPayload, false);
}

}  // namespace test
