// How fast the server finds a connection by Guid and the subscribers of a
// channel, at the connection counts the server is built for.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "tvqWebSocket_Classes_Queues.h"

namespace {

std::vector<std::unique_ptr<TtvqWSConnection>> MakeConnections(std::size_t aCount) {
  std::vector<std::unique_ptr<TtvqWSConnection>> connections(aCount);
  for (auto& c : connections) c = std::make_unique<TtvqWSConnection>();
  return connections;
}

// The server's index over the given connections.
void Index(TtvqCacheQueueListConnections& aIndex, const std::vector<std::unique_ptr<TtvqWSConnection>>& aConnections) {
  aIndex.SetCacheSize(100);
  for (const auto& c : aConnections) aIndex.AddItem(new TtvqQueueItemConnection(c.get()));
}

// Look-ups spread over every connection: mostly misses of the bucket cache.
void BM_GetConnectionSpread(benchmark::State& state) {
  const auto connections = MakeConnections(static_cast<std::size_t>(state.range(0)));
  TtvqCacheQueueListConnections index;
  Index(index, connections);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.GetConnection(connections[i]->Guid()));
    i = (i + 1) % connections.size();
  }
}
BENCHMARK(BM_GetConnectionSpread)->Arg(100)->Arg(1000)->Arg(10000);

// Repeated look-ups of a few connections: served from the bucket cache.
void BM_GetConnectionHot(benchmark::State& state) {
  const auto connections = MakeConnections(static_cast<std::size_t>(state.range(0)));
  TtvqCacheQueueListConnections index;
  Index(index, connections);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.GetConnection(connections[i]->Guid()));
    i = (i + 1) % 16;
  }
}
BENCHMARK(BM_GetConnectionHot)->Arg(1000)->Arg(10000);

// The subscribers of one channel, as a broadcast collects them.
void BM_GetConnectionsOfChannel(benchmark::State& state) {
  const auto connections = MakeConnections(static_cast<std::size_t>(state.range(0)));
  TtvqQueueListChannels channels;
  for (const auto& c : connections) {
    channels.AddItem(new TtvqQueueItemChannel(c.get(), "tvq@dataset@update"));
    channels.AddItem(new TtvqQueueItemChannel(c.get(), "tvq@dataset@new"));
  }
  std::vector<TtvqWSConnection*> targets;
  for (auto _ : state) {
    targets.clear();
    channels.GetConnections("tvq@dataset@update", targets);
    benchmark::DoNotOptimize(targets.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetConnectionsOfChannel)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
