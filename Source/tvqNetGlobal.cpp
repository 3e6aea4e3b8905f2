#include "tvqNetGlobal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

std::string SocketErrorText(int aError) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in buffer.
  const char* text = strerror_r(aError, buffer, sizeof buffer);
  return "Socket Error # " + std::to_string(aError) + "\n" + text;
}

[[noreturn]] void RaiseLastSocketError() {
  const int error = errno;
  if (error == EBADF || error == ENOTSOCK) throw ENetNotASocket(error);
  throw ENetSocketError(error);
}

}  // namespace

ENetSocketError::ENetSocketError(int aLastError)
    : ENetException(SocketErrorText(aLastError)), FLastError(aLastError) {}

// ---------------------------------------------------------------- TNetBuffer

void TNetBuffer::Clear() {
  FBytes.clear();
  FHead = 0;
  FSize = 0;
}

void TNetBuffer::Write(const std::uint8_t* aData, std::size_t aLength) {
  if (aLength == 0) return;
  if (aLength > kMaxSize - FSize) throw ENetTooMuchDataInBuffer();
  if (FHead + FSize + aLength > FBytes.size()) {
    if (FHead > 0) {
      std::memmove(FBytes.data(), FBytes.data() + FHead, FSize);
      FHead = 0;
    }
    if (FSize + aLength > FBytes.size()) FBytes.resize(FSize + aLength + kGrowth);
  }
  std::memcpy(FBytes.data() + FHead + FSize, aData, aLength);
  FSize += aLength;
}

void TNetBuffer::Remove(std::size_t aCount) {
  if (aCount >= FSize) {
    Clear();
    return;
  }
  FHead += aCount;
  FSize -= aCount;
  if (FHead > kGrowth) {
    std::memmove(FBytes.data(), FBytes.data() + FHead, FSize);
    FHead = 0;
    if (FBytes.size() - FSize > kGrowth) FBytes.resize(FSize + kGrowth);
  }
}

void TNetBuffer::ExtractToBytes(std::vector<std::uint8_t>& aDest, std::ptrdiff_t aCount, bool aAppend,
                                std::ptrdiff_t aWhere) {
  std::size_t start = 0;
  std::size_t count = FSize;
  if (aWhere >= 0) {
    start = std::min(static_cast<std::size_t>(aWhere), FSize);
    count = FSize - start;
  }
  if (aCount >= 0) count = std::min(count, static_cast<std::size_t>(aCount));
  const std::uint8_t* from = Data() + start;
  if (aAppend) {
    aDest.insert(aDest.end(), from, from + count);
  } else {
    if (aDest.size() < count) aDest.resize(count);
    std::copy(from, from + count, aDest.begin());
  }
  if (aWhere < 0) Remove(count);
}

// ---------------------------------------------------------------- addresses

std::string NetAddressText(const void* aSockAddr) {
  const auto* address = static_cast<const sockaddr*>(aSockAddr);
  if (address->sa_family == AF_INET) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
  }
  if (address->sa_family == AF_INET6) {
    const std::uint8_t* bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
    std::string text;
    for (int group = 0; group < 8; ++group) {
      char part[8];
      std::snprintf(part, sizeof part, group ? ":%X" : "%X", (bytes[2 * group] << 8) | bytes[2 * group + 1]);
      text += part;
    }
    return text;
  }
  return {};
}

bool NetIPv6Available() {
  const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  ::close(probe);
  return true;
}

// ---------------------------------------------------------------- TNetSocketHandle

TNetSocketHandle::~TNetSocketHandle() { Release(); }

void TNetSocketHandle::Release() {
  CloseSocket();
  TtvqLock guard(FLock);
  if (FHandle >= 0) ::close(FHandle);
  FHandle = -1;
}

void TNetSocketHandle::SetIPVersion(TNetIPVersion aVersion) {
  if (aVersion == FIPVersion) return;
  if (HandleAllocated()) throw ENetCannotChangeIPVersion();
  FIPVersion = aVersion;
}

void TNetSocketHandle::AllocateSocket() {
  const int handle = ::socket(FIPVersion == Net_IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) RaiseLastSocketError();
  TtvqLock guard(FLock);
  if (FHandle >= 0) ::close(FHandle);
  FHandle = handle;
  FAllocated.store(true, std::memory_order_release);
}

namespace {

// "ADDRESS:PORT: reason", for a failed bind; IPv6 addresses in brackets.
std::string BindFailure(const std::string& aIP, bool aIPv6, int aPort, const std::string& aReason) {
  const std::string ip = aIP.empty() ? (aIPv6 ? "::" : "0.0.0.0") : aIP;
  return (aIPv6 ? "[" + ip + "]" : ip) + ":" + std::to_string(aPort) + ": " + aReason;
}

std::string BindReason(int aError) {
  switch (aError) {
    case EADDRINUSE: return "address already in use (another program listens on that port)";
    case EACCES: return "permission denied (ports below 1024 need privileges)";
    case EADDRNOTAVAIL: return "address not available (no interface of this machine has it)";
    default: {
      char buffer[256];
      return strerror_r(aError, buffer, sizeof buffer);
    }
  }
}

}  // namespace

void TNetSocketHandle::Bind() {
  // Address reuse "off" must still let a port whose old connections wait out
  // their close be bound again at once; on Linux that is SO_REUSEADDR set.
  // A second listener on the same port is refused all the same.
  SetSockOpt(SOL_SOCKET, SO_REUSEADDR, 1);
  if (ReuseSocket == rsTrue) SetSockOpt(SOL_SOCKET, SO_REUSEPORT, 1);

  const bool ipv6 = FIPVersion == Net_IPv6;
  sockaddr_storage storage{};
  socklen_t length;
  if (ipv6) {
    // IPv6 only, so that it does not collide with the IPv4 binding of the port.
    SetSockOpt(IPPROTO_IPV6, IPV6_V6ONLY, 1);
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(Port));
    address.sin6_addr = in6addr_any;
    if (!IP.empty() && inet_pton(AF_INET6, IP.c_str(), &address.sin6_addr) != 1)
      throw ENetCouldNotBindSocket(BindFailure(IP, true, Port, "not an IPv6 address"));
    length = sizeof address;
  } else {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!IP.empty() && inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1)
      throw ENetCouldNotBindSocket(BindFailure(IP, false, Port, "not an IPv4 address"));
    length = sizeof address;
  }
  if (::bind(FHandle, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    const int error = errno;
    throw ENetCouldNotBindSocket(BindFailure(IP, ipv6, Port, BindReason(error)));
  }
  UpdateBindingLocal();
}

void TNetSocketHandle::Listen(int aBacklog) {
  if (::listen(FHandle, aBacklog) != 0) RaiseLastSocketError();
}

bool TNetSocketHandle::Select(int aTimeoutMs) const {
  // A closed handle counts as readable, so that the caller finds it closed
  // at once instead of taking it for a time-out.
  if (!HandleAllocated()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  while (true) {
    pollfd entry{FHandle, POLLIN, 0};
    const int ready = ::poll(&entry, 1, aTimeoutMs);
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) RaiseLastSocketError();
    if (aTimeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      aTimeoutMs = static_cast<int>(left.count());
    }
  }
}

bool TNetSocketHandle::Accept(int aListener) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  const int handle = ::accept4(aListener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (handle < 0) {
    // Out of descriptors or memory: the connection stays queued, so report
    // it instead of retrying at once.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) RaiseLastSocketError();
    return false;
  }
  {
    TtvqLock guard(FLock);
    if (FHandle >= 0) ::close(FHandle);
    FHandle = handle;
    FIPVersion = peer.ss_family == AF_INET6 ? Net_IPv6 : Net_IPv4;
    FAllocated.store(true, std::memory_order_release);
  }
  UpdateBindingLocal();
  UpdateBindingPeer();
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  if (::getsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) == 0) UseNagle = noDelay == 0;
  return true;
}

void TNetSocketHandle::ApplyNagle() { SetSockOpt(IPPROTO_TCP, TCP_NODELAY, UseNagle ? 0 : 1); }

void TNetSocketHandle::SetSockOpt(int aLevel, int aOption, int aValue) {
  if (::setsockopt(FHandle, aLevel, aOption, &aValue, sizeof aValue) != 0) RaiseLastSocketError();
}

void TNetSocketHandle::SetSendTimeout(int aMs) {
  timeval value{aMs / 1000, (aMs % 1000) * 1000};
  if (::setsockopt(FHandle, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) RaiseLastSocketError();
}

void TNetSocketHandle::SetKeepAlive(bool aEnabled, int aTimeMs, int aIntervalMs) {
  SetSockOpt(SOL_SOCKET, SO_KEEPALIVE, aEnabled ? 1 : 0);
  if (!aEnabled) return;
  SetSockOpt(IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, aTimeMs / 1000));
  SetSockOpt(IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, aIntervalMs / 1000));
}

std::size_t TNetSocketHandle::Receive(std::uint8_t* aBuffer, std::size_t aLength) {
  while (true) {
    const ssize_t count = ::recv(FHandle, aBuffer, aLength, 0);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) RaiseLastSocketError();
  }
}

std::size_t TNetSocketHandle::Send(const std::uint8_t* aData, std::size_t aLength) {
  while (true) {
    const ssize_t count = ::send(FHandle, aData, aLength, MSG_NOSIGNAL);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) RaiseLastSocketError();
  }
}

std::size_t TNetSocketHandle::SendNoWait(const std::uint8_t* aData, std::size_t aLength) {
  while (true) {
    const ssize_t count = ::send(FHandle, aData, aLength, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) RaiseLastSocketError();
  }
}

void TNetSocketHandle::CloseSocket() {
  TtvqLock guard(FLock);
  if (!FAllocated.exchange(false, std::memory_order_acq_rel)) return;
  ::shutdown(FHandle, SHUT_RDWR);
}

namespace {

// The address text and port of a socket's own end or of its peer.
void ReadAddress(int aHandle, bool aPeer, std::string& aIP, int& aPort) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int result = aPeer ? ::getpeername(aHandle, reinterpret_cast<sockaddr*>(&address), &length)
                           : ::getsockname(aHandle, reinterpret_cast<sockaddr*>(&address), &length);
  if (result != 0) return;
  aIP = NetAddressText(&address);
  aPort = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

}  // namespace

void TNetSocketHandle::UpdateBindingLocal() { ReadAddress(FHandle, false, IP, Port); }

void TNetSocketHandle::UpdateBindingPeer() { ReadAddress(FHandle, true, PeerIP, PeerPort); }
