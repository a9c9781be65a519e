// Reads from another process: look-ups and iteration in this process while a
// writer process either updates entries continuously (busy_writer) or waits
// (idle_writer). Names: reader_<op>/<impl>/<N>/<writer>, impl in
//   ploom               Ploom::PloomReader on the writer's files;
//   ploom_local_shadow  Ploom::PloomShadow (local index, values from the files);
//   std_unordered_map   an in-process map with the same key hash, no writer
//                       (idle_writer only): the upper bound of a look-up;
//   seqlock_floor       the least a reader can do (SeqlockFloor.h): one
//                       seqlock-validated slot read per probe, no chains, no
//                       resize; the floor the others are measured against;
//   ipc_unordered_map   boost::unordered_map in Boost.Interprocess shared
//                       memory, sharable lock per look-up, exclusive per update;
//   lmdb                LMDB environment in /dev/shm without sync, one read
//                       transaction per look-up, one write transaction per update.
// Idle writer only (UncheckedReads.h), ploom's files read without any of the
// reader's checks: unchecked_lookup (look-ups), split_order_walk and
// step_floor (iteration).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "BenchValues.h"
#include "IpcMap.h"
#include "Mem/OrlRootPath.h"
#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"
#include "Ploom/PloomWriter.h"
#include "SeqlockFloor.h"
#include "UncheckedReads.h"

#ifdef VOVU_HAVE_LMDB
#include <lmdb.h>
#endif

namespace bench_reader {

using bench_values::BenchEntry;
using bench_values::BenchKey;
using bench_values::keyOf;
using bench_values::SeqlockFloor;

// Entries in every reader benchmark (the size the targets are stated for).
constexpr std::uint32_t kSize = 2048;

// A child process running `body`; killed and reaped when the object goes.
class WriterProcess {
 public:
  // `body` runs in the child after `ready` fires the pipe; it never returns.
  explicit WriterProcess(const std::function<void(const std::function<void()>& ready)>& body) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      body([&] {
        char c = 1;
        if (write(fds[1], &c, 1) != 1) _exit(3);
      });
      _exit(0);
    }
    close(fds[1]);
    char c;
    if (read(fds[0], &c, 1) != 1) abort();
    close(fds[0]);
  }
  ~WriterProcess() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

[[noreturn]] void idle() {
  while (true) pause();
}

std::string uniqueName(const char* kind) {
  static int instance = 0;
  return std::string(kind) + "-" + std::to_string(getpid()) + "-" + std::to_string(instance++);
}

// --- ploom and its local shadow ---------------------------------------------

template <class Endpoint>
struct PloomSide {
  std::string path = "/bench-reader/" + uniqueName("ploom");
  std::unique_ptr<WriterProcess> writer;
  Orvel::Platform::DebugHandler dh{"bench-reader"};
  std::unique_ptr<Endpoint> endpoint;

  PloomSide(std::uint32_t n, bool busy) {
    writer = std::make_unique<WriterProcess>([&](const std::function<void()>& ready) {
      Orvel::Platform::DebugHandler wdh("bench-writer");
      Ploom::MapDescriptor d;
      d.capacity = n;
      Ploom::PloomWriter<BenchEntry> w(wdh, path, d, path);
      w.initialize(path);
      for (std::uint32_t i = 0; i < n; ++i) w.write(BenchEntry{keyOf(i), i}, true);
      ready();
      if (!busy) idle();
      for (std::uint32_t v = 0;; ++v) w.write(BenchEntry{keyOf(v % n), v}, true);
    });
    endpoint = std::make_unique<Endpoint>(dh, path, path);
    if (!endpoint->initialize(path)) abort();
    if constexpr (requires { endpoint->sync(); }) endpoint->sync();
  }
  ~PloomSide() {
    endpoint.reset();
    writer.reset();
    std::filesystem::remove_all(Mem::OrlRootPath(path).path());
  }
  bool lookup(const BenchKey& key) {
    bool found = false;
    BenchEntry out;
    endpoint->lookup(key, found, &out);
    benchmark::DoNotOptimize(out);
    return found;
  }
  std::uint64_t iterate() { return sumByIteration(*endpoint); }
};

// The reader's files read without its checks: look-ups and one kind of walk.
template <std::uint64_t (bench_values::UncheckedReads::*Walk)() const>
struct UncheckedSide : PloomSide<Ploom::PloomReader<BenchEntry>> {
  bench_values::UncheckedReads reads{*endpoint};
  UncheckedSide(std::uint32_t n, bool busy) : PloomSide(n, busy) {}
  bool lookup(const BenchKey& key) {
    BenchEntry out;
    const bool found = reads.lookup(key, out);
    benchmark::DoNotOptimize(out);
    return found;
  }
  std::uint64_t iterate() { return (reads.*Walk)(); }
};

// The in-process map: what a look-up costs with no sharing at all.
struct StdSide {
  std::unordered_map<BenchKey, BenchEntry, bench_values::KeyHasher> map;

  StdSide(std::uint32_t n, bool) {
    map.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) map[keyOf(i)] = BenchEntry{keyOf(i), i};
  }
  bool lookup(const BenchKey& key) {
    auto it = map.find(key);
    benchmark::DoNotOptimize(it);
    return it != map.end();
  }
  std::uint64_t iterate() {
    std::uint64_t sum = 0;
    for (const auto& [k, e] : map) sum += e.data;
    return sum;
  }
};

struct FloorSide {
  SeqlockFloor table;
  std::unique_ptr<WriterProcess> writer;

  FloorSide(std::uint32_t n, bool busy) : table(n) {
    for (std::uint32_t i = 0; i < n; ++i) table.write(i, i);
    writer = std::make_unique<WriterProcess>([&](const std::function<void()>& ready) {
      ready();
      if (!busy) idle();
      for (std::uint32_t v = 0;; ++v) table.write(v % n, v);
    });
  }
  bool lookup(const BenchKey& key) {
    BenchEntry out;
    const bool found = table.lookup(key, out);
    benchmark::DoNotOptimize(out);
    return found;
  }
  std::uint64_t iterate() { return table.iterate(); }
};

#ifdef VOVU_HAVE_BOOST_INTERPROCESS
// The shared-memory map, changed by a writer process that takes its lock.
struct IpcSide {
  bench_values::IpcMap ipc;
  std::unique_ptr<WriterProcess> writer;

  IpcSide(std::uint32_t n, bool busy) : ipc(n) {
    for (std::uint32_t i = 0; i < n; ++i) ipc.insert(i);
    writer = std::make_unique<WriterProcess>([&](const std::function<void()>& ready) {
      ready();
      if (!busy) idle();
      for (std::uint32_t v = 0;; ++v) ipc.overwrite(v % n, v);
    });
  }
  bool lookup(const BenchKey& key) { return ipc.lookup(key); }
  std::uint64_t iterate() { return ipc.iterate(); }
};
#endif

#ifdef VOVU_HAVE_LMDB
struct LmdbSide {
  std::string dir = "/dev/shm/" + uniqueName("vovu-lmdb");
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  std::unique_ptr<WriterProcess> writer;

  static MDB_env* openEnv(const std::string& dir) {
    MDB_env* env = nullptr;
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, std::size_t{1} << 30);
    if (mdb_env_open(env, dir.c_str(), MDB_NOSYNC | MDB_NOMETASYNC | MDB_NOTLS, 0644) != 0) abort();
    return env;
  }
  static void put(MDB_env* env, MDB_dbi dbi, std::uint32_t i, std::uint32_t v) {
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    BenchEntry e{keyOf(i), v};
    MDB_val key{sizeof(e.key), &e.key}, value{sizeof(e), &e};
    mdb_put(txn, dbi, &key, &value, 0);
    mdb_txn_commit(txn);
  }

  LmdbSide(std::uint32_t n, bool busy) {
    std::filesystem::create_directories(dir);
    env = openEnv(dir);
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi);
    mdb_txn_commit(txn);
    for (std::uint32_t i = 0; i < n; ++i) put(env, dbi, i, i);
    writer = std::make_unique<WriterProcess>([&](const std::function<void()>& ready) {
      MDB_env* childEnv = openEnv(dir);  // an environment is not used across fork
      ready();
      if (!busy) idle();
      for (std::uint32_t v = 0;; ++v) put(childEnv, dbi, v % n, v);
    });
  }
  ~LmdbSide() {
    writer.reset();
    mdb_env_close(env);
    std::filesystem::remove_all(dir);
  }
  bool lookup(const BenchKey& k) {
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    BenchEntry e{k, 0};
    MDB_val key{sizeof(e.key), &e.key}, value;
    const bool found = mdb_get(txn, dbi, &key, &value) == 0;
    if (found) std::memcpy(&e, value.mv_data, sizeof(e));
    benchmark::DoNotOptimize(e);
    mdb_txn_abort(txn);
    return found;
  }
  std::uint64_t iterate() {
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    MDB_cursor* cursor;
    mdb_cursor_open(txn, dbi, &cursor);
    MDB_val key, value;
    std::uint64_t sum = 0;
    for (int rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
      BenchEntry e;
      std::memcpy(&e, value.mv_data, sizeof(e));
      sum += e.data;
    }
    mdb_cursor_close(cursor);
    mdb_txn_abort(txn);
    return sum;
  }
};
#endif

template <class Side>
void readerLookup(benchmark::State& state, bool hit, bool busy) {
  const std::uint32_t n = kSize;
  Side side(n, busy);
  const std::vector<BenchKey> keys = bench_values::keysInOrder(n, hit ? 0 : n);
  std::size_t at = 0, hits = 0;
  for (auto _ : state) {
    hits += side.lookup(keys[at]);
    if (++at == n) at = 0;
  }
  if (hits != (hit ? static_cast<std::size_t>(state.iterations()) : 0)) state.SkipWithError("wrong look-up results");
}

template <class Side>
void readerIterate(benchmark::State& state, bool busy) {
  const std::uint32_t n = kSize;
  Side side(n, busy);
  for (auto _ : state) benchmark::DoNotOptimize(side.iterate());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

template <class Side>
void registerSide(const char* impl, bool withWriter = true) {
  for (bool busy : {false, true}) {
    if (busy && !withWriter) continue;
    const std::string suffix = busy ? "/busy_writer" : "/idle_writer";
    auto name = [&](const char* op) { return std::string(op) + "/" + impl + "/2048" + suffix; };
    benchmark::RegisterBenchmark(name("reader_lookup_hit").c_str(),
                                 [busy](benchmark::State& s) { readerLookup<Side>(s, true, busy); });
    benchmark::RegisterBenchmark(name("reader_lookup_miss").c_str(),
                                 [busy](benchmark::State& s) { readerLookup<Side>(s, false, busy); });
    benchmark::RegisterBenchmark(name("reader_iterate").c_str(),
                                 [busy](benchmark::State& s) { readerIterate<Side>(s, busy); });
  }
}

// Benchmarks with an idle writer only, of the operations named.
template <class Side>
void registerIdle(const char* impl, std::initializer_list<const char*> ops) {
  for (const char* op : ops) {
    const std::string name = std::string(op) + "/" + impl + "/2048/idle_writer";
    const std::string kind = op;
    benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State& s) {
      if (kind == "reader_iterate") {
        readerIterate<Side>(s, false);
      } else {
        readerLookup<Side>(s, kind == "reader_lookup_hit", false);
      }
    });
  }
}

void registerReaderBenchmarks() {
  registerSide<FloorSide>("seqlock_floor");
  registerSide<StdSide>("std_unordered_map", false);
  registerSide<PloomSide<Ploom::PloomReader<BenchEntry>>>("ploom");
  registerSide<PloomSide<Ploom::PloomShadow<BenchEntry>>>("ploom_local_shadow");
  using bench_values::UncheckedReads;
  registerIdle<UncheckedSide<&UncheckedReads::splitOrderWalk>>("unchecked_lookup",
                                                               {"reader_lookup_hit", "reader_lookup_miss"});
  registerIdle<UncheckedSide<&UncheckedReads::splitOrderWalk>>("split_order_walk", {"reader_iterate"});
  registerIdle<UncheckedSide<&UncheckedReads::stepWalk>>("step_floor", {"reader_iterate"});
#ifdef VOVU_HAVE_BOOST_INTERPROCESS
  registerSide<IpcSide>("ipc_unordered_map");
#endif
#ifdef VOVU_HAVE_LMDB
  registerSide<LmdbSide>("lmdb");
#endif
}

}  // namespace bench_reader
