// Access to the words of the collection's shared files.
//
// Every word another process may read concurrently is accessed as a C++
// atomic through std::atomic_ref, so the compiler neither tears nor caches
// it, and the C++ memory model (and ThreadSanitizer) agree with the code:
//   - a {version, link} pair (Ploom::SlotLink) and every versioned count is
//     one aligned 64-bit store; publishing stores use release, never seq_cst
//     (which would be an xchg on x86), and reads use acquire;
//   - slot values are copied with relaxed 32-bit word accesses inside the
//     seqlock formed by the slot's version word (the writer brackets the copy
//     with release stores and a release fence; readers validate the version
//     after an acquire fence).
// On x86-64 all of these are plain moves: no fence and no locked instruction.
//
// The stores of the protocol have names here, and every writer path uses
// them: SlotLink::relink (a chain change), publishLinked (a slot becomes an
// entry), freeSlot (it stops being one), markIs, countIs (a versioned count),
// rewriteValue (a value rewritten inside the slot's seqlock); SplitOrder
// holds the bucket order that writer and reader walk by.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Ploom/StorePoint.h"

namespace Ploom {

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "readers in other processes rely on lock-free 64-bit loads and stores");
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free, "32-bit words are lock-free");

// The machinery of the layer (word access, the value rewrite, split order)
// sits in `detail`: the other layers speak SlotLink.
namespace detail::Words {

// The memory order is a template argument, so no code for stronger orders is
// ever generated (a run-time order would compile a seq_cst branch too).
template <class T, std::memory_order Order = std::memory_order_acquire>
[[gnu::always_inline]] inline T load(const void* at) noexcept {
  static_assert(Order == std::memory_order_acquire || Order == std::memory_order_relaxed);
  return std::atomic_ref<T>(*static_cast<T*>(const_cast<void*>(at))).load(Order);
}

template <class T, std::memory_order Order = std::memory_order_release>
[[gnu::always_inline]] inline void store(void* at, T value) noexcept {
  static_assert(Order == std::memory_order_release || Order == std::memory_order_relaxed);
  PLOOM_STORE_POINT();
  std::atomic_ref<T>(*static_cast<T*>(at)).store(value, Order);
}

// Copies `bytes` (a multiple of 4) with relaxed 32-bit accesses on both sides.
inline void copyRelaxed(void* to, const void* from, std::size_t bytes) noexcept {
  auto* t = static_cast<std::uint32_t*>(to);
  const auto* f = static_cast<const std::uint32_t*>(from);
  for (std::size_t i = 0; i < bytes / 4; ++i) {
    store<std::uint32_t, std::memory_order_relaxed>(t + i, load<std::uint32_t, std::memory_order_relaxed>(f + i));
  }
}

// Copies from process-local memory into shared memory with relaxed stores.
inline void storeRelaxed(void* to, const void* from, std::size_t bytes) noexcept {
  auto* t = static_cast<std::uint32_t*>(to);
  const auto* f = static_cast<const std::uint32_t*>(from);
  for (std::size_t i = 0; i < bytes / 4; ++i) store<std::uint32_t, std::memory_order_relaxed>(t + i, f[i]);
}

// Copies from shared memory into process-local memory with relaxed loads.
[[gnu::always_inline]] inline void loadRelaxed(void* to, const void* from, std::size_t bytes) noexcept {
  auto* t = static_cast<std::uint32_t*>(to);
  const auto* f = static_cast<const std::uint32_t*>(from);
#pragma GCC unroll 8
  for (std::size_t i = 0; i < bytes / 4; ++i) t[i] = load<std::uint32_t, std::memory_order_relaxed>(f + i);
}

// The 32-bit word `offset` bytes into a mapping (headers are made of them).
[[gnu::always_inline]] inline std::uint32_t wordAt(const void* base, std::size_t offset) noexcept {
  return load<std::uint32_t>(static_cast<const std::uint8_t*>(base) + offset);
}
[[gnu::always_inline]] inline void wordAtIs(void* base, std::size_t offset, std::uint32_t value) noexcept {
  store<std::uint32_t>(static_cast<std::uint8_t*>(base) + offset, value);
}

}  // namespace detail::Words

// Ploom::SlotLink: the 8-byte {version, link} pair of a bucket entry or a
// slot. version (bytes 0-3) advances by 4 on every rewrite of the pair; in a
// slot, bit 0 is "occupied" and bit 1 "value being rewritten". link (bytes
// 4-7): bit 31 end of chain, bit 30 the mark flag of its holder, bits 0-29 the
// next slot (bit 31 clear) or the bucket whose entries follow (bit 31 set).
struct SlotLink {
  std::uint32_t version;
  std::uint32_t link;

  static constexpr std::uint32_t kEndOfChain = 0x80000000u;
  static constexpr std::uint32_t kMark = 0x40000000u;
  static constexpr std::uint32_t kIndexMask = 0x3FFFFFFFu;
  // An end of chain naming no following bucket.
  static constexpr std::uint32_t kNoBucket = 0x3FFFFFFFu;
  // The universal "nothing" link: end of chain, mark clear, no bucket. Also
  // the empty free list and the idle direct slot.
  static constexpr std::uint32_t kNothing = 0xBFFFFFFFu;
  static_assert(kNothing == (kEndOfChain | kNoBucket), "nothing is an end of chain naming no bucket");

  static constexpr std::uint32_t kOccupied = 0x1u;
  static constexpr std::uint32_t kWriting = 0x2u;
  // Every store of a pair advances its version by one step; the first store
  // of a value rewrite advances it by half a step (setting kWriting), its
  // last store by the other half.
  static constexpr std::uint32_t kVersionStep = 4;
  static constexpr std::uint32_t kRewriteStep = 2;
  static_assert(kRewriteStep == kWriting && 2 * kRewriteStep == kVersionStep);
  // A versioned count ({generation, count}) advances its generation by one.
  static constexpr std::uint32_t kGenerationStep = 1;

  constexpr bool endOfChain() const noexcept { return (link & kEndOfChain) != 0; }
  // An end of chain that names no following bucket: the end of the collection.
  constexpr bool endsCollection() const noexcept { return (link & ~kMark) == kNothing; }
  constexpr std::uint32_t index() const noexcept { return link & kIndexMask; }
  constexpr bool marked() const noexcept { return (link & kMark) != 0; }
  constexpr bool occupied() const noexcept { return (version & kOccupied) != 0; }
  constexpr bool writing() const noexcept { return (version & kWriting) != 0; }

  static constexpr std::uint64_t pack(std::uint32_t version, std::uint32_t link) noexcept {
    return std::uint64_t{link} << 32 | version;
  }
  static constexpr SlotLink unpack(std::uint64_t word) noexcept {
    return SlotLink{static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32)};
  }

  // Reads the pair at `at` (acquire).
  [[gnu::always_inline]] static SlotLink read(const void* at) noexcept {
    return unpack(detail::Words::load<std::uint64_t>(at));
  }
  // Writes the pair at `at` in one store (release): everything stored before
  // it is visible to a reader that sees the new pair.
  [[gnu::always_inline]] static void write(void* at, SlotLink value) noexcept {
    detail::Words::store<std::uint64_t>(at, pack(value.version, value.link));
  }

  // The stores of the protocol, each one store of the pair at `at` that
  // advances its version by one step.
  //
  // relink: the link becomes `newLink`, the pair's own mark kept. Publishes
  // a chain change: a predecessor now leads to `newLink`.
  static void relink(void* at, std::uint32_t newLink) noexcept {
    const SlotLink old = read(at);
    write(at, SlotLink{old.version + kVersionStep, (newLink & ~kMark) | (old.link & kMark)});
  }
  // publishLinked: the slot becomes an occupied entry leading to `successor`
  // (its own mark kept). Its value must be in place before.
  static void publishLinked(void* slot, std::uint32_t successor) noexcept {
    const SlotLink old = read(slot);
    write(slot, SlotLink{(old.version + kVersionStep) | kOccupied, (successor & ~kMark) | (old.link & kMark)});
  }
  // freeSlot: the slot stops being an entry (occupied clear, link kept, so a
  // reader standing on it still finds its way on). The slot must be unlinked.
  static void freeSlot(void* slot) noexcept {
    const SlotLink old = read(slot);
    write(slot, SlotLink{(old.version + kVersionStep) & ~kOccupied, old.link});
  }
  // markIs: sets or clears the pair's mark.
  static void markIs(void* at, bool marked) noexcept {
    const SlotLink old = read(at);
    write(at, SlotLink{old.version + kVersionStep, marked ? (old.link | kMark) : (old.link & ~kMark)});
  }
  // The {generation, count} pair at `at` takes `count` under the next generation.
  static void countIs(void* at, std::uint32_t count) noexcept {
    write(at, SlotLink{read(at).version + kGenerationStep, count});
  }
};
static_assert(sizeof(SlotLink) == 8, "a link pair is one 64-bit word");

// The value rewrite of a slot, a seqlock in its version word: half a step
// (kWriting set: readers take the lookaside image, which the caller filled
// before when the slot held a value), a release fence, the value's words
// stored relaxed by `storeValue`, then the other half with the slot occupied.
// A reader that saw kWriting, or a version that moved while it copied, does
// not use what it copied.
namespace detail {
template <class StoreValue>
inline void rewriteValue(void* slot, StoreValue&& storeValue) {
  const SlotLink old = SlotLink::read(slot);
  SlotLink::write(slot, SlotLink{old.version + SlotLink::kRewriteStep, old.link});
  std::atomic_thread_fence(std::memory_order_release);
  storeValue();
  SlotLink::write(slot, SlotLink{(old.version + SlotLink::kVersionStep) | SlotLink::kOccupied, old.link});
}
}  // namespace detail

// Ploom::IterHint: where an iteration stands, so that next() can continue
// without hashing again while the returned slot is untouched.
struct IterHint {
  std::uint32_t version = 0;
  std::uint32_t slot = SlotLink::kNothing;
  std::uint32_t bucket = SlotLink::kNothing;
};

// Reverses the 32 bits of a hash: the order of the split-ordered chain. A
// byte swap, then the bits of each byte (every walk step uses it).
[[gnu::always_inline]] constexpr std::uint32_t reverseBits(std::uint32_t h) noexcept {
  h = __builtin_bswap32(h);
  h = (h >> 4 & 0x0F0F0F0Fu) | (h & 0x0F0F0F0Fu) << 4;
  h = (h >> 2 & 0x33333333u) | (h & 0x33333333u) << 2;
  return (h >> 1 & 0x55555555u) | (h & 0x55555555u) << 1;
}
static_assert(reverseBits(1) == 0x80000000u && reverseBits(0x80000000u) == 1 && reverseBits(0x6) == 0x60000000u);

// Split order: the buckets' chains joined into one list sorted by reversed
// hash. Bucket b (of 2^bits) starts where the reversed hashes with b's low
// bits start; its end marker names the bucket that follows it.
namespace detail::SplitOrder {

// The bucket after `bucket` with `bits` bits of bucket index (its reversed
// index plus one), kNoBucket after the last; a bucket past the count gets a
// value no marker holds. Adding one to the reversed index flips its trailing
// ones and the zero above them: in the bucket's own bits, the ones from the
// top down to the highest zero, and that zero. So no bit is reversed (every
// step of an iteration from one bucket to the next asks for it).
[[gnu::always_inline]] inline std::uint32_t successor(std::uint32_t bucket, unsigned bits) noexcept {
  if (bits == 0) return SlotLink::kNoBucket;
  const std::uint32_t size = std::uint32_t{1} << bits;
  if (bucket >= size) return SlotLink::kNoBucket - 1;
  const std::uint32_t zeros = ~bucket & (size - 1);
  if (zeros == 0) return SlotLink::kNoBucket;  // all ones: the last bucket in split order
  const std::uint32_t flipped = (size - 1) & ~std::uint32_t{0} << (31 - __builtin_clz(zeros));
  return bucket ^ flipped;
}

// While the bucket count moves between n/2, n and 2n, a walk reading with n
// may meet the chains of either neighbour count. These admit all three,
// trying n first (it nearly always is the one).
[[gnu::always_inline]] inline bool successorNear(std::uint32_t bucket, std::uint32_t marker, std::uint32_t n) noexcept {
  const unsigned bits = static_cast<unsigned>(__builtin_ctz(n));
  if (marker == successor(bucket, bits)) [[likely]] {
    return true;
  }
  return (bits > 0 && marker == successor(bucket, bits - 1)) || marker == successor(bucket, bits + 1);
}
[[gnu::always_inline]] inline bool homeNear(std::uint32_t h, std::uint32_t bucket, std::uint32_t n) noexcept {
  return (h & (n - 1)) == bucket || (n > 1 && (h & (n / 2 - 1)) == bucket) || (h & (2 * n - 1)) == bucket;
}

}  // namespace detail::SplitOrder

}  // namespace Ploom
