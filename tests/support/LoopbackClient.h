// A raw TCP client for tests: connects over loopback and sends and receives
// exact bytes, so that a test sees what the server really put on the wire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace test {

// Polls aCondition until it holds or aTimeout passes; the shared machines
// are noisy, so callers give generous deadlines.
inline bool WaitUntil(const std::function<bool()>& aCondition,
                      std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (!aCondition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class LoopbackClient {
 public:
  LoopbackClient() = default;
  LoopbackClient(int aPort, bool aIPv6 = false) { Connect(aPort, aIPv6); }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;
  LoopbackClient(LoopbackClient&& aOther) noexcept : FFd(aOther.FFd) { aOther.FFd = -1; }
  LoopbackClient& operator=(LoopbackClient&& aOther) noexcept {
    Close();
    FFd = std::exchange(aOther.FFd, -1);
    FPeerClosed = std::exchange(aOther.FPeerClosed, false);
    return *this;
  }
  ~LoopbackClient() { Close(); }

  void Connect(int aPort, bool aIPv6 = false) {
    FFd = ::socket(aIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0) throw std::runtime_error("socket failed");
    int result;
    if (aIPv6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(static_cast<uint16_t>(aPort));
      address.sin6_addr = in6addr_loopback;
      result = ::connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(aPort));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      result = ::connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0) {
      const int error = errno;
      Close();
      throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
    }
  }

  int Fd() const { return FFd; }

  void Send(const std::string& aBytes) const {
    std::size_t sent = 0;
    while (sent < aBytes.size()) {
      const ssize_t n = ::send(FFd, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      sent += static_cast<std::size_t>(n);
    }
  }

  // Bytes received until aCount have come, the peer closed, or aTimeout.
  std::string Receive(std::size_t aCount, std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (bytes.size() < aCount) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd entry{FFd, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[65536];
      const ssize_t n = ::recv(FFd, chunk, std::min(sizeof chunk, aCount - bytes.size()), 0);
      if (n <= 0) {
        FPeerClosed = true;
        break;
      }
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
  }

  // Bytes received up to and including aDelimiter (or all until aTimeout).
  std::string ReceiveUntil(const std::string& aDelimiter,
                           std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (bytes.find(aDelimiter) == std::string::npos && std::chrono::steady_clock::now() < deadline && !FPeerClosed)
      bytes += Receive(1, std::chrono::milliseconds(50));
    return bytes;
  }

  // Everything received until the peer closes the connection (or aTimeout).
  std::string ReceiveUntilClose(std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (!FPeerClosed && std::chrono::steady_clock::now() < deadline)
      bytes += Receive(1 << 20, std::chrono::milliseconds(50));
    return bytes;
  }

  // Whether the peer closes the connection within aTimeout (any bytes that
  // come first are dropped).
  bool WaitForClose(std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (!FPeerClosed && std::chrono::steady_clock::now() < deadline) Receive(1 << 20, std::chrono::milliseconds(50));
    return FPeerClosed;
  }

  // An abortive close: the peer gets a reset instead of an orderly close.
  void Reset() {
    linger option{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
  }

  void ShutdownWrite() const { ::shutdown(FFd, SHUT_WR); }

  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  int FFd = -1;
  bool FPeerClosed = false;
};

}  // namespace test
