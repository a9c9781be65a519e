// Ploom::PloomWriter: the one process that owns and modifies a collection.
//
// It performs every modification: write, remove, the two-step direct write,
// mark-and-sweep flags and slot compaction. Its hold on the files (attach,
// validation, re-format, detach, removal) is Ploom::WriterAttachment's.
//
// Crash safety: every modification runs inside a critical section
// (Ploom::CriticalSection), marked by bit 0 of the slot header's runtime
// flags, set before the first store and cleared after the last. A writer that
// dies inside one leaves the bit set; the next writer's validation fails on
// it and re-formats the collection. A writer that dies outside one leaves a
// valid collection. Table-full and resource errors leave the critical section
// closed; other errors (structural corruption) leave it open, so the
// collection is re-formatted next time.
//
// Value-write protocol: the old value and reversed hash go to the header's
// lookaside image, then Ploom::detail::rewriteValue (SharedWords.h) stores the new
// value inside the slot's version seqlock. A reader that sees the slot being
// rewritten, or a version that changed while it copied, retries or takes the
// lookaside image.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>

#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "Ploom/WriterAttachment.h"
#include "PloomCore/CriticalSection.h"

namespace Ploom {

template <CollectionValue V>
class PloomWriter final : public WriterAttachment<V> {
  using Base = WriterAttachment<V>;
  using Base::counters_;
  using Base::descriptor_;
  using Base::dh_;
  using Base::initialized_;
  using Base::map_;
  using Base::name_;
  using Base::ownerWritten_;
  using Base::rootPath_;
  using Base::slots_;

 public:
  using Key = typename Base::Key;
  using Traits = typename Base::Traits;
  using Layout = typename Base::Layout;
  using Base::Base;
  using Base::members;

  ~PloomWriter() override {
    if (initialized_) detach(false);
  }

  // A modification while a direct write is pending is a bug: the process ends.
  // `subject` describes what was being modified; it runs only on failure.
  template <class Describe>
  void assertNoPendingDirect(const char* action, Describe subject) const {
    PLOOM_ASSERT(directSlot_ == SlotLink::kNothing,
                 "unbalanced directSlot:{} containing value:{} when {}:{} - Make sure the DirectIs/Commit are "
                 "properly paired!",
                 directSlot_, describeSlot(directSlot_), action, subject());
  }

  // Inserts `value` or, when its key exists and `overwrite` is set, replaces
  // the stored value in place. Returns the stored value.
  const V* write(const V& value, bool overwrite) override {
    const Key& key = Traits::key(value);
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("writing value", [&] { return describe(value); });
    CriticalSection section(slots_, name_);
    const std::uint32_t target = section.guard([&] {
      std::uint32_t slot;
      PloomCore::LinkRef prev, curr;
      if (!map_.find(key, bucket, prev, curr, h)) {
        slot = slots_.alloc(reverseBits(h));
        map_.link(prev, slot, [&](std::uint32_t s) { writeValue(s, value); });
        ORVEL_TRACE(dh_, 9, "PloomWriter", "new {} bucket:{} slot:{} next:{}", describe(value), bucket, slot,
                    SlotLink::read(slots_[slot]).link);
        if (members() > map_.growThreshold()) map_.growBuckets();
      } else {
        slot = curr.index;
        ORVEL_TRACE(dh_, 9, "PloomWriter", "existing {} bucket:{} slot:{} next:{}", describe(value), bucket, slot,
                    SlotLink::read(slots_[slot]).link);
        if (overwrite) writeValue(slot, value);
      }
      return slot;
    });
    section.commit();
    return map_.valueAt(target);
  }

  // Removes `key`, copying its value out. False (nothing changed) when absent.
  bool remove(const Key& key, V& valueOut) override {
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("removing key", [&] { return describeKey(key); });
    PloomCore::LinkRef prev, curr;
    if (!map_.find(key, bucket, prev, curr, h)) {
      ORVEL_TRACE(dh_, 9, "PloomWriter", "{} bucket:{} not found", describeKey(key), bucket);
      return false;
    }
    CriticalSection section(slots_, name_);
    section.guard([&] {
      const std::uint32_t s = curr.index;
      valueOut = *map_.valueAt(s);
      map_.unlink(prev, s);
      SlotLink::freeSlot(slots_[s]);
      slots_.pushFree(s);
      ORVEL_TRACE(dh_, 9, "PloomWriter", "{} bucket:{} slot:{}", describeKey(key), bucket, s);
      if (slots_.occupied() < slots_.shrinkThreshold() / 2) doMaybeShrinkSlots(slots_.shrinkThreshold());
      if (map_.shrinkBucketsEnabled() && members() < map_.shrinkThreshold()) map_.shrinkBuckets();
    });
    section.commit();
    return true;
  }

  // First step of a two-step write: the value is placed (in a new unlinked
  // slot, or in the lookaside image for an existing key) and the critical
  // section stays entered until directCommit().
  void directWrite(const V& value) override {
    const Key& key = Traits::key(value);
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("modifying key", [&] { return describeKey(key); });
    // The section stays entered until directCommit() adopts it.
    CriticalSection section(slots_, name_);
    PloomCore::LinkRef prev, curr;
    const bool found = map_.find(key, bucket, prev, curr, h);
    const std::uint32_t s = section.guard([&] {
      if (!found) {
        const std::uint32_t slot = slots_.alloc(reverseBits(h));
        detail::Words::storeRelaxed(slots_[slot] + Layout::kValueOffset, &value, sizeof(V));
        return slot;
      }
      std::atomic_thread_fence(std::memory_order_release);  // as in writeValue
      detail::Words::storeRelaxed(slots_.lookaside() + Layout::kValueOffset, &value, sizeof(V));
      return curr.index;
    });
    directNew_ = !found;
    directPrev_ = prev;
    directSlot_ = s;
    ++counters_.directWrites;
    ORVEL_TRACE(dh_, 9, "PloomWriter", "{}{} bucket:{} slot:{} next:{}", found ? "existing " : "new ", describe(value),
                bucket, s, SlotLink::read(slots_[s]).link);
  }

  void directCommit() override {
    ORVEL_TRACE(dh_, 9, "PloomWriter", "slot: {}", directSlot_);
    PLOOM_ASSERT(directSlot_ != SlotLink::kNothing,
                 "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    // The section directWrite() entered.
    auto section = CriticalSection<SlotWriterTable<V>>::adopt(slots_);
    const std::uint32_t s = directSlot_;
    std::uint8_t* slot = slots_[s];
    if (directNew_) {
      SlotLink::publishLinked(slot, SlotLink::read(map_.at(directPrev_)).link);
      // Publishes the new entry: its link and value are complete.
      SlotLink::relink(map_.at(directPrev_), s);
    } else {
      // The new value waits in the lookaside image, which readers take while
      // the slot is rewritten from it.
      std::uint8_t* lookaside = slots_.lookaside();
      detail::Words::copyRelaxed(lookaside + Layout::kRhashOffset, slot + Layout::kRhashOffset, 4);
      detail::rewriteValue(slot, [&] {
        detail::Words::copyRelaxed(slot + Layout::kValueOffset, lookaside + Layout::kValueOffset, sizeof(V));
      });
    }
    directSlot_ = SlotLink::kNothing;
    ++counters_.directCommits;
    section.guard([&] {
      if (directNew_ && members() > map_.growThreshold()) map_.growBuckets();
    });
    directNew_ = false;
    section.commit();
  }

  const V* lookup(const Key& key, bool& found, void* /*buffer*/) const override { return map_.lookup(key, found); }
  bool first(V& valueOut, IterHint& hint) const override { return map_.first(0, valueOut, hint); }
  bool next(const Key& key, V& valueOut, IterHint& hint) const override { return map_.next(key, valueOut, hint); }

  // Reads (op read), sets (op set) or clears (any other op) the mark of `key`'s slot.
  bool markAndSweepFlag(const Key& key, MarkAndSweepOperation op) override {
    const std::uint32_t h = map_.hash(key);
    PloomCore::LinkRef prev, curr;
    if (!map_.find(key, map_.bucketOf(h), prev, curr, h)) return false;
    std::uint8_t* slot = slots_[curr.index];
    const SlotLink link = SlotLink::read(slot);
    if (op == MarkAndSweepOperation::read) return link.marked();
    SlotLink::markIs(slot, op == MarkAndSweepOperation::set);
    return true;
  }

  // Compacts the slot file when few slots are used.
  void shrink() {
    const std::uint32_t threshold = slots_.occupied() < slots_.shrinkThreshold() / 2 ? slots_.shrinkThreshold() : 0;
    if (threshold == 0) return;
    CriticalSection section(slots_, name_);
    doMaybeShrinkSlots(threshold);
    section.commit();
  }

  // Moves every entry above the target size into a free slot below it and
  // cuts the file there. Runs inside the caller's critical section.
  void doMaybeShrinkSlots(std::uint32_t threshold) {
    if (threshold == 0) return;
    const std::uint32_t occupied = slots_.occupied();
    std::uint32_t target = occupied == 0 ? 0 : std::uint32_t{1} << (std::bit_width(occupied) - 1 + 2);
    target = std::max(target, slots_.minSlots());
    ORVEL_TRACE(dh_, 5, "PloomWriter", "threshold:{} shrinkThreshold:{}{}", target, threshold,
                target < threshold ? " SUPER SHRINK!" : "");
    if (target >= slots_.numSlots()) return;
    slots_.purgeFreeSlots(target);
    typename PloomCore::WriterHashMap<V>::Yield yield(map_);
    for (std::uint32_t from = slots_.numSlots(); from-- > target;) {
      const SlotLink link = SlotLink::read(slots_[from]);
      if (!link.occupied()) {
        ORVEL_TRACE(dh_, 9, "PloomWriter", "skipping not occupied slot:{}", from);
        continue;
      }
      const Key key = map_.keyOf(from);
      const std::uint32_t h = map_.hash(key);
      PloomCore::LinkRef prev, curr;
      PLOOM_ASSERT(map_.find(key, map_.bucketOf(h), prev, curr, h), "fromSlot:{} key not found", from);
      PLOOM_ASSERT(!(curr == prev), "fromSlot:{} not referenced", from);
      const std::uint32_t to = slots_.move(from);
      ORVEL_TRACE(dh_, 9, "PloomWriter", "moving fromSlot:{} toSlot:{}", from, to);
      // Readers now reach the entry at its new place.
      SlotLink::relink(map_.at(prev), to);
      SlotLink::freeSlot(slots_[from]);
      yield.check();
    }
    slots_.shrink(target);
  }

  void detach(bool /*force*/) override {
    ORVEL_TRACE(dh_, 5, "PloomWriter", "owner:{} localMem_:{} rootPath:{}", ownerWritten_, descriptor_.local,
                rootPath_.path());
    PLOOM_ASSERT(!(directSlot_ != SlotLink::kNothing && directNew_),
                 "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are properly paired!",
                 directSlot_, describeSlot(directSlot_));
    Base::detachFiles();
  }

 private:
  void writeValue(std::uint32_t s, const V& value) {
    std::uint8_t* slot = slots_[s];
    const SlotLink old = SlotLink::read(slot);
    if (old.occupied()) {
      // Orders every earlier store (the last rewrite's final version above
      // all) before the lookaside stores: a reader that sees new lookaside
      // words then sees that version too, and retries.
      std::atomic_thread_fence(std::memory_order_release);
      std::uint8_t* lookaside = slots_.lookaside();
      detail::Words::copyRelaxed(lookaside + Layout::kValueOffset, slot + Layout::kValueOffset, sizeof(V));
      detail::Words::copyRelaxed(lookaside + Layout::kRhashOffset, slot + Layout::kRhashOffset, 4);
    }
    detail::rewriteValue(slot, [&] { detail::Words::storeRelaxed(slot + Layout::kValueOffset, &value, sizeof(V)); });
  }

  std::string describe(const V& value) const;
  std::string describeKey(const Key& key) const;
  std::string describeSlot(std::uint32_t slot) const {
    if (slot == SlotLink::kNothing || slot >= slots_.numSlots()) return "none";
    return describe(*map_.valueAt(slot));
  }

  std::uint32_t directSlot_ = SlotLink::kNothing;
  PloomCore::LinkRef directPrev_{true, 0};
  bool directNew_ = false;
};

// Values and keys print through their string form when they have one.
template <CollectionValue V>
std::string PloomWriter<V>::describe(const V& value) const {
  if constexpr (requires { value.strep(); }) {
    return value.strep();
  } else {
    return describeKey(Traits::key(value));
  }
}

template <CollectionValue V>
std::string PloomWriter<V>::describeKey(const Key& key) const {
  if constexpr (requires { key.strep(); }) {
    return key.strep();
  } else {
    return "<key>";
  }
}

}  // namespace Ploom
