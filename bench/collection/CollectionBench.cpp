// The shared-memory collection's writer next to its peers, on values of the
// catalogue's shape (a 12-byte entry whose first 8 bytes are the key):
//   ploom              the collection, writer side, files in /dev/shm;
//   std_unordered_map  an in-process hash map with the same key hash: the
//                      upper bound, measuring the structure, not the hash;
//   ipc_unordered_map  boost::unordered_map in Boost.Interprocess managed
//                      shared memory behind an interprocess_sharable_mutex,
//                      the conventional way to share a map between processes.
// Names are <op>/<impl>/<N>. Run with --benchmark_format=json for the record.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BenchValues.h"
#include "IpcMap.h"
#include "Mem/OrlRootPath.h"
#include "Ploom/PloomReader.h"
#include "Ploom/PloomWriter.h"
#include "Ploom/TestAccess.h"
#include "Zev/Hash.h"

namespace {

using bench_values::BenchEntry;
using bench_values::BenchKey;
using bench_values::KeyHasher;
using bench_values::keyOf;
using bench_values::keysInOrder;
using bench_values::order;

// --- ploom -----------------------------------------------------------------

struct PloomPeer {
  Orvel::Platform::DebugHandler dh{"bench"};
  std::unique_ptr<Ploom::PloomWriter<BenchEntry>> writer;
  explicit PloomPeer(std::uint32_t n) {
    static int instance = 0;
    Ploom::MapDescriptor d;
    d.capacity = n;
    const std::string path = "/bench/" + std::to_string(getpid()) + "/" + std::to_string(instance++);
    writer = std::make_unique<Ploom::PloomWriter<BenchEntry>>(dh, path, d, path);
    writer->initialize(path);
  }
  ~PloomPeer() { close(); }
  // Removes the collection's files and drops the writer (once).
  void close() {
    if (!writer) return;
    writer->removeFiles();
    writer.reset();
  }
  void insert(std::uint32_t i) { writer->write(BenchEntry{keyOf(i), i}, true); }
  bool lookup(const BenchKey& key) {
    bool found = false;
    const BenchEntry* e = writer->lookup(key, found, nullptr);
    benchmark::DoNotOptimize(e);
    return found;
  }
  void overwrite(std::uint32_t i, std::uint32_t v) { writer->write(BenchEntry{keyOf(i), v}, true); }
  void remove(std::uint32_t i) {
    BenchEntry out;
    writer->remove(keyOf(i), out);
  }
  std::uint64_t iterate() { return sumByIteration(*writer); }
};

// The reader of another process's collection: here a second, read-only
// mapping of the writer's files in the same process.
struct PloomReaderPeer {
  PloomPeer writer;
  Orvel::Platform::DebugHandler dh{"bench-reader"};
  std::unique_ptr<Ploom::PloomReader<BenchEntry>> reader;
  explicit PloomReaderPeer(std::uint32_t n) : writer(n) {}
  void insert(std::uint32_t i) {
    writer.insert(i);
    reader.reset();
  }
  Ploom::PloomReader<BenchEntry>& view() {
    if (!reader) {
      const std::string path = writer.writer->ploomName();
      reader = std::make_unique<Ploom::PloomReader<BenchEntry>>(dh, path, path);
      reader->initialize(path);
    }
    return *reader;
  }
  bool lookup(const BenchKey& key) {
    bool found = false;
    BenchEntry out;
    view().lookup(key, found, &out);
    benchmark::DoNotOptimize(out);
    return found;
  }
  std::uint64_t iterate() {
    std::uint64_t sum = 0;
    BenchEntry e;
    Ploom::IterHint hint;
    if (!view().first(e, hint)) return 0;
    do {
      sum += e.data;
    } while (view().next(e.key, e, hint));
    return sum;
  }
};

// --- std::unordered_map ----------------------------------------------------

struct StdPeer {
  std::unordered_map<BenchKey, BenchEntry, KeyHasher> map;
  explicit StdPeer(std::uint32_t n) { map.reserve(n); }
  void insert(std::uint32_t i) { map[keyOf(i)] = BenchEntry{keyOf(i), i}; }
  bool lookup(const BenchKey& key) {
    auto it = map.find(key);
    benchmark::DoNotOptimize(it);
    return it != map.end();
  }
  void overwrite(std::uint32_t i, std::uint32_t v) { map[keyOf(i)] = BenchEntry{keyOf(i), v}; }
  void remove(std::uint32_t i) { map.erase(keyOf(i)); }
  std::uint64_t iterate() {
    std::uint64_t sum = 0;
    for (const auto& [k, e] : map) sum += e.data;
    return sum;
  }
};

#ifdef VOVU_HAVE_BOOST_INTERPROCESS
// --- boost::unordered_map in managed shared memory --------------------------

using IpcPeer = bench_values::IpcMap;
#endif

// --- the operations --------------------------------------------------------

// Looks up the n present keys (hits), or n keys that are absent (misses), in a fixed pseudo-random order.
template <class Peer, bool kHit>
void lookup(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Peer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  const std::vector<BenchKey> keys = keysInOrder(n, kHit ? 0 : n);
  std::size_t at = 0, hits = 0;
  for (auto _ : state) {
    hits += peer.lookup(keys[at]);
    if (++at == n) at = 0;
  }
  if (kHit && hits != static_cast<std::size_t>(state.iterations())) state.SkipWithError("a present key was not found");
  if (!kHit && hits != 0) state.SkipWithError("an absent key was found");
}
template <class Peer>
void lookupHit(benchmark::State& state) {
  lookup<Peer, true>(state);
}
template <class Peer>
void lookupMiss(benchmark::State& state) {
  lookup<Peer, false>(state);
}

template <class Peer>
void overwrite(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Peer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  const auto o = order(n);
  std::size_t at = 0;
  std::uint32_t v = 0;
  for (auto _ : state) {
    peer.overwrite(o[at], ++v);
    if (++at == n) at = 0;
  }
}

// One insert and one remove of a key not in the collection, at size n.
template <class Peer>
void insertRemove(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Peer peer(n + 1);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  std::uint32_t extra = 0;
  for (auto _ : state) {
    const std::uint32_t key = n + (extra++ % n);
    peer.insert(key);
    peer.remove(key);
  }
}

template <class Peer>
void iterate(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  Peer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  for (auto _ : state) benchmark::DoNotOptimize(peer.iterate());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

// Look-ups while another thread keeps overwriting entries: what a reader pays
// when the writer is busy (a lock-based map makes it wait).
template <class Peer, class Writer>
void lookupContended(benchmark::State& state, Peer& peer, Writer&& overwrite) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::uint32_t v = 1; !stop.load(std::memory_order_relaxed); ++v) overwrite(v % n, v);
  });
  const std::vector<BenchKey> keys = keysInOrder(n, 0);
  std::size_t at = 0, hits = 0;
  for (auto _ : state) {
    hits += peer.lookup(keys[at]);
    if (++at == n) at = 0;
  }
  stop = true;
  writer.join();
  if (hits != static_cast<std::size_t>(state.iterations())) state.SkipWithError("a present key was not found");
}

void lookupContendedPloom(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  PloomReaderPeer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  peer.view();
  lookupContended(state, peer, [&](std::uint32_t i, std::uint32_t v) { peer.writer.overwrite(i, v); });
}
BENCHMARK(lookupContendedPloom)->Name("lookup_hit_busy_writer/ploom_reader")->Arg(2048)->UseRealTime();

#ifdef VOVU_HAVE_BOOST_INTERPROCESS
void lookupContendedIpc(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  IpcPeer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  lookupContended(state, peer, [&](std::uint32_t i, std::uint32_t v) { peer.overwrite(i, v); });
}
BENCHMARK(lookupContendedIpc)->Name("lookup_hit_busy_writer/ipc_unordered_map")->Arg(2048)->UseRealTime();
#endif

// Doubling and halving the bucket index of n entries, per entry.
void bucketResize(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  PloomPeer peer(n);
  for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
  auto& map = Ploom::Testing::Access::map(*peer.writer);
  for (auto _ : state) {
    map.growBuckets();
    map.shrinkBuckets();
  }
  state.counters["ns_per_entry_grow_and_shrink"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Slot growth by inserting from empty, and compaction by removing all but a few.
void slotGrowShrink(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    PloomPeer peer(64);
    state.ResumeTiming();
    for (std::uint32_t i = 0; i < n; ++i) peer.insert(i);
    for (std::uint32_t i = 0; i < n - 4; ++i) peer.remove(i);
    state.PauseTiming();
    peer.close();
    state.ResumeTiming();
  }
  state.counters["ns_per_entry"] = benchmark::Counter(static_cast<double>(state.iterations()) * n,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

#define VOVU_PEER_BENCHMARKS(op, function)                                                       \
  BENCHMARK(function<PloomPeer>)->Name(#op "/ploom")->Arg(256)->Arg(2048)->Arg(65536);           \
  BENCHMARK(function<StdPeer>)->Name(#op "/std_unordered_map")->Arg(256)->Arg(2048)->Arg(65536); \
  VOVU_IPC_BENCHMARK(op, function)

#ifdef VOVU_HAVE_BOOST_INTERPROCESS
#define VOVU_IPC_BENCHMARK(op, function) \
  BENCHMARK(function<IpcPeer>)->Name(#op "/ipc_unordered_map")->Arg(256)->Arg(2048)->Arg(65536);
#else
#define VOVU_IPC_BENCHMARK(op, function)
#endif

VOVU_PEER_BENCHMARKS(lookup_hit, lookupHit)
VOVU_PEER_BENCHMARKS(lookup_miss, lookupMiss)
VOVU_PEER_BENCHMARKS(overwrite, overwrite)
VOVU_PEER_BENCHMARKS(insert_remove, insertRemove)
VOVU_PEER_BENCHMARKS(iterate, iterate)
// Reads from another mapping, next to the writer's own and the peers' above.
BENCHMARK(lookupHit<PloomReaderPeer>)->Name("lookup_hit/ploom_reader")->Arg(256)->Arg(2048)->Arg(65536);
BENCHMARK(lookupMiss<PloomReaderPeer>)->Name("lookup_miss/ploom_reader")->Arg(256)->Arg(2048)->Arg(65536);
BENCHMARK(iterate<PloomReaderPeer>)->Name("iterate/ploom_reader")->Arg(256)->Arg(2048)->Arg(65536);
BENCHMARK(bucketResize)->Name("bucket_grow_shrink/ploom")->Arg(2048)->Arg(65536);
BENCHMARK(slotGrowShrink)->Name("slot_grow_compact/ploom")->Arg(2048)->Arg(65536)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace bench_reader {
void registerReaderBenchmarks();
}

int main(int argc, char** argv) {
  // Collection files go to a private directory under /dev/shm, removed at the end.
  std::string base = "/dev/shm/vovu-bench-XXXXXX";
  if (!mkdtemp(base.data())) return 1;
  Mem::baseDirIs(base);
  bench_reader::registerReaderBenchmarks();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(base);
  return 0;
}
