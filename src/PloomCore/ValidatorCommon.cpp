// The counting and error-raising primitives of a collection check.
#include "PloomCore/ValidatorCommon.h"

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Ploom {

bool ValidatorCommon::walkOccupiedSlotsEpilogue(std::uint32_t occupied) {
  if (occupiedFound_ == occupied) return true;
  errorIs(fmt::format("occupied slots reachable:{} but header says occupied:{}", occupiedFound_, occupied));
  return false;
}

bool ValidatorCommon::walkOccupiedSlotsWrong(std::uint32_t count, std::uint32_t occupied) {
  errorIs(fmt::format("more entries reachable ({} so far) than the header's occupied count:{}", count, occupied));
  return false;
}

bool ValidatorCommon::walkFreeSlotsOutOfBounds(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} out of bounds (slots:{})", index, seen_.size()));
  return false;
}

bool ValidatorCommon::walkFreeSlotsDuplicate(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} seen twice", index));
  return false;
}

bool ValidatorCommon::walkFreeSlotsNotEmpty(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} is occupied", index));
  return false;
}

bool ValidatorCommon::walkFreeSlotsEpilogue() { return true; }

bool ValidatorCommon::doValidateBadSlotCount(std::uint32_t found, std::uint32_t capacity) {
  errorIs(
      fmt::format("slots found:{} (occupied:{} free:{}) but capacity:{}", found, occupiedFound_, freeFound_, capacity));
  return false;
}

void ValidatorCommon::throwDuplicateSlot(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} reachable twice", index));
}

void ValidatorCommon::throwMissingOccupied(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} reachable but not occupied", index));
}

void ValidatorCommon::throwStuckLookaside(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} left with an unfinished value write", index));
}

}  // namespace Ploom
