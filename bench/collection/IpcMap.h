// The peer every collection benchmark compares with: a boost::unordered_map of
// bench entries in Boost.Interprocess managed shared memory, behind an
// interprocess_sharable_mutex (readers lock it shared, writers exclusively).
// A forked process that inherits the mapping may use it too.
#pragma once

#ifdef VOVU_HAVE_BOOST_INTERPROCESS

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/interprocess_sharable_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/interprocess/sync/sharable_lock.hpp>
#include <boost/unordered_map.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "BenchValues.h"

namespace bench_values {

namespace bip = boost::interprocess;

class IpcMap {
 public:
  // A fresh segment sized for `n` entries, named after this process.
  explicit IpcMap(std::uint32_t n) {
    static int instance = 0;
    name_ = "vovu-bench-" + std::to_string(getpid()) + "-" + std::to_string(instance++);
    bip::shared_memory_object::remove(name_.c_str());
    segment_ = std::make_unique<bip::managed_shared_memory>(bip::create_only, name_.c_str(),
                                                            std::size_t{1} << 20 | (std::size_t{n} * 256));
    mutex_ = segment_->construct<bip::interprocess_sharable_mutex>("mutex")();
    map_ = segment_->construct<Map>("map")(n, KeyHasher(), std::equal_to<BenchKey>(),
                                           segment_->get_allocator<std::pair<const BenchKey, BenchEntry>>());
  }
  ~IpcMap() {
    segment_.reset();
    bip::shared_memory_object::remove(name_.c_str());
  }
  IpcMap(const IpcMap&) = delete;
  IpcMap& operator=(const IpcMap&) = delete;

  void insert(std::uint32_t i) { overwrite(i, i); }
  void overwrite(std::uint32_t i, std::uint32_t v) {
    bip::scoped_lock lock(*mutex_);
    (*map_)[keyOf(i)] = BenchEntry{keyOf(i), v};
  }
  bool lookup(const BenchKey& key) {
    bip::sharable_lock lock(*mutex_);
    auto it = map_->find(key);
    benchmark::DoNotOptimize(it);
    return it != map_->end();
  }
  void remove(std::uint32_t i) {
    bip::scoped_lock lock(*mutex_);
    map_->erase(keyOf(i));
  }
  std::uint64_t iterate() {
    bip::sharable_lock lock(*mutex_);
    std::uint64_t sum = 0;
    for (const auto& [k, e] : *map_) sum += e.data;
    return sum;
  }

 private:
  using Allocator = bip::allocator<std::pair<const BenchKey, BenchEntry>, bip::managed_shared_memory::segment_manager>;
  using Map = boost::unordered_map<BenchKey, BenchEntry, KeyHasher, std::equal_to<BenchKey>, Allocator>;

  std::string name_;
  std::unique_ptr<bip::managed_shared_memory> segment_;
  Map* map_ = nullptr;
  bip::interprocess_sharable_mutex* mutex_ = nullptr;
};

}  // namespace bench_values

#endif
