#include "Brask/BraskReader.h"

#include <algorithm>

#include "Ploom/StorePoint.h"

namespace Brask {

namespace {
// A version no slot has: every slot differs from it at the first poll.
constexpr std::uint32_t kUnseen = 0xFFFFFFFFu;
}  // namespace

bool BraskReader::initialize(Source source) {
  if (!source.numSlots || !source.version) return false;
  source_ = std::move(source);
  seen_.clear();
  delivered_.clear();
  initialized_ = true;
  return true;
}

std::uint32_t BraskReader::poll(const Handler& handler) {
  if (!initialized_) return 0;
  const std::uint32_t slots = source_.numSlots();
  const std::size_t known = seen_.size();
  if (slots > known) {
    seen_.resize(slots, kUnseen);
    delivered_.resize(slots, kNoSequence);
  }
  std::uint32_t consumed = 0;
  for (std::uint32_t s = 0; s < seen_.size(); ++s) {
    const std::uint32_t version = s < slots ? source_.version(s) : kUnseen - 1;  // gone: report once
    if (s < slots) PLOOM_READER_POINT(pollVersionRead, s);
    if (version == seen_[s]) continue;
    const std::uint64_t sequence = next_++;
    delivered_[s] = sequence;
    if (handler(s, sequence, 0)) {
      seen_[s] = version;
      ++consumed;
    }
  }
  // Slots past a shrunk table are forgotten once reported.
  if (slots < seen_.size()) {
    bool allReported = true;
    for (std::size_t s = slots; s < seen_.size(); ++s) allReported &= seen_[s] == kUnseen - 1;
    if (allReported) {
      seen_.resize(slots);
      delivered_.resize(slots);
    }
  }
  return consumed;
}

bool BraskReader::sequenceHeld(std::uint64_t sequence) const {
  return std::find(delivered_.begin(), delivered_.end(), sequence) != delivered_.end();
}

}  // namespace Brask
