// How fast the server finds a connection by Guid and the subscribers of a
// channel, at the connection counts the server is built for.
#include <benchmark/benchmark.h>

#include <algorithm>
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

// Look-ups of a working set of connections among all of them: a set wider
// than the bucket caches mostly misses them, a small one is served by them.
void BM_GetConnection(benchmark::State& state) {
  const auto connections = MakeConnections(static_cast<std::size_t>(state.range(0)));
  const auto workingSet = std::min(connections.size(), static_cast<std::size_t>(state.range(1)));
  TtvqCacheQueueListConnections index;
  Index(index, connections);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.GetConnection(connections[i]->Guid()));
    i = (i + 1) % workingSet;
  }
}
BENCHMARK(BM_GetConnection)
    ->ArgNames({"connections", "working_set"})
    ->Args({100, 100})
    ->Args({1000, 1000})
    ->Args({10000, 10000})
    ->Args({1000, 16})
    ->Args({10000, 16});

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
