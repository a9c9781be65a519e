// The floor every reader benchmark is measured against: the least a reader in
// another process can do to read a value that a writer may be rewriting.
//
// An open-addressing table of bench entries in a shared mapping, one writer,
// readers that never write. Each slot is {version, entry}: version 0 is an
// empty slot, an odd version a slot being written. The writer makes the
// version odd, stores the entry, makes it even again (release stores and a
// release fence, so a reader that sees the even version sees the entry);
// a reader loads the version (acquire), copies the entry with relaxed loads,
// fences (acquire) and loads the version again, and repeats the copy when it
// changed or was odd. Linear probing from the key's hash; keys are never
// removed, so a probe ends at the first empty slot. No resize, no chains, no
// files: nothing a real collection needs beyond the per-slot seqlock.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "BenchValues.h"
#include "PloomCore/SharedWords.h"

namespace bench_values {

class SeqlockFloor {
 public:
  // A table for `n` keys at a load factor of at most one half, in an
  // anonymous shared mapping that a forked writer process keeps sharing.
  explicit SeqlockFloor(std::uint32_t n) {
    capacity_ = 1;
    while (capacity_ < 2 * n) capacity_ *= 2;
    bytes_ = sizeof(Slot) * capacity_;
    void* at = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) std::abort();
    slots_ = static_cast<Slot*>(at);
  }
  ~SeqlockFloor() { munmap(slots_, bytes_); }
  SeqlockFloor(const SeqlockFloor&) = delete;
  SeqlockFloor& operator=(const SeqlockFloor&) = delete;

  // Inserts or rewrites the entry of key i (writer only).
  void write(std::uint32_t i, std::uint32_t data) {
    const BenchEntry e{keyOf(i), data};
    Slot& s = slots_[probe(e.key)];
    const std::uint32_t v = version(s).load(std::memory_order_relaxed);
    version(s).store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    Ploom::detail::Words::storeRelaxed(&s.entry, &e, sizeof(e));
    version(s).store(v + 2, std::memory_order_release);
  }

  bool lookup(const BenchKey& key, BenchEntry& out) const {
    for (std::uint32_t at = hashOf(key);; at = (at + 1) & (capacity_ - 1)) {
      if (!read(slots_[at], out)) return false;
      if (out.key == key) return true;
    }
  }

  // The sum of every entry's data, each read consistently.
  std::uint64_t iterate() const {
    std::uint64_t sum = 0;
    BenchEntry e;
    for (std::uint32_t at = 0; at < capacity_; ++at) {
      if (read(slots_[at], e)) sum += e.data;
    }
    return sum;
  }

 private:
  struct Slot {
    std::uint32_t version;
    BenchEntry entry;
  };
  static_assert(sizeof(Slot) == 16);

  static std::atomic_ref<std::uint32_t> version(const Slot& s) {
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(s.version));
  }
  std::uint32_t hashOf(const BenchKey& key) const { return keyHash(key, kSeed) & (capacity_ - 1); }

  // The slot that holds `key`, or the empty slot where it goes.
  std::uint32_t probe(const BenchKey& key) const {
    std::uint32_t at = hashOf(key);
    while (version(slots_[at]).load(std::memory_order_relaxed) != 0 && !(slots_[at].entry.key == key)) {
      at = (at + 1) & (capacity_ - 1);
    }
    return at;
  }

  // Copies slot `s` consistently into `out`; false when it is empty.
  static bool read(const Slot& s, BenchEntry& out) {
    while (true) {
      const std::uint32_t before = version(s).load(std::memory_order_acquire);
      if (before == 0) return false;
      if (before & 1) continue;
      Ploom::detail::Words::loadRelaxed(&out, &s.entry, sizeof(out));
      std::atomic_thread_fence(std::memory_order_acquire);
      if (version(s).load(std::memory_order_relaxed) == before) return true;
    }
  }

  Slot* slots_ = nullptr;
  std::size_t bytes_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace bench_values
