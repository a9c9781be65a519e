// Ploom::ValidatorCommon: the counting and reporting primitives of a
// collection validator. It keeps one seen-mark byte per slot and the counts
// of occupied and free slots found; the walk and verdict functions return
// false with the first error text kept in error(); the throw functions raise
// Orvel::CorruptionDetectedException.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Ploom {

class ValidatorCommon {
 public:
  explicit ValidatorCommon(std::uint32_t capacity) : seen_(capacity, 0) {}

  std::uint32_t capacity() const noexcept { return static_cast<std::uint32_t>(seen_.size()); }
  bool seen(std::uint32_t slot) const { return slot < seen_.size() && seen_[slot] != 0; }
  void markSeen(std::uint32_t slot) { seen_.at(slot) = 1; }
  std::uint32_t occupiedFound() const noexcept { return occupiedFound_; }
  std::uint32_t freeFound() const noexcept { return freeFound_; }
  void occupiedFoundInc() noexcept { ++occupiedFound_; }
  void freeFoundInc() noexcept { ++freeFound_; }
  void countsReset() noexcept { occupiedFound_ = freeFound_ = 0; }
  const std::string& error() const noexcept { return error_; }
  void errorIs(std::string text) {
    if (error_.empty()) error_ = std::move(text);
  }

  // Verdicts: true when the counts agree.
  bool walkOccupiedSlotsEpilogue(std::uint32_t occupied);
  bool walkOccupiedSlotsWrong(std::uint32_t count, std::uint32_t occupied);
  bool walkFreeSlotsOutOfBounds(std::uint32_t index);
  bool walkFreeSlotsDuplicate(std::uint32_t index);
  bool walkFreeSlotsNotEmpty(std::uint32_t index);
  bool walkFreeSlotsEpilogue();
  bool doValidateBadSlotCount(std::uint32_t found, std::uint32_t capacity);

  [[noreturn]] void throwDuplicateSlot(std::uint32_t index);
  [[noreturn]] void throwMissingOccupied(std::uint32_t index);
  [[noreturn]] void throwStuckLookaside(std::uint32_t index);
  // The writer publishes no change notifications; nothing to check.
  void traceNoNotification(std::uint32_t) noexcept {}

 private:
  std::vector<std::uint8_t> seen_;
  std::uint32_t occupiedFound_ = 0;
  std::uint32_t freeFound_ = 0;
  std::string error_;
};

}  // namespace Ploom
