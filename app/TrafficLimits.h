// Public: the program's traffic budgets, per connection and over all of
// them, with their defaults: values no honest browser reaches. The window
// logic hands them to the server (TfrmServer::SetTrafficLimits); the
// command line and the settings file fill them (Options.cpp).
#pragma once

#include <cstdint>

struct TTrafficLimits {
  // The largest message a client may send, in bytes (past it: closed 1009).
  std::uint64_t MaxMessageSize = 1048576;
  // Messages (frames) a second per connection, with a burst of twice as
  // many (past it: closed 1008).
  int MaxMessagesPerSecond = 100;
  // Bytes a second read per connection, with a burst of twice as many
  // (past it: closed 1008).
  std::uint64_t MaxInputRate = 1048576;
  // Live traffic waiting for one client's socket, in bytes (past it the
  // client is dropped as a slow consumer); its connect sequence does not
  // count.
  std::uint64_t MaxBacklog = 8388608;
  // What all clients' backlogs may hold together, in bytes (past it the
  // largest are dropped first).
  std::uint64_t MaxOutputTotal = 268435456;
  // Seconds a backlog may wait without the client reading any of it.
  int WriteTimeout = 30;
};
