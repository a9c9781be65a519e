#include "Brask/BraskReader.h"

#include <algorithm>

#include "Ploom/StorePoint.h"

namespace Brask {

namespace {
// A version no slot has: every slot differs from it at the next poll.
constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
// What a slot past the end of the table reads as: reported once, then forgotten.
constexpr std::uint32_t kGone = kUnseen - 1;
}  // namespace

bool BraskReader::initialize(Source source) {
  if (!source.numSlots || !source.version || !source.generation) return false;
  source_ = std::move(source);
  seen_.clear();
  delivered_.clear();
  generation_ = source_.generation();
  initialized_ = true;
  return true;
}

void BraskReader::resync() { std::fill(seen_.begin(), seen_.end(), kUnseen); }

std::uint32_t BraskReader::poll(const Handler& handler) {
  if (!initialized_) return 0;
  const std::uint32_t generation = source_.generation();
  if (generation != generation_) {
    resync();
    generation_ = generation;
  }
  const std::uint32_t slots = source_.numSlots();
  if (slots > seen_.size()) {
    seen_.resize(slots, kUnseen);
    delivered_.resize(slots, kNoSequence);
  }
  std::uint32_t consumed = 0;
  for (std::uint32_t s = 0; s < seen_.size(); ++s) {
    const bool present = s < source_.numSlots();
    const std::uint32_t version = present ? source_.version(s) : kGone;
    if (present) PLOOM_READER_POINT(pollVersionRead, s);
    if (version == seen_[s]) continue;
    const std::uint64_t sequence = next_++;
    delivered_[s] = sequence;
    if (handler(s, sequence, 0)) {
      seen_[s] = version;
      ++consumed;
    }
  }
  // Slots past a shrunk table are forgotten once reported.
  const std::uint32_t now = source_.numSlots();
  if (now < seen_.size() && std::all_of(seen_.begin() + now, seen_.end(), [](std::uint32_t v) { return v == kGone; })) {
    seen_.resize(now);
    delivered_.resize(now);
  }
  return consumed;
}

bool BraskReader::sequenceHeld(std::uint64_t sequence) const {
  return std::find(delivered_.begin(), delivered_.end(), sequence) != delivered_.end();
}

}  // namespace Brask
