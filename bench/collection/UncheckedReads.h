// Reads of the files a Ploom::PloomReader has mapped that make none of its
// checks (no seqlock, no link re-check, no bucket check, no resize check),
// measured with the writer idle. They are not correct readers while a writer
// changes the collection; they show what the files' own layout and the shape
// of first/next cost before the reader checks anything:
//   unchecked_lookup  a look-up: the key's bucket entry, then its chain in
//                     split order until the key or a slot that sorts after it;
//   split_order_walk  the walk the files define, written as one loop: from
//                     bucket 0's entry along every link, across each end
//                     marker to the bucket it names, to the marker naming no
//                     bucket; each entry's data is added where it lies;
//   step_floor        the same walk in steps shaped like next(): one call per
//                     entry, not inlined, that starts from the hint (reads
//                     the hinted slot's link again), copies the next entry's
//                     value into the caller's buffer and records the hint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "BenchValues.h"
#include "Ploom/PloomReader.h"
#include "PloomCore/ReaderHashMap.h"
#include "PloomCore/SharedWords.h"

namespace bench_values {

class UncheckedReads {
 public:
  explicit UncheckedReads(const Ploom::PloomReader<BenchEntry>& reader)
      : seed_(reader.seed()),
        files_{reader.bucketReader().entry(0), reader.slotTable().base(), reader.bucketReader().numBuckets(),
               reader.slotTable().numSlots()} {}

  // The value of `key` into `out`; false when absent.
  bool lookup(const BenchKey& key, BenchEntry& out) const {
    const std::uint32_t h = Ploom::ValueTraits<BenchEntry>::hash(key, seed_);
    const std::uint32_t r = Ploom::reverseBits(h);
    SlotLink link = entry(h & (files_.numBuckets - 1));
    while (!link.endOfChain()) {
      const std::uint8_t* at = slot(link.index());
      const std::uint32_t slotR =
          Ploom::detail::Words::load<std::uint32_t, std::memory_order_relaxed>(at + Layout::kRhashOffset);
      if (slotR > r) return false;
      if (slotR == r) {
        Ploom::detail::Words::loadRelaxed(&out, at + Layout::kValueOffset, sizeof out);
        if (out.key == key) return true;
        if (out.key > key) return false;
      }
      link = SlotLink::read(at);
    }
    return false;
  }

  std::uint64_t splitOrderWalk() const {
    std::uint64_t sum = 0;
    SlotLink link = entry(0);
    while (true) {
      while (!link.endOfChain()) {
        const std::uint8_t* at = slot(link.index());
        sum += Ploom::detail::Words::load<std::uint32_t, std::memory_order_relaxed>(at + kDataOffset);
        link = SlotLink::read(at);
      }
      if (link.endsCollection()) return sum;
      link = entry(link.index());
    }
  }

  std::uint64_t stepWalk() const {
    std::uint64_t sum = 0;
    BenchEntry e;
    Ploom::IterHint hint;
    if (!step(entry(0), 0, e, hint)) return 0;
    do {
      sum += e.data;
    } while (next(e, hint));
    return sum;
  }

 private:
  using SlotLink = Ploom::SlotLink;
  using Layout = Ploom::SlotLayout<BenchEntry>;
  static constexpr std::uint32_t kDataOffset = Layout::kValueOffset + offsetof(BenchEntry, data);

  SlotLink entry(std::uint32_t bucket) const { return SlotLink::read(files_.entry(bucket)); }
  const std::uint8_t* slot(std::uint32_t index) const {
    if (index >= files_.numSlots) std::abort();
    return files_.slot(index);
  }

  [[gnu::noinline]] bool next(BenchEntry& out, Ploom::IterHint& hint) const {
    return step(SlotLink::read(slot(hint.slot)), hint.bucket, out, hint);
  }
  // From `link` (in `bucket`'s chain): the next entry into `out` and `hint`.
  bool step(SlotLink link, std::uint32_t bucket, BenchEntry& out, Ploom::IterHint& hint) const {
    while (link.endOfChain()) {
      if (link.endsCollection()) return false;
      bucket = link.index();
      if (bucket >= files_.numBuckets) std::abort();
      link = entry(bucket);
    }
    const std::uint8_t* at = slot(link.index());
    const SlotLink here = SlotLink::read(at);
    Ploom::detail::Words::loadRelaxed(&out, at + Layout::kValueOffset, sizeof out);
    hint = Ploom::IterHint{here.version, link.index(), bucket};
    return true;
  }

  std::uint32_t seed_;
  // The reader's mapping of both files, in the reader's own terms.
  PloomCore::ReaderHashMap<BenchEntry>::Mapping files_;
};

}  // namespace bench_values
