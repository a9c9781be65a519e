// Ploom::Validator: proves that a collection's bucket file and slot file
// describe one consistent collection before the writer trusts them.
//
// It walks every chain from bucket 0 in split order (through the hash map's
// own checked iteration) and then the free list, marking each slot seen:
// every occupied slot must be reachable exactly once, every other slot must be
// on the free list exactly once, and the header's counts must agree with what
// was found. It never repairs anything: it returns false with the first error
// text and the writer decides what to do.
#pragma once

#include <cstdint>
#include <string>

#include "Orvel/DebugHandler.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "PloomCore/SlotWriterTable.h"
#include "PloomCore/ValidatorCommon.h"
#include "PloomCore/WriterHashMap.h"

namespace Ploom {

template <CollectionValue V>
class Validator : public PloomCore::SlotVisitor, private ValidatorCommon {
 public:
  using Layout = SlotLayout<V>;

  Validator(const Orvel::Platform::DebugHandler& dh, SlotWriterTable<V>& slots, PloomCore::WriterHashMap<V>& map,
            std::string name)
      : ValidatorCommon(slots.numSlots()), dh_(dh), slots_(slots), map_(map), name_(std::move(name)) {}

  bool validate(std::uint32_t palvoId) {
    bool ok = false;
    try {
      std::string err;
      if (!map_.validate(palvoId, err) || !slots_.validate(palvoId, err)) {
        errorIs(err);
      } else {
        countsReset();
        ok = walkOccupiedSlots() && walkFreeSlots();
        if (ok) {
          const std::uint32_t found = occupiedFound() + freeFound();
          if (found != slots_.numSlots()) ok = doValidateBadSlotCount(found, slots_.numSlots());
        }
      }
    } catch (const Orvel::CorruptionDetectedException& e) {
      errorIs(e.what());
      ORVEL_TRACE(dh_, 0, "Validator", "caught: {}", e.what());
    } catch (const Orvel::MemoryResourceException& e) {
      errorIs(e.what());
      ORVEL_TRACE(dh_, 0, "Validator", "caught: {}", e.what());
    }
    map_.visitorIs(nullptr);
    if (!ok) ORVEL_TRACE(dh_, 0, "Validator", "Ploom {} validation failed: {}", name_, error());
    return ok;
  }

  bool walkOccupiedSlots() {
    ORVEL_TRACE(dh_, 5, "Validator", "starting");
    const std::uint32_t occupied = slots_.occupied();
    map_.visitorIs(this);
    V value;
    IterHint hint;
    if (!map_.first(0, value, hint)) return walkOccupiedSlotsEpilogue(occupied);
    std::uint32_t count = 1;
    while (true) {
      if (count > occupied) return walkOccupiedSlotsWrong(count, occupied);
      const auto key = ValueTraits<V>::key(value);
      if (!map_.next(key, value, hint)) return walkOccupiedSlotsEpilogue(occupied);
      ++count;
    }
  }

  bool walkFreeSlots() {
    ORVEL_TRACE(dh_, 5, "Validator", "starting");
    for (std::uint32_t s = slots_.freeHead(); s != SlotLink::kNothing;) {
      ORVEL_TRACE(dh_, 9, "Validator", "walking slotIndex: {}", s);
      if (s >= slots_.numSlots()) return walkFreeSlotsOutOfBounds(s);
      if (seen(s)) return walkFreeSlotsDuplicate(s);
      markSeen(s);
      freeFoundInc();
      const SlotLink link = SlotLink::read(slots_[s]);
      if (link.occupied()) return walkFreeSlotsNotEmpty(s);
      s = link.link & ~SlotLink::kMark;
    }
    return walkFreeSlotsEpilogue();
  }

  // markOccupied: every slot the iteration returns.
  void visit(std::uint32_t slot) override {
    const std::uint8_t* s = slots_[slot];
    const std::uint32_t stored = detail::Words::load<std::uint32_t>(s + Layout::kRhashOffset);
    const std::uint32_t computed = reverseBits(map_.hash(map_.keyOf(slot)));
    if (stored != computed) PloomCore::WriterHashMapCommon::throwCorruptRhash(slot, stored, computed);
    if (seen(slot)) throwDuplicateSlot(slot);
    markSeen(slot);
    occupiedFoundInc();
    const SlotLink link = SlotLink::read(s);
    if (!link.occupied()) throwMissingOccupied(slot);
    if (link.writing()) throwStuckLookaside(slot);
    traceNoNotification(slot);
  }

  using ValidatorCommon::error;

 private:
  const Orvel::Platform::DebugHandler& dh_;
  SlotWriterTable<V>& slots_;
  PloomCore::WriterHashMap<V>& map_;
  std::string name_;
};

}  // namespace Ploom
