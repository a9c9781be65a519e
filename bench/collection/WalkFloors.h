// Two floors for iterating a collection from another process, measured on the
// files a Ploom::PloomReader has mapped, with the writer idle. Neither
// validates anything (no seqlock, no link re-check, no bucket check, no
// resize check), so neither is a correct reader while a writer changes the
// collection; they show what the files and the shape of first/next cost
// before any of the reader's checks:
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
#include "PloomCore/SharedWords.h"

namespace bench_values {

class WalkFloors {
 public:
  explicit WalkFloors(const Ploom::PloomReader<BenchEntry>& reader)
      : slots_(reader.slotTable().base()),
        buckets_(reader.bucketReader().entry(0)),
        numSlots_(reader.slotTable().numSlots()),
        numBuckets_(reader.bucketReader().numBuckets()) {}

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

  SlotLink entry(std::uint32_t bucket) const { return SlotLink::read(buckets_ + 8 * std::size_t{bucket}); }
  const std::uint8_t* slot(std::uint32_t index) const {
    if (index >= numSlots_) std::abort();
    return slots_ + Layout::kHeaderSize + std::size_t{index} * Layout::kSlotSize;
  }

  [[gnu::noinline]] bool next(BenchEntry& out, Ploom::IterHint& hint) const {
    return step(SlotLink::read(slot(hint.slot)), hint.bucket, out, hint);
  }
  // From `link` (in `bucket`'s chain): the next entry into `out` and `hint`.
  bool step(SlotLink link, std::uint32_t bucket, BenchEntry& out, Ploom::IterHint& hint) const {
    while (link.endOfChain()) {
      if (link.endsCollection()) return false;
      bucket = link.index();
      if (bucket >= numBuckets_) std::abort();
      link = entry(bucket);
    }
    const std::uint8_t* at = slot(link.index());
    const SlotLink here = SlotLink::read(at);
    Ploom::detail::Words::loadRelaxed(&out, at + Layout::kValueOffset, sizeof out);
    hint = Ploom::IterHint{here.version, link.index(), bucket};
    return true;
  }

  const std::uint8_t* slots_;
  const std::uint8_t* buckets_;
  std::uint32_t numSlots_;
  std::uint32_t numBuckets_;
};

}  // namespace bench_values
