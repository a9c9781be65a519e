// Ploom::ShadowHashMap: the local index of a collection's local shadow.
//
// One record per shared slot index (ShadowRecord: next, previous, reversed
// hash, key). Indexed records hang in chains off a bucket array; a record's
// bucket is the top log2(numBuckets) bits of its reversed hash, so walking the
// buckets in order and each chain in order visits keys by (reversed hash,
// key), the collection's split order. A chain's `previous` links let a record
// be unlinked in place: previous is a local slot index, or -2 - b for the
// head of bucket b, or -1 (kNoPrevious) when the record is not indexed.
//
// The bucket array doubles when the indexed records exceed numBuckets <<
// bucketFactor and halves (never below 2 buckets) when they fall to a quarter
// of that. An occupancy histogram (one counter per bit length of the slot
// index) gives the largest occupied slot index cheaply, for shrinking the
// local store. Index updates, relinks and the bucket array's resizes are
// counted in the reader's counter block. Everything here is process-local and
// single-threaded.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Orvel/DebugHandler.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "PloomCore/ReaderCounters.h"
#include "PloomCore/SharedWords.h"

namespace Ploom {

template <class Key>
struct ShadowRecord {
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  static constexpr std::int32_t kNoPrevious = -1;

  std::uint32_t next = kNone;
  std::int32_t previous = kNoPrevious;
  std::uint32_t rhash = 0;
  Key key{};

  bool indexed() const noexcept { return previous != kNoPrevious; }
  static constexpr std::int32_t headOf(std::uint32_t bucket) noexcept { return -2 - static_cast<std::int32_t>(bucket); }
};

// Counts of occupied slot indices by bit length, for the largest one.
class SlotCounters {
 public:
  void add(std::uint32_t slot) noexcept {
    const unsigned length = bitLength(slot);
    if (counts_[length]++ == 0) mask_ |= std::uint64_t{1} << length;
  }
  void remove(std::uint32_t slot) noexcept {
    const unsigned length = bitLength(slot);
    if (--counts_[length] == 0) mask_ &= ~(std::uint64_t{1} << length);
  }
  // A slot count that holds every occupied index: 2^(largest bit length), 0 when none.
  std::uint32_t largestOccupied() const noexcept {
    if (mask_ == 0) return 0;
    const unsigned length = 63 - static_cast<unsigned>(std::countl_zero(mask_));
    return length >= 32 ? 0xFFFFFFFFu : std::uint32_t{1} << length;
  }

 private:
  static unsigned bitLength(std::uint32_t slot) noexcept { return static_cast<unsigned>(std::bit_width(slot)); }
  std::array<std::uint32_t, 33> counts_{};
  std::uint64_t mask_ = 0;
};

template <class Key, class Hash>
class ShadowHashMap {
 public:
  using Record = ShadowRecord<Key>;
  static constexpr std::uint32_t kNone = Record::kNone;

  // `name` names the collection in errors; the memory kind of the local
  // arrays is the heap.
  ShadowHashMap(const Orvel::Platform::DebugHandler& dh, std::string name, Hash hash, std::vector<Record>& records,
                Reader::Counters& counters, std::uint32_t bucketFactor = 1)
      : dh_(dh),
        name_(std::move(name)),
        hash_(std::move(hash)),
        records_(records),
        counters_(counters),
        bucketFactor_(bucketFactor) {}

  static constexpr const char* kMemoryKind = "HEAP";

  void reset() {
    buckets_.assign(2, kNone);
    bits_ = 1;
    occupied_ = 0;
    slotCounters_ = SlotCounters();
  }

  // Indexes record `slot` under its key. True when the index changed.
  bool write(std::uint32_t slot, bool newFlag) {
    Record& record = records_[slot];
    record.rhash = reverseBits(hash_(record.key));
    counters_.inc(Reader::Counters::indexUpdates);
    ORVEL_TRACE(dh_, 8, "ShadowHashMap", "slotIndex:{} key:{}", slot, record.rhash);
    const std::uint32_t bucket = bucketOf(record.rhash);
    std::uint32_t at = buckets_[bucket];
    if (at == kNone) {
      record.next = kNone;
      record.previous = Record::headOf(bucket);
      buckets_[bucket] = slot;
      ORVEL_TRACE(dh_, 8, "ShadowHashMap", "value inserted in fresh bucket");
      return inserted(slot);
    }
    std::uint32_t before = kNone;  // the record before `at`, kNone for the bucket head
    while (at != kNone) {
      Record& current = records_[at];
      if (at == slot) {
        ORVEL_TRACE(dh_, 8, "ShadowHashMap", "no index update needed");
        return newFlag;
      }
      if (current.rhash == record.rhash && current.key == record.key) {
        // The key moved to another shared slot: the new record takes its place.
        record.next = current.next;
        record.previous = current.previous;
        pointAt(current.previous, bucket, slot);
        if (current.next != kNone) records_[current.next].previous = static_cast<std::int32_t>(slot);
        current = Record();
        slotCounters_.remove(at);
        slotCounters_.add(slot);
        counters_.inc(Reader::Counters::relinks);
        ORVEL_TRACE(dh_, 8, "ShadowHashMap", "value updated");
        return true;
      }
      if (sortsBefore(record, current)) {
        record.next = at;
        record.previous = current.previous;
        pointAt(current.previous, bucket, slot);
        current.previous = static_cast<std::int32_t>(slot);
        ORVEL_TRACE(dh_, 8, "ShadowHashMap", "value inserted");
        return inserted(slot);
      }
      before = at;
      at = current.next;
    }
    records_[before].next = slot;
    record.next = kNone;
    record.previous = static_cast<std::int32_t>(before);
    ORVEL_TRACE(dh_, 8, "ShadowHashMap", "add slot to end of chain");
    return inserted(slot);
  }

  // Unlinks record `slot`; false when it was not indexed.
  bool remove(std::uint32_t slot) {
    Record& record = records_[slot];
    if (!record.indexed()) {
      ORVEL_TRACE(dh_, 9, "ShadowHashMap", "dead slot {}", slot);
      return false;
    }
    ORVEL_TRACE(dh_, 8, "ShadowHashMap", "slot:{} prev->next:{} next:{} occupied:{} key:{}", slot, record.previous,
                record.next, occupied_, record.rhash);
    pointAt(record.previous, bucketOf(record.rhash), record.next);
    if (record.next != kNone) records_[record.next].previous = record.previous;
    record.next = kNone;
    record.previous = Record::kNoPrevious;
    slotCounters_.remove(slot);
    --occupied_;
    if (occupied_ <= (numBuckets() << bucketFactor_) / 4 && bits_ > 1) shrink();
    return true;
  }

  // The local slot indexing `key`, or kNone.
  std::uint32_t find(const Key& key) const {
    const std::uint32_t r = reverseBits(hash_(key));
    for (std::uint32_t at = buckets_[bucketOf(r)]; at != kNone; at = records_[at].next) {
      const Record& current = records_[at];
      if (current.rhash == r && current.key == key) return at;
      if (current.rhash > r) break;
    }
    return kNone;
  }

  // The first indexed record in split order at or after bucket `from`.
  std::uint32_t firstFrom(std::uint32_t from) const {
    for (std::uint32_t b = from; b < buckets_.size(); ++b) {
      if (buckets_[b] != kNone) return buckets_[b];
    }
    return kNone;
  }
  // The record after `slot` in split order.
  std::uint32_t next(std::uint32_t slot) const {
    const Record& record = records_[slot];
    if (record.next != kNone) return record.next;
    return firstFrom(bucketOf(record.rhash) + 1);
  }
  // The first record that sorts after `key` (for iteration from a key).
  std::uint32_t after(const Key& key) const {
    const std::uint32_t r = reverseBits(hash_(key));
    const Record probe{kNone, Record::kNoPrevious, r, key};
    const std::uint32_t bucket = bucketOf(r);
    for (std::uint32_t at = buckets_[bucket]; at != kNone; at = records_[at].next) {
      if (sortsBefore(probe, records_[at])) return at;
    }
    return firstFrom(bucket + 1);
  }

  std::uint32_t occupied() const noexcept { return occupied_; }
  std::uint32_t numBuckets() const noexcept { return static_cast<std::uint32_t>(buckets_.size()); }
  std::uint32_t largestOccupied() const noexcept { return slotCounters_.largestOccupied(); }

 private:
  std::uint32_t bucketOf(std::uint32_t rhash) const noexcept { return rhash >> (32 - bits_); }

  static bool sortsBefore(const Record& a, const Record& b) {
    return a.rhash != b.rhash ? a.rhash < b.rhash : (a.key <=> b.key) < 0;
  }

  // Makes the link described by `previous` (a record, or the head of `bucket`) lead to `slot`.
  void pointAt(std::int32_t previous, std::uint32_t bucket, std::uint32_t slot) {
    if (previous >= 0) {
      records_[static_cast<std::uint32_t>(previous)].next = slot;
    } else {
      buckets_[static_cast<std::uint32_t>(-2 - previous)] = slot;
      (void)bucket;
    }
  }

  bool inserted(std::uint32_t slot) {
    ++occupied_;
    slotCounters_.add(slot);
    if (occupied_ > (numBuckets() << bucketFactor_)) grow();
    return true;
  }

  // n -> 2n buckets: bucket b splits into 2b (first) and 2b + 1.
  void grow() {
    const std::uint32_t n = numBuckets();
    ORVEL_TRACE(dh_, 2, "ShadowHashMap", "buckets growing from:{} to:{}", n, 2 * n);
    std::vector<std::uint32_t> old = bucketArray(2 * n);
    std::swap(old, buckets_);
    ++bits_;
    for (std::uint32_t b = n; b-- > 0;) {
      std::uint32_t at = old[b];
      if (at == kNone) continue;
      buckets_[2 * b] = at;
      records_[at].previous = Record::headOf(2 * b);
      std::uint32_t before = kNone;
      while (at != kNone && bucketOf(records_[at].rhash) == 2 * b) {
        before = at;
        at = records_[at].next;
      }
      if (at != kNone) {
        ORVEL_TRACE(dh_, 8, "ShadowHashMap", "splitting bucket {} to buckets {} and {}", b, 2 * b, 2 * b + 1);
        if (before == kNone) {
          buckets_[2 * b] = kNone;
        } else {
          records_[before].next = kNone;
        }
        buckets_[2 * b + 1] = at;
        records_[at].previous = Record::headOf(2 * b + 1);
      }
    }
    counters_.inc(Reader::Counters::indexGrows);
  }

  // n -> n/2 buckets: buckets 2b and 2b + 1 join into b.
  void shrink() {
    const std::uint32_t n = numBuckets();
    std::vector<std::uint32_t> joined = bucketArray(n / 2);
    for (std::uint32_t b = 0; b < n / 2; ++b) {
      const std::uint32_t first = buckets_[2 * b], second = buckets_[2 * b + 1];
      joined[b] = first != kNone ? first : second;
      if (first != kNone) {
        records_[first].previous = Record::headOf(b);
        std::uint32_t last = first;
        while (records_[last].next != kNone) last = records_[last].next;
        records_[last].next = second;
        if (second != kNone) records_[second].previous = static_cast<std::int32_t>(last);
      } else if (second != kNone) {
        records_[second].previous = Record::headOf(b);
      }
    }
    buckets_ = std::move(joined);
    --bits_;
    counters_.inc(Reader::Counters::indexShrinks);
    ORVEL_TRACE(dh_, 2, "ShadowHashMap", "shrunk to numBuckets_:{} bucketFactor_:{}", numBuckets(), bits_);
  }

  // A bucket array of `count` empty heads; Orvel::MemoryResourceException
  // naming the sizes and the memory kind when it cannot be had.
  std::vector<std::uint32_t> bucketArray(std::uint32_t count) const {
    try {
      return std::vector<std::uint32_t>(count, kNone);
    } catch (const std::bad_alloc& e) {
      throw Orvel::MemoryResourceException(fmt::format("failed to resize {} from {} to {} buckets : {} {}", name_,
                                                       numBuckets(), count, kMemoryKind, e.what()));
    }
  }

  const Orvel::Platform::DebugHandler& dh_;
  std::string name_;
  Hash hash_;
  std::vector<Record>& records_;
  Reader::Counters& counters_;
  std::vector<std::uint32_t> buckets_ = std::vector<std::uint32_t>(2, kNone);
  std::uint32_t bits_ = 1;
  std::uint32_t bucketFactor_;
  std::uint32_t occupied_ = 0;
  SlotCounters slotCounters_;
};

}  // namespace Ploom
