// PloomCore::WriterHashMap: the writer's view of a collection's bucket file.
//
// The index is a split-ordered list (Shalev and Shavit, "Split-ordered lists:
// lock-free extensible hash tables", 2006): all entries form one chain sorted
// by the bit-reversed hash of their key (then by key), and bucket b points to
// where the entries with h mod numBuckets == b begin. A bucket's chain ends
// with a marker naming the bucket that follows it in split order, so growing
// never moves an entry: it sets new bucket heads and then cuts chains.
//
// Invariants:
//   1. numBuckets is a power of two; bucket of h is h mod numBuckets.
//   2. Each chain is sorted by (reversed hash, key) and holds exactly the
//      entries of its bucket; its end marker names its successor in split
//      order (0x3FFFFFFF after the last bucket, numBuckets - 1).
//   3. Every {version, link} change is one 64-bit store with version + 4, and
//      a link's mark bit (bit 30) belongs to the slot or bucket holding it.
// Store order, each store published with release semantics:
//   link:   the new slot's link and value first, then the predecessor's link
//           (publishes the entry);
//   unlink: the predecessor takes the removed slot's successor; only then
//           the slot is cleared and freed;
//   grow:   heads of buckets n..2n-1 (pass 1, old chains untouched), then the
//           count {generation + 1, 2n}, then the cuts of old chains (pass 2);
//   shrink: chains joined, then {generation + 1, n/2}, then the file cut.
// A reader that uses an old count therefore always finds every entry.
//
// The writer's own reads (look-ups and iteration by the critical-priority
// tasks that a long pass yields to) use the published count, as readers in
// other processes do: while a resize is under way, the bucket file holds more
// entries than are published (grow, pass 1) or chains that are not cut yet
// (grow, pass 2) or already joined (shrink). During a resize keys and end
// markers are therefore accepted for n, n/2 and 2n buckets, as a reader
// accepts them.
//
// The map sees the slot table and a small context (seed, counters, trace
// handle, yield policy, an optional visitor of returned slots), never the
// writer that owns it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "Orvel/Time.h"
#include "PloomCore/BucketWriter.h"
#include "PloomCore/Counters.h"
#include "PloomCore/SharedWords.h"
#include "PloomCore/SlotWriterTable.h"
#include "PloomCore/ValueTraits.h"
#include "PloomCore/WriterHashMapCommon.h"

namespace PloomCore {

// A link in the bucket file or the slot file, kept as an index so that it
// survives a remap of either file.
struct LinkRef {
  bool inBucket;
  std::uint32_t index;
  static constexpr LinkRef bucket(std::uint32_t b) noexcept { return {true, b}; }
  static constexpr LinkRef slot(std::uint32_t s) noexcept { return {false, s}; }
  friend constexpr bool operator==(LinkRef, LinkRef) = default;
};

// Receives every slot that first() and next() return (the validator).
class SlotVisitor {
 public:
  virtual ~SlotVisitor() = default;
  virtual void visit(std::uint32_t slot) = 0;
};

struct HashMapContext {
  const Orvel::Platform::DebugHandler* dh;
  const std::uint32_t* seed;
  Ploom::Writer::Counters* counters;
  // Whether long passes yield to critical-priority tasks.
  std::function<bool()> criticalTaskCheck;
  std::string name;
};

template <Ploom::CollectionValue V>
class WriterHashMap {
 public:
  using Traits = Ploom::ValueTraits<V>;
  using Key = typename Traits::Key;
  using Layout = Ploom::SlotLayout<V>;
  using SlotLink = Ploom::SlotLink;

  WriterHashMap(Ploom::SlotWriterTable<V>& slots, HashMapContext context, const std::string& rootPath,
                bool shrinkBuckets)
      : slots_(slots), context_(std::move(context)), buckets_(rootPath), shrinkBuckets_(shrinkBuckets) {}

  // See BucketWriter::attach.
  Ploom::AttachResult attach(std::uint32_t palvoId) {
    const Ploom::AttachResult result = buckets_.attach(palvoId);
    published_ = buckets_.numBuckets();
    if (Ploom::usable(result)) thresholdsReset();
    return result;
  }
  bool validate(std::uint32_t palvoId, std::string& err) const { return buckets_.validate(palvoId, err); }
  void detach() {
    buckets_.detach();
    published_ = 0;
  }
  void cleanup() {
    buckets_.cleanup();
    published_ = 0;
  }

  std::uint32_t hash(const Key& key) const { return Traits::hash(key, *context_.seed); }
  // The published bucket count: the one every read uses.
  std::uint32_t numBuckets() const noexcept { return published_; }
  std::uint32_t bucketOf(std::uint32_t h) const noexcept { return h & (numBuckets() - 1); }
  std::uint32_t growThreshold() const noexcept { return growThreshold_; }
  std::uint32_t shrinkThreshold() const noexcept { return shrinkThreshold_; }
  bool shrinkBucketsEnabled() const noexcept { return shrinkBuckets_; }
  BucketWriter& bucketWriter() noexcept { return buckets_; }
  const BucketWriter& bucketWriter() const noexcept { return buckets_; }
  void visitorIs(SlotVisitor* visitor) noexcept { visitor_ = visitor; }

  std::uint8_t* at(LinkRef ref) const { return ref.inBucket ? buckets_.entry(ref.index) : slots_[ref.index]; }

  // Walks `bucket` (the caller passes h mod numBuckets and h). True when the
  // key is present: `curr` is its slot and `prev` the link pointing to it.
  // False: `prev` is the link after which a new entry belongs and `curr` the
  // last link looked at.
  bool find(const Key& key, std::uint32_t bucket, LinkRef& prevOut, LinkRef& currOut, std::uint32_t h) const {
    if (bucket >= numBuckets()) buckets_.throwOutOfRange(bucket);
    const std::uint32_t r = Ploom::reverseBits(h);
    LinkRef prev = LinkRef::bucket(bucket);
    LinkRef curr = prev;
    bool found = false;
    std::uint32_t hops = 0;
    for (SlotLink link = SlotLink::read(buckets_.entry(bucket)); !link.endOfChain();) {
      std::uint8_t* slot = occupiedSlot(link, hops);
      const std::uint32_t index = link.index();
      curr = LinkRef::slot(index);
      ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} next curr:{}", context_.name, index);
      const std::uint32_t slotR = Ploom::detail::Words::load<std::uint32_t>(slot + Layout::kRhashOffset);
      const auto order = Traits::key(*valueIn(slot)) <=> key;
      // A slot holding the key itself hashes to h, so its bucket check would
      // pass; every other slot's key is hashed again and checked.
      if (slotR == r && order == 0) {
        found = true;
        break;
      }
      if (!belongs(hash(Traits::key(*valueIn(slot))), bucket)) WriterHashMapCommon::throwCorruptKey(index);
      if (slotR > r) break;
      if (slotR == r && order > 0) break;
      // The slot sorts before the key: walk on.
      prev = curr;
      link = SlotLink::read(slot);
    }
    prevOut = prev;
    currOut = curr;
    if (found) {
      ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} found curr:{} next:{}", context_.name, curr.index,
                  SlotLink::read(at(curr)).link);
    } else {
      ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} not found curr:{} next:{}", context_.name, curr.index,
                  SlotLink::read(at(prev)).link);
    }
    return found;
  }

  // The stored value of `key`, or null.
  const V* lookup(const Key& key, bool& found) const {
    const std::uint32_t h = hash(key);
    const std::uint32_t bucket = bucketOf(h);
    LinkRef prev, curr;
    found = find(key, bucket, prev, curr, h);
    if (!found) {
      ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} not found bucket:{}", context_.name, bucket);
      return nullptr;
    }
    ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} found bucket:{} slotId:{}", context_.name, bucket, curr.index);
    return valueAt(curr.index);
  }

  // The first entry at or after `bucket` in split order.
  bool first(std::uint32_t bucket, V& valueOut, Ploom::IterHint& hint) const {
    if (bucket >= numBuckets()) buckets_.throwOutOfRange(bucket);
    Checked slot;
    if (!firstSlotFrom(bucket, slot, bucket)) {
      ORVEL_TRACE(dh(), 8, "WriterHashMap", "none found!");
      return false;
    }
    ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} found at bucket {}", context_.name, bucket);
    deliver(slot, bucket, valueOut, hint);
    return true;
  }

  // The entry after `key` in split order.
  bool next(const Key& key, V& valueOut, Ploom::IterHint& hint) const {
    // The hinted slot must be untouched and still hold `key`: versions restart
    // when slots are initialised again after a shrink and regrow.
    if (hint.slot < slots_.numSlots() && hint.bucket < numBuckets() &&
        SlotLink::read(slots_[hint.slot]).version == hint.version &&
        (Traits::key(*valueIn(slots_[hint.slot])) <=> key) == 0) {
      std::optional<bool> found;
      Checked slot{};
      std::uint32_t bucket = 0;
      try {
        found = afterSlot(hint.slot, hint.bucket, slot, bucket);
        ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} next slotId {} success {}", context_.name, slot.index, *found);
      } catch (const std::exception& e) {
        ORVEL_TRACE(dh(), 5, "WriterHashMap",
                    "saw exception in fast path: {}. This might be okay, dropping to slow path to find out", e.what());
      }
      if (found) {
        if (!*found) return false;
        // Outside the fast path's catch: what the visitor finds is reported, not retried.
        deliver(slot, bucket, valueOut, hint);
        return true;
      }
    }
    // Slow path: find the position after `key` in its own bucket.
    const std::uint32_t h = hash(key);
    const std::uint32_t r = Ploom::reverseBits(h);
    const std::uint32_t bucket = bucketOf(h);
    std::uint32_t hops = 0;
    for (SlotLink link = SlotLink::read(buckets_.entry(bucket)); !link.endOfChain();) {
      const Checked checked = checkedSlot(link, bucket, hops);
      ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} comparing slot {} {}", context_.name, checked.index, bucket);
      const std::uint32_t slotR = Ploom::detail::Words::load<std::uint32_t>(checked.slot + Layout::kRhashOffset);
      if (slotR > r || (slotR == r && (Traits::key(*valueIn(checked.slot)) <=> key) > 0)) {
        deliver(checked, bucket, valueOut, hint);
        ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} success {} using {}, saving new slot hint {}", context_.name, true,
                    bucket, checked.index);
        return true;
      }
      link = SlotLink::read(checked.slot);
    }
    Checked slot;
    std::uint32_t nextBucket;
    if (!followEnd(bucket, slot, nextBucket)) return false;
    ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} next bucket {}", context_.name, nextBucket);
    deliver(slot, nextBucket, valueOut, hint);
    return true;
  }

  // Links the slot `slot` (value and reversed hash already written, not yet
  // occupied) after `prev`: the slot takes prev's successor, its value is
  // published by `writeValue`, then prev points at it.
  template <class WriteValue>
  void link(LinkRef prev, std::uint32_t slot, WriteValue&& writeValue) {
    SlotLink::relink(slots_[slot], SlotLink::read(at(prev)).link);
    writeValue(slot);
    // Publishes the entry: its link and value are complete.
    SlotLink::relink(at(prev), slot);
  }

  // Unlinks `slot` from after `prev` (the slot stays occupied for the caller to clear).
  void unlink(LinkRef prev, std::uint32_t slot) { SlotLink::relink(at(prev), SlotLink::read(slots_[slot]).link); }

  void growBuckets() {
    const std::uint32_t n = numBuckets();
    ORVEL_TRACE(dh(), 2, "WriterHashMap", "growing from: {} to: {}", n, 2 * n);
    const double start = Orvel::time();
    const Resizing resizing(*this);
    buckets_.resize(2 * n);
    Yield yield(*this);
    // Pass 1: heads of the new buckets; old chains stay whole.
    for (std::uint32_t b = 0; b < n; ++b) {
      LinkRef link = LinkRef::bucket(b);
      std::uint32_t hops = 0;
      for (SlotLink l = SlotLink::read(at(link)); !l.endOfChain(); l = SlotLink::read(at(link))) {
        const std::uint32_t index = checkedSlot(l, b, hops, n).index;
        if ((hash(keyOf(index)) & (2 * n - 1)) != b) break;
        link = LinkRef::slot(index);
      }
      // Either the first slot of b + n or b's end marker (its old successor).
      SlotLink::relink(buckets_.entry(b + n), SlotLink::read(at(link)).link);
      yield.check();
    }
    // Publishes the doubled count; every new head is set.
    publishCount(2 * n);
    // Pass 2: cut each old chain where bucket b + n begins.
    for (std::uint32_t b = 0; b < n; ++b) {
      LinkRef link = LinkRef::bucket(b);
      std::uint32_t hops = 0;
      for (SlotLink l = SlotLink::read(at(link)); !l.endOfChain(); l = SlotLink::read(at(link))) {
        const std::uint32_t index = checkedSlot(l, b, hops, 2 * n, true).index;
        if ((hash(keyOf(index)) & (2 * n - 1)) != b) break;
        link = LinkRef::slot(index);
      }
      SlotLink::relink(at(link), SlotLink::kEndOfChain | (b + n));
      yield.check();
    }
    const double took = Orvel::time() - start;
    context_.counters->lastBucketResizeTime = took;
    if (took > context_.counters->maxBucketGrowTime) context_.counters->maxBucketGrowTime = took;
    thresholdsReset();
  }

  void shrinkBuckets() {
    const std::uint32_t n = numBuckets();
    const std::uint32_t half = n / 2;
    const double start = Orvel::time();
    const Resizing resizing(*this);
    Yield yield(*this);
    // Join each chain b + n/2 onto the end of chain b.
    for (std::uint32_t b = 0; b < half; ++b) {
      LinkRef last = LinkRef::bucket(b);
      std::uint32_t hops = 0;
      for (SlotLink l = SlotLink::read(at(last)); !l.endOfChain(); l = SlotLink::read(at(last))) {
        last = LinkRef::slot(checkedSlot(l, b, hops).index);
      }
      SlotLink::relink(at(last), SlotLink::read(buckets_.entry(b + half)).link);
      yield.check();
    }
    // Publishes the halved count; the joined chains already hold every entry.
    publishCount(half);
    buckets_.resize(half);
    const double took = Orvel::time() - start;
    context_.counters->lastBucketResizeTime = took;
    if (took > context_.counters->maxBucketShrinkTime) context_.counters->maxBucketShrinkTime = took;
    ORVEL_TRACE(dh(), 2, "WriterHashMap", "shrunk from:{} to:{} shrinkBuckets_:{} time:{}", n, half, shrinkBuckets_,
                took);
    thresholdsReset();
  }

  // The key of the occupied slot `index`.
  Key keyOf(std::uint32_t index) const { return Traits::key(*valueAt(index)); }
  const V* valueAt(std::uint32_t index) const {
    return reinterpret_cast<const V*>(slots_[index] + Layout::kValueOffset);
  }

  // Walks every bucket's chain in split order, calling fn(slot, bucket).
  // Used by compaction and the tests; does not check keys.
  template <class Fn>
  void forEachSlot(Fn&& fn) const {
    Checked slot;
    std::uint32_t bucket;
    if (!firstSlotFrom(0, slot, bucket)) return;
    do {
      fn(slot.index, bucket);
    } while (afterSlot(slot.index, bucket, slot, bucket));
  }

  // Yields to critical-priority tasks every 10 ms of a long pass when the
  // collection asks for it.
  class Yield {
   public:
    explicit Yield(const WriterHashMap& map)
        : enabled_(map.context_.criticalTaskCheck && map.context_.criticalTaskCheck()) {
      if (enabled_) rearm();
    }
    void check() {
      if (!enabled_ || Orvel::Rdtsc::now() < deadline_) return;
      Orvel::schedulerRootOrvel()->runCriticalPriorityTasks();
      rearm();
    }

   private:
    void rearm() {
      deadline_ = Orvel::Rdtsc::now() + static_cast<std::uint64_t>(0.01 * Orvel::Rdtsc::calibrationRate());
    }
    bool enabled_;
    std::uint64_t deadline_ = 0;
  };

 private:
  const Orvel::Platform::DebugHandler& dh() const { return *context_.dh; }

  void thresholdsReset() {
    growThreshold_ = numBuckets();
    shrinkThreshold_ = numBuckets() >> 2;
  }

  void publishCount(std::uint32_t count) {
    SlotLink::countIs(buckets_.base() + BucketWriter::kCountPairOffset, count);
    published_ = count;
  }

  // Marks a bucket resize under way for as long as it lives.
  class Resizing {
   public:
    explicit Resizing(WriterHashMap& map) : map_(map) { map_.resizing_ = true; }
    ~Resizing() { map_.resizing_ = false; }
    Resizing(const Resizing&) = delete;
    Resizing& operator=(const Resizing&) = delete;

   private:
    WriterHashMap& map_;
  };

  // Whether a key hashing to `h` belongs in the chain of `bucket`: under the
  // published count, and during a resize also under half or twice it.
  bool belongs(std::uint32_t h, std::uint32_t bucket) const {
    const std::uint32_t n = numBuckets();
    return resizing_ ? Ploom::detail::SplitOrder::homeNear(h, bucket, n) : (h & (n - 1)) == bucket;
  }
  // Whether `marker` may end the chain of `bucket` (see belongs()).
  bool followsInSplitOrder(std::uint32_t bucket, std::uint32_t marker) const {
    if (resizing_) return Ploom::detail::SplitOrder::successorNear(bucket, marker, numBuckets());
    return marker == Ploom::detail::SplitOrder::successor(bucket, static_cast<unsigned>(__builtin_ctz(numBuckets())));
  }

  // A slot a chain led to, checked: its index, address and key hash.
  struct Checked {
    std::uint32_t index;
    std::uint8_t* slot;
    std::uint32_t h;
  };

  // Checks the slot a chain link of `bucket` leads to: hop count, index
  // range, occupied, and that its key hashes into the bucket (under
  // `buckets` buckets, numBuckets() by default; while a grow splits bucket b
  // under 2n buckets, b + n is admitted too via `splitting`).
  Checked checkedSlot(SlotLink link, std::uint32_t bucket, std::uint32_t& hops, std::uint32_t buckets = 0,
                      bool splitting = false) const {
    std::uint8_t* slot = occupiedSlot(link, hops);
    const std::uint32_t index = link.index();
    const std::uint32_t h = hash(Traits::key(*valueIn(slot)));
    if (buckets == 0) {
      if (!belongs(h, bucket)) WriterHashMapCommon::throwCorruptKey(index);
      return Checked{index, slot, h};
    }
    const std::uint32_t mask = buckets - 1;
    const std::uint32_t home = h & mask;
    if (home != bucket && !(splitting && home == bucket + (mask + 1) / 2)) {
      if ((home & ((mask + 1) / 2 - 1)) != bucket) WriterHashMapCommon::throwCorruptKey(index);
    }
    return Checked{index, slot, h};
  }

  // The first checks of every hop: hop count, index range, occupied.
  std::uint8_t* occupiedSlot(SlotLink link, std::uint32_t& hops) const {
    if (++hops > slots_.numSlots()) WriterHashMapCommon::throwHashChainCycle(hops, slots_.numSlots());
    const std::uint32_t index = link.index();
    std::uint8_t* slot = slots_[index];  // range-checked
    if (!SlotLink::read(slot).occupied()) WriterHashMapCommon::throwNotOccupied(index);
    return slot;
  }

  static const V* valueIn(const std::uint8_t* slot) noexcept {
    return reinterpret_cast<const V*>(slot + Layout::kValueOffset);
  }

  // From the end marker of `bucket`, the first slot of the next non-empty bucket.
  bool followEnd(std::uint32_t bucket, Checked& slot, std::uint32_t& slotBucket) const {
    LinkRef at0 = LinkRef::bucket(bucket);
    std::uint32_t hops = 0;
    for (SlotLink l = SlotLink::read(at(at0)); !l.endOfChain(); l = SlotLink::read(at(at0))) {
      at0 = LinkRef::slot(checkedSlot(l, bucket, hops).index);
    }
    const std::uint32_t marker = SlotLink::read(at(at0)).index();
    return nextNonEmpty(bucket, marker, slot, slotBucket);
  }

  // Checks that `marker` (the end marker of `bucket`) names its successor and
  // finds the first slot from there on.
  bool nextNonEmpty(std::uint32_t bucket, std::uint32_t marker, Checked& slot, std::uint32_t& slotBucket) const {
    std::uint32_t hops = 0;
    while (true) {
      if (!followsInSplitOrder(bucket, marker)) {
        if (marker == SlotLink::kNoBucket) WriterHashMapCommon::throwReachedEnd(bucket, numBuckets());
        WriterHashMapCommon::throwHasBucket(bucket, marker, numBuckets());
      }
      if (marker == SlotLink::kNoBucket) return false;
      if (++hops > numBuckets()) WriterHashMapCommon::throwHashBucketCycle(hops, numBuckets());
      bucket = marker;
      if (headSlot(bucket, slot, slotBucket, marker)) return true;
    }
  }

  // The first slot of `bucket` when it has one; otherwise false, with the
  // bucket's end marker in `marker`.
  bool headSlot(std::uint32_t bucket, Checked& slot, std::uint32_t& slotBucket, std::uint32_t& marker) const {
    const SlotLink head = SlotLink::read(buckets_.entry(bucket));
    if (head.endOfChain()) {
      marker = head.index();
      return false;
    }
    std::uint32_t hops = 0;
    slot = checkedSlot(head, bucket, hops);
    slotBucket = bucket;
    return true;
  }

  bool firstSlotFrom(std::uint32_t bucket, Checked& slot, std::uint32_t& slotBucket) const {
    std::uint32_t marker = 0;
    if (headSlot(bucket, slot, slotBucket, marker)) return true;
    return nextNonEmpty(bucket, marker, slot, slotBucket);
  }

  // The slot after `slot` (of `bucket`) in split order.
  bool afterSlot(std::uint32_t from, std::uint32_t bucket, Checked& slot, std::uint32_t& slotBucket) const {
    const SlotLink link = SlotLink::read(slots_[from]);
    if (!link.endOfChain()) {
      std::uint32_t hops = 0;
      slot = checkedSlot(link, bucket, hops);
      slotBucket = bucket;
      return true;
    }
    ORVEL_TRACE(dh(), 9, "WriterHashMap", "{} next bucket {} using {}", context_.name, link.index(), from);
    return nextNonEmpty(bucket, link.index(), slot, slotBucket);
  }

  // Hands a slot out of first()/next(): visitor, reversed-hash check, copy, hint.
  void deliver(const Checked& slot, std::uint32_t bucket, V& valueOut, Ploom::IterHint& hint) const {
    if (visitor_) visitor_->visit(slot.index);
    const std::uint32_t stored = Ploom::detail::Words::load<std::uint32_t>(slot.slot + Layout::kRhashOffset);
    const std::uint32_t computed = Ploom::reverseBits(slot.h);
    if (stored != computed) WriterHashMapCommon::throwCorruptRhash(slot.index, stored, computed);
    valueOut = *valueIn(slot.slot);
    hint = Ploom::IterHint{SlotLink::read(slot.slot).version, slot.index, bucket};
  }

  Ploom::SlotWriterTable<V>& slots_;
  HashMapContext context_;
  BucketWriter buckets_;
  bool shrinkBuckets_;
  std::uint32_t published_ = 0;
  bool resizing_ = false;
  std::uint32_t growThreshold_ = 0;
  std::uint32_t shrinkThreshold_ = 0;
  SlotVisitor* visitor_ = nullptr;
};

}  // namespace PloomCore
