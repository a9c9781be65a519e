// The values the collection benchmarks store: the catalogue's shape, a
// 12-byte entry whose first 8 bytes are an indexed key.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

#include "PloomCore/SharedWords.h"
#include "Zev/Hash.h"

namespace bench_values {

constexpr std::uint32_t kSeed = 0x5bd1e995;

// The key of an indexed table: array index, three zero bytes, entry index.
struct BenchKey {
  std::uint8_t arrayIndex = 0;
  std::uint8_t padding[3] = {};
  std::uint32_t entryIndex = 0;
  friend bool operator==(const BenchKey& a, const BenchKey& b) {
    return a.arrayIndex == b.arrayIndex && a.entryIndex == b.entryIndex;
  }
  friend std::strong_ordering operator<=>(const BenchKey& a, const BenchKey& b) {
    if (auto c = a.arrayIndex <=> b.arrayIndex; c != 0) return c;
    return a.entryIndex <=> b.entryIndex;
  }
};
[[gnu::always_inline]] inline std::uint32_t keyHash(const BenchKey& k, std::uint32_t seed) {
  return Zev::Hash(seed).mix1(k.arrayIndex).mix4(k.entryIndex).result();
}
struct KeyHasher {
  std::size_t operator()(const BenchKey& k) const noexcept { return keyHash(k, kSeed); }
};

struct BenchEntry {
  using EntryKey = BenchKey;
  static constexpr const char* kTypeName = "bench::BenchEntry";
  BenchKey key;
  std::uint32_t data = 0;
  const BenchKey& entryKey() const { return key; }
};
static_assert(sizeof(BenchEntry) == 12);

inline BenchKey keyOf(std::uint32_t i) { return BenchKey{static_cast<std::uint8_t>(i & 1), {}, i >> 1}; }

// A fixed pseudo-random visiting order over 0 .. n - 1.
inline std::vector<std::uint32_t> order(std::uint32_t n) {
  std::vector<std::uint32_t> o(n);
  for (std::uint32_t i = 0; i < n; ++i) o[i] = static_cast<std::uint32_t>((std::uint64_t{i} * 2654435761u) % n);
  return o;
}

// The keys of offset + 0 .. offset + n - 1 in the order above, made before a
// benchmark loop: each implementation then reads its key from memory, as a
// caller's key would be (a key built in the loop and passed by reference is
// stored in pieces and read whole, which stalls the store forwarding of
// whichever implementation takes it by reference).
inline std::vector<BenchKey> keysInOrder(std::uint32_t n, std::uint32_t offset) {
  std::vector<BenchKey> keys;
  keys.reserve(n);
  for (std::uint32_t i : order(n)) keys.push_back(keyOf(offset + i));
  return keys;
}

// The sum of every entry's data, walked with first/next of any collection endpoint.
template <class Endpoint>
std::uint64_t sumByIteration(const Endpoint& endpoint) {
  std::uint64_t sum = 0;
  BenchEntry e;
  Ploom::IterHint hint;
  if (!endpoint.first(e, hint)) return 0;
  do {
    sum += e.data;
  } while (endpoint.next(e.key, e, hint));
  return sum;
}

}  // namespace bench_values
