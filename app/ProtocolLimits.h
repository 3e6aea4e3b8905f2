// Public: what one client can make the server hold through the sub-protocols
// (channels, retained publications, calls, held messages, transactions) and
// how many rows the quote table may grow to. Plain values with the
// program's defaults; 0 means no limit. Set from the options
// (--max-channels ...) and handed to TfrmServer::SetProtocolLimits.
#pragma once

#include <cstddef>

struct TProtocolLimits {
  int MaxRows = 10000;                        // --max-rows (rows clients' new records may fill the table to)
  int MaxChannelsPerConnection = 256;         // --max-channels-per-connection
  int MaxChannels = 10000;                    // --max-channels (distinct names in the server)
  int MaxNamesPerRequest = 64;                // --max-names-per-request
  int MaxRetainedPerChannel = 16;             // --max-retained-per-channel
  std::size_t MaxRetainedBytes = 4u << 20;    // --max-retained-bytes (all channels)
  int RetainedExpiry = 3600;                  // --retained-expiry (seconds)
  int MaxPendingCalls = 64;                   // --max-pending-calls (per connection)
  int MaxHeldQoS = 64;                        // --max-held-qos (per connection)
  int MaxTransactions = 16;                   // --max-transactions (per connection)
  std::size_t MaxTransactionSize = 1u << 20;  // --max-transaction-size (bytes)
};
