// A loopback port already taken by another listener, for tests of a start
// that cannot bind.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test {

struct TTakenPort {
  TTakenPort() {
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(socket, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~TTakenPort() { ::close(socket); }
  TTakenPort(const TTakenPort&) = delete;
  TTakenPort& operator=(const TTakenPort&) = delete;
  int socket = -1;
  int port = 0;
};

}  // namespace test
