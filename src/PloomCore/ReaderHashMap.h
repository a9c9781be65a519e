// PloomCore::ReaderHashMap: a reader process's lock-free view of a
// collection's bucket and slot files (the structure is described in
// WriterHashMap.h).
//
// Nothing is locked; every read is validated afterwards:
//   1. a slot is read inside its version seqlock: the version word (acquire),
//      words copied with relaxed loads (from the lookaside image when bit 1
//      says the value is being rewritten), an acquire fence, the version
//      again (relaxed); a different version means the copy may be torn and
//      it is repeated (Boehm's seqlock reader). A walk copies only the
//      reversed hash and the key of each slot it passes; the rest of the
//      value is copied only from the slot it stops at, in a second seqlock
//      read under the same version (a new version there: that slot is read
//      whole once more, and the walk starts over unless it still holds the
//      key);
//   2. the {version, link} pair that led to a slot is re-read after the slot
//      read; a new version means the chain may have changed under the walk.
//      A bucket entry changes only with its link: the walk restarts. A slot's
//      version also changes when only its value is rewritten, so the slot is
//      read again (step 1): when it still holds the same key, occupied,
//      leading to the same slot, and that slot's version is still the one
//      read, the hop stands; otherwise the walk restarts;
//   3. a lookup that finds nothing compares the bucket-count generation with
//      the one it started with and raises the mismatch when a resize
//      completed meanwhile (the owning reader re-maps and retries).
// Keys and end markers are accepted for bucket counts n, n/2 and 2n, which is
// what a walk overlapping a grow or shrink in progress meets; a key's bucket
// is checked from the reversed hash stored beside it, not hashed again. Every index read
// from the files is range-checked before it is used. A detached bucket table
// (count 0) is not an error: every read finds nothing.
//
// Progress. Readers never lock and never wait for the writer. A walk restarts
// only when a link it followed was rewritten (an insert or remove next to it,
// a compaction move, a bucket resize); a rewrite of a value never restarts
// it. So while the writer rewrites one key without pause:
//   - a walk that passes that key's slot reads the slot once more per hop
//     whose validation the rewrite spoilt, and goes on: no restart;
//   - the copy of the slot itself takes the lookaside image while a rewrite
//     is under way, and is repeated only when one of the writer's version
//     stores falls inside that one copy of a few words;
//   - a rewrite between the read of that slot's key and the copy of the rest
//     of its value has the slot read whole once more (it still holds the
//     key): no restart either.
// Driven step by step, with the key rewritten between every two steps of the
// reader, a lookup or an iteration step completes without a single restart.
// The number of copies repeated is not bounded by anything but the writer's
// timing (a reader preempted in the middle of every copy would repeat each):
// the readers are lock-free, not wait-free.
#pragma once

#include <atomic>
#include <cstdint>

#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "Ploom/StorePoint.h"
#include "PloomCore/BucketReader.h"
#include "PloomCore/ReaderCounters.h"
#include "PloomCore/ReaderHashMapCommon.h"
#include "PloomCore/SharedWords.h"
#include "PloomCore/SlotReaderTable.h"
#include "PloomCore/ValueTraits.h"

namespace PloomCore {

template <Ploom::CollectionValue V>
class ReaderHashMap {
 public:
  using Traits = Ploom::ValueTraits<V>;
  using Key = typename Traits::Key;
  using Layout = Ploom::SlotLayout<V>;
  using SlotLink = Ploom::SlotLink;

  ReaderHashMap(const Orvel::Platform::DebugHandler& dh, const BucketReader& buckets,
                const Ploom::SlotReaderTable<V>& slots, const std::uint32_t* seed, Ploom::Reader::Counters* counters,
                Ploom::LastSlotRead* lastRead)
      : dh_(dh), buckets_(buckets), slots_(slots), seed_(seed), counters_(counters), lastRead_(lastRead) {}

  // The reader's own mapping of both files, copied for one operation. It
  // changes only when the owner re-maps, between operations; read through
  // the owner instead, it would be loaded again after every acquire load of
  // a shared word, on the walk's critical path.
  struct Mapping {
    const std::uint8_t* buckets;  // bucket entry 0
    const std::uint8_t* slots;    // the slot file's base
    std::uint32_t numBuckets;
    std::uint32_t numSlots;

    const std::uint8_t* entry(std::uint32_t bucket) const noexcept { return buckets + 8 * std::size_t{bucket}; }
    const std::uint8_t* slot(std::uint32_t index) const noexcept {
      return slots + Layout::kHeaderSize + std::size_t{index} * Layout::kSlotSize;
    }
    const std::uint8_t* lookaside() const noexcept { return slots + Ploom::SlotHeader::kLookaside; }
  };
  Mapping mapping() const noexcept {
    const std::uint8_t* bucketFile = buckets_.base();
    return Mapping{bucketFile ? buckets_.entry(0) : nullptr, slots_.base(), buckets_.numBuckets(), slots_.numSlots()};
  }

  // The value of `key` copied into `buffer` (or the scratch buffer); the
  // type's default and found = false when absent.
  //
  // The reader points (Ploom/StorePoint.h) are passed only while a test has
  // installed its hook when the look-up begins: a possible call at every
  // slot read, never made, still costs the walk its registers and reloads
  // (about a tenth of a look-up), so the hook-free walk is compiled without
  // them. Tests install the hook before the operations they step.
  [[gnu::always_inline]] const V* lookup(const Key& key, bool& found, V* buffer) const {
    if (Ploom::Testing::readerHook) [[unlikely]] {
      return steppedLookup(key, found, buffer);
    }
    return lookupWith<false>(key, found, buffer);
  }
  [[gnu::noinline]] const V* steppedLookup(const Key& key, bool& found, V* buffer) const {
    return lookupWith<true>(key, found, buffer);
  }
  template <bool Points>
  [[gnu::always_inline]] const V* lookupWith(const Key& key, bool& found, V* buffer) const {
    const Mapping m = mapping();
    found = false;
    V* out = buffer ? buffer : &scratch_;
    const std::uint32_t n = m.numBuckets;
    if (n == 0) {
      detached();
      *out = V{};
      return out;
    }
    const std::uint32_t generation = buckets_.generation();
    const std::uint32_t h = hash(key);
    const std::uint32_t bucket = h & (n - 1);
    const std::uint32_t r = Ploom::reverseBits(h);
    const auto end = walkChain<Points>(m, bucket, *out, [&](SlotLink read, std::uint32_t slotR, std::uint32_t index) {
      if (!read.occupied()) ReaderHashMapCommon::throwNotOccupied(index, &key, sizeof(Key));
      if (slotR < r) {
        checkBucket(m, slotR, r, bucket, *out);
        return Step::goOn;
      }
      if (slotR > r) return Step::stop;
      // Equal reversed hashes: nearly always the key itself.
      if (sameKey(Traits::key(*out), key)) return Step::take;
      return (Traits::key(*out) <=> key) < 0 ? Step::goOn : Step::stop;
    });
    if (end.step == Step::take) {
      found = true;
      return out;
    }
    if (end.step == Step::goOn && !end.link.endsCollection() && end.link.index() >= n) {
      buckets_.throwOutOfRange(end.link.index());
    }
    const std::uint64_t pair = buckets_.countPair();
    if (static_cast<std::uint32_t>(pair) != generation) buckets_.throwNumBucketsMismatch(pair);
    *out = V{};
    return out;
  }

  bool first(std::uint32_t bucket, V& valueOut, Ploom::IterHint& hint) const {
    const Mapping m = mapping();
    if (m.numBuckets == 0) return detached();
    return firstFrom<true>(m, bucket, valueOut, hint);
  }

  // The entry after `key` into `valueOut`, from the hint when it is still
  // valid. `key` must not lie in `valueOut`, which the step overwrites
  // before its slow path may need the key (the owning reader passes a copy).
  // Like lookup(), the step without a test hook is compiled without the
  // reader points, and it is inlined whole into the caller: an iteration is
  // one such step per entry.
  [[gnu::always_inline]] bool next(const Key& key, V& valueOut, Ploom::IterHint& hint) const {
    if (Ploom::Testing::readerHook) [[unlikely]] {
      return steppedNext(key, valueOut, hint);
    }
    return nextWith<false>(key, valueOut, hint);
  }
  [[gnu::noinline]] bool steppedNext(const Key& key, V& valueOut, Ploom::IterHint& hint) const {
    return nextWith<true>(key, valueOut, hint);
  }

  // Reads slot `index` (below the mapped slot count: the caller checks) inside
  // its version seqlock into `out`; returns the {version, link} it read under
  // and records the slot as the last one read.
  SlotLink consistentRead(std::uint32_t index, V& out, std::uint32_t& rhash) const {
    return consistentRead(mapping(), index, out, rhash);
  }

  std::uint32_t hash(const Key& key) const { return Traits::hash(key, *seed_); }

 private:
  // The first entry at or after `bucket` in split order.
  template <bool Points>
  [[gnu::always_inline]] bool firstFrom(const Mapping& m, std::uint32_t bucket, V& valueOut,
                                        Ploom::IterHint& hint) const {
    const std::uint32_t n = m.numBuckets;
    if (bucket >= n) buckets_.throwOutOfRange(bucket);
    std::uint32_t bucketHops = 0;
    while (true) {
      const SlotLink head = SlotLink::read(m.entry(bucket));
      if (head.endOfChain()) {
        if (head.endsCollection()) {
          ORVEL_TRACE(dh_, 8, "ReaderHashMap", "none found!");
          return false;
        }
        if (++bucketHops > n) ReaderHashMapCommon::throwHashBucketCycle(bucketHops, n);
        bucket = followMarker(m, bucket, head.index());
        continue;
      }
      std::uint32_t hops = 0;
      const std::uint32_t index = checkedIndex(m, head, hops);
      std::uint32_t slotR;
      const SlotLink read = consistentRead<Points>(m, index, valueOut, slotR);
      if (SlotLink::read(m.entry(bucket)).version != head.version) {
        counters_->inc(Ploom::Reader::Counters::retries);
        continue;
      }
      if (!read.occupied()) ReaderHashMapCommon::throwNotOccupied(index, &Traits::key(valueOut), sizeof(Key));
      checkBucket(m, slotR, bucket, valueOut);
      hint = Ploom::IterHint{read.version, index, bucket};
      ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} found at bucket {}, saving {}", index, bucket, hint.slot);
      prefetchAfter(m, read);
      return true;
    }
  }

  // Where a step of next() ended: at an entry (in `valueOut`), at the end of
  // the collection, before the bucket `marker` names (its first entry comes
  // next), or, for the hinted step only, at a hint that could not be used.
  enum class StepEnd { entry, end, bucket, unhinted };

  template <bool Points>
  [[gnu::always_inline]] bool nextWith(const Key& key, V& valueOut, Ploom::IterHint& hint) const {
    const Mapping m = mapping();
    if (m.numBuckets == 0) return detached();
    std::uint32_t marker;
    StepEnd end = hintedNext<Points>(m, key, valueOut, hint, marker);
    if (end == StepEnd::unhinted) [[unlikely]] {
      end = slowNext<Points>(key, valueOut, hint, marker);
    }
    if (end != StepEnd::bucket) return end == StepEnd::entry;
    return firstFrom<Points>(m, marker, valueOut, hint);
  }

  // The step from the hinted slot: it must be untouched and still hold
  // `key` (versions restart when slots are initialised again after a shrink
  // and regrow, so the key is compared too). The slot read there is not
  // recorded as the last one read: the step returns another slot, or none.
  template <bool Points>
  [[gnu::always_inline]] StepEnd hintedNext(const Mapping& m, const Key& key, V& valueOut, Ploom::IterHint& hint,
                                            std::uint32_t& marker) const {
    if (hint.slot >= m.numSlots || hint.bucket >= m.numBuckets) return StepEnd::unhinted;
    std::uint32_t hintedR;
    const SlotLink link = readKey<Points>(m, hint.slot, valueOut, hintedR, false);
    if (link.version != hint.version || !sameKey(Traits::key(valueOut), key)) return StepEnd::unhinted;
    if (link.endOfChain()) {
      if (link.endsCollection()) {
        ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} failed", hint.bucket);
        return StepEnd::end;
      }
      marker = followMarker(m, hint.bucket, link.index());
      ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} next bucket {} using {}", hint.bucket, marker, hint.slot);
      return StepEnd::bucket;
    }
    std::uint32_t hops = 0;
    const std::uint32_t index = checkedIndex(m, link, hops);
    std::uint32_t slotR;
    const SlotLink read = consistentRead<Points>(m, index, valueOut, slotR);
    if (SlotLink::read(m.slot(hint.slot)).version != hint.version || !read.occupied() ||
        !bucketTolerated(m, slotR, hint.bucket)) {
      return StepEnd::unhinted;
    }
    hint = Ploom::IterHint{read.version, index, hint.bucket};
    ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} next slot {} success", hint.bucket, index);
    prefetchAfter(m, read);
    return StepEnd::entry;
  }

  // Asks the cache for the slot the next iteration step will read after the
  // one whose pair is `link`: the slot it links to, or the head slot of the
  // bucket its end marker names. Slots lie in the file in allocation order,
  // not in split order, so without this every step waits for a slot from
  // the second-level cache. A prefetch reads nothing the step relies on (the
  // next step reads and validates everything again) and never faults; only
  // indices in range are used to form an address.
  [[gnu::always_inline]] void prefetchAfter(const Mapping& m, SlotLink link) const {
    std::uint32_t index = link.index();
    if (link.endOfChain()) {
      if (index >= m.numBuckets) return;
      const SlotLink head = SlotLink::read(m.entry(index));
      if (head.endOfChain()) return;
      index = head.index();
    }
    if (index < m.numSlots) __builtin_prefetch(m.slot(index));
  }

  // The slow path: the first slot after `key` in its own bucket, or the
  // bucket that follows. Out of line: an iteration takes it only when a
  // writer changed the hinted slot.
  template <bool Points>
  [[gnu::noinline]] StepEnd slowNext(const Key& key, V& valueOut, Ploom::IterHint& hint, std::uint32_t& marker) const {
    const Mapping m = mapping();
    const std::uint32_t n = m.numBuckets;
    counters_->inc(Ploom::Reader::Counters::slowPaths);
    const std::uint32_t h = hash(key);
    const std::uint32_t bucket = h & (n - 1);
    const std::uint32_t r = Ploom::reverseBits(h);
    const auto end =
        walkChain<Points>(m, bucket, valueOut, [&](SlotLink read, std::uint32_t slotR, std::uint32_t index) {
          ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} comparing slot {} {}", bucket, index, r);
          if (!read.occupied()) ReaderHashMapCommon::throwSlowPathNotOccupied(bucket, &key, sizeof(Key), index);
          if (slotR > r || (slotR == r && (Traits::key(valueOut) <=> key) > 0)) {
            hint = Ploom::IterHint{read.version, index, bucket};
            ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} success {}, saving {}", bucket, index, hint.slot);
            return Step::take;
          }
          checkBucket(m, slotR, r, bucket, valueOut);
          return Step::goOn;
        });
    if (end.step == Step::take) return StepEnd::entry;
    if (end.link.endsCollection()) {
      ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} failed", bucket);
      return StepEnd::end;
    }
    marker = followMarker(m, bucket, end.link.index());
    ORVEL_TRACE(dh_, 9, "ReaderHashMap", "{} next bucket {}", bucket, marker);
    return StepEnd::bucket;
  }

  // What a walk does after a slot: go on past it, take its value (the walk
  // ends there with the whole value in `out`), or stop without it.
  enum class Step { goOn, take, stop };
  // How a walk ended: with the step its last slot asked for, or goOn and
  // the chain's end link when it went past every slot.
  struct WalkEnd {
    Step step;
    SlotLink link;
  };

  // Walks the chain of `bucket` in split order, reading the reversed hash and
  // the key of each slot into `out` inside its seqlock; a slot whose incoming
  // link changed during the read restarts the walk from the bucket (block 2
  // of the header). `visit(read, rhash, index)` sees each consistently read
  // slot and says what comes next. When it takes a slot, the rest of its
  // value is copied under the version its key was read with; a slot whose
  // version changed meanwhile is read whole once more, and the walk starts
  // over unless it still holds the key, occupied (every occupied slot that
  // holds a key holds that key's current value). Always inlined: it is the
  // body of every lookup, and a call here measurably slows them. `Points`:
  // whether it passes the reader points (see lookup()).
  template <bool Points = true, class Visit>
  [[gnu::always_inline]] WalkEnd walkChain(const Mapping& m, std::uint32_t bucket, V& out, Visit&& visit) const {
    while (true) {
      const std::uint8_t* linkAt = m.entry(bucket);
      SlotLink snap = SlotLink::read(linkAt);
      std::uint32_t holder = kBucketEntry;  // the slot holding linkAt
      Key holderKey{};
      std::uint32_t hops = 0;
      bool changed = false;
      while (!snap.endOfChain()) {
        const std::uint32_t index = checkedIndex(m, snap, hops);
        std::uint32_t slotR;
        const SlotLink read = readKey<Points>(m, index, out, slotR);
        if (SlotLink::read(linkAt).version != snap.version && !holderUnchanged(holder, holderKey, snap, index, read)) {
          counters_->inc(Ploom::Reader::Counters::retries);
          changed = true;
          break;
        }
        const Step step = visit(read, slotR, index);
        if (step == Step::stop) return WalkEnd{step, read};
        if (step == Step::take) {
          if (copyValue(m, index, read, out)) return WalkEnd{step, read};
          counters_->inc(Ploom::Reader::Counters::retries);
          changed = true;
          break;
        }
        holder = index;
        holderKey = Traits::key(out);
        linkAt = m.slot(index);
        snap = read;
      }
      if (!changed) return WalkEnd{Step::goOn, snap};
    }
  }

  // Reads slot `index` inside its version seqlock into `out`; returns the
  // {version, link} it read under and records the slot as the last one read.
  template <bool Points = true>
  [[gnu::always_inline]] SlotLink consistentRead(const Mapping& m, std::uint32_t index, V& out,
                                                 std::uint32_t& rhash) const {
    return readLeading<sizeof(V), Points>(m, index, out, rhash, true);
  }

  // The same for the slot's {version, link}, reversed hash and key only (the
  // leading words of its value); the rest of `out` is left as it was.
  template <bool Points = true>
  [[gnu::always_inline]] SlotLink readKey(const Mapping& m, std::uint32_t index, V& out, std::uint32_t& rhash,
                                          bool remember = true) const {
    return readLeading<kKeyBytes, Points>(m, index, out, rhash, remember);
  }

  // The seqlock read of both: the first `Bytes` of the value (from the
  // lookaside image while bit 1 says the value is being rewritten) and the
  // reversed hash, repeated until the version is the same before and after.
  // `index` is in range: every caller checked it against the mapping.
  template <std::uint32_t Bytes, bool Points = true>
  [[gnu::always_inline]] SlotLink readLeading(const Mapping& m, std::uint32_t index, V& out, std::uint32_t& rhash,
                                              bool remember) const {
    const std::uint8_t* slot = m.slot(index);
    while (true) {
      const SlotLink before = SlotLink::read(slot);
      const std::uint8_t* source = slot;
      if (before.writing()) {
        counters_->inc(Ploom::Reader::Counters::rewriteCopies);
        source = m.lookaside();
      }
      Ploom::detail::Words::loadRelaxed(&out, source + Layout::kValueOffset, Bytes);
      rhash = Ploom::detail::Words::load<std::uint32_t, std::memory_order_relaxed>(source + Layout::kRhashOffset);
      std::atomic_thread_fence(std::memory_order_acquire);
      const SlotLink after =
          SlotLink::unpack(Ploom::detail::Words::load<std::uint64_t, std::memory_order_relaxed>(slot));
      if (after.version == before.version) {
        if (remember) {
          *lastRead_ = Ploom::LastSlotRead{before.version, static_cast<std::uint32_t>(slot - m.slots), m.slots};
        }
        if constexpr (Points) PLOOM_READER_POINT(slotRead, index);
        return before;
      }
    }
  }

  static bool sameKey(const Key& a, const Key& b) noexcept {
    if constexpr (requires {
                    { a == b } -> std::convertible_to<bool>;
                  }) {
      return a == b;
    } else {
      return (a <=> b) == 0;
    }
  }

  static constexpr std::uint32_t kKeyBytes = (sizeof(Key) + 3) / 4 * 4;
  static_assert(kKeyBytes <= sizeof(V), "a value starts with its key");

  // Copies the rest of slot `index`'s value (after its key, which readKey
  // read under `head`) into `out`; true when the slot still has head's
  // version, so that key and value are one. Otherwise the slot is read whole
  // once more: true when it still holds the same key, occupied.
  [[gnu::always_inline]] bool copyValue(const Mapping& m, std::uint32_t index, SlotLink head, V& out) const {
    const std::uint8_t* slot = m.slot(index);
    const std::uint8_t* source = head.writing() ? m.lookaside() : slot;
    auto* rest = reinterpret_cast<std::uint8_t*>(&out) + kKeyBytes;
    Ploom::detail::Words::loadRelaxed(rest, source + Layout::kValueOffset + kKeyBytes, sizeof(V) - kKeyBytes);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (Ploom::detail::Words::load<std::uint32_t, std::memory_order_relaxed>(slot) == head.version) [[likely]] {
      return true;
    }
    return readAgainHolding(index, out);
  }
  // The slot changed between the read of its key and the copy of its value:
  // read it whole once more; true when it still holds that key, occupied.
  // Both rare paths take the mapping again (it does not change during an
  // operation) rather than from the walk, which then keeps it in registers.
  [[gnu::noinline]] bool readAgainHolding(std::uint32_t index, V& out) const {
    const Mapping m = mapping();
    counters_->inc(Ploom::Reader::Counters::rereads);
    const Key key = Traits::key(out);
    std::uint32_t rhash;
    const SlotLink again = consistentRead(m, index, out, rhash);
    return again.occupied() && (Traits::key(out) <=> key) == 0;
  }

  static constexpr std::uint32_t kBucketEntry = SlotLink::kNothing;

  // A read of a detached bucket table: nothing found, nothing read.
  bool detached() const {
    ORVEL_TRACE(dh_, 5, "ReaderHashMap", "bucket table detached");
    lastRead_->reset();
    return false;
  }

  // Whether the hop from slot `holder` (whose pair the walk took as `snap`)
  // to slot `index` (read as `read`) still stands although the holder's
  // version changed: the holder, read again, holds the same key, occupied,
  // and leads to the same slot, and that slot is unchanged since it was read.
  // A bucket entry's version changes only with its link: never.
  [[gnu::noinline]] bool holderUnchanged(std::uint32_t holder, Key holderKey, SlotLink snap, std::uint32_t index,
                                         SlotLink read) const {
    if (holder == kBucketEntry) return false;
    const Mapping m = mapping();
    counters_->inc(Ploom::Reader::Counters::rereads);
    V again;
    std::uint32_t rhash;
    const SlotLink now = readKey(m, holder, again, rhash, false);
    return now.occupied() && (now.link & ~SlotLink::kMark) == (snap.link & ~SlotLink::kMark) &&
           (Traits::key(again) <=> holderKey) == 0 && SlotLink::read(m.slot(index)).version == read.version;
  }

  std::uint32_t checkedIndex(const Mapping& m, SlotLink link, std::uint32_t& hops) const {
    const std::uint32_t bound = m.numSlots;
    if (++hops > bound) ReaderHashMapCommon::throwHashChainCycle(hops, bound);
    const std::uint32_t index = link.index();
    if (index >= bound) ReaderHashMapCommon::throwOutOfRangeIndex(index, bound);
    return index;
  }

  // A key read from bucket b's chain belongs there under n, n/2 or 2n
  // buckets; told from its reversed hash as stored beside it.
  [[gnu::always_inline]] bool bucketTolerated(const Mapping& m, std::uint32_t rhash, std::uint32_t bucket) const {
    return Ploom::detail::SplitOrder::homeNear(Ploom::reverseBits(rhash), bucket, m.numBuckets);
  }
  [[gnu::always_inline]] void checkBucket(const Mapping& m, std::uint32_t rhash, std::uint32_t bucket,
                                          const V& read) const {
    if (!bucketTolerated(m, rhash, bucket))
      ReaderHashMapCommon::throwCorruptKey(bucket, &Traits::key(read), sizeof(Key));
  }
  // The same for a slot a walk of bucket = h & (n - 1) passes, r being h
  // reversed. Nearly always the slot lies in that bucket under n itself: the
  // top log2(n) bits of its reversed hash are r's (x * n >> 32 keeps the top
  // log2(n) bits of x), which settles it without reversing its hash back.
  [[gnu::always_inline]] void checkBucket(const Mapping& m, std::uint32_t rhash, std::uint32_t r, std::uint32_t bucket,
                                          const V& read) const {
    if ((std::uint64_t{rhash ^ r} * m.numBuckets) >> 32 != 0) [[unlikely]] {
      checkBucket(m, rhash, bucket, read);
    }
  }

  // The bucket named by `marker`, the end marker of `bucket`'s chain, once
  // checked: it follows `bucket` in split order and lies in range.
  [[gnu::always_inline]] std::uint32_t followMarker(const Mapping& m, std::uint32_t bucket,
                                                    std::uint32_t marker) const {
    if (!Ploom::detail::SplitOrder::successorNear(bucket, marker, m.numBuckets)) {
      ReaderHashMapCommon::throwHasBucket(bucket, marker, m.numBuckets);
    }
    if (marker >= m.numBuckets) buckets_.throwOutOfRange(marker);
    return marker;
  }

  const Orvel::Platform::DebugHandler& dh_;
  const BucketReader& buckets_;
  const Ploom::SlotReaderTable<V>& slots_;
  const std::uint32_t* seed_;
  Ploom::Reader::Counters* counters_;
  Ploom::LastSlotRead* lastRead_;
  mutable V scratch_{};
};

}  // namespace PloomCore
