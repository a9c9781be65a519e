#include "Ploom/MapDescriptor.h"

#include <fmt/format.h>

namespace Ploom {

std::string MapDescriptor::toString() const {
  return fmt::format(
      "capacity:{} mode:{} local:{} fixedSize:{} shrinkSlots:{} shrinkBuckets:{} prune:{} heap:{} tracker:{} "
      "criticalTaskCheck:{}",
      capacity, static_cast<std::uint32_t>(mode), local, fixedSize, shrinkSlots, shrinkBuckets, prune, heapAllocation,
      trackerEnable, criticalTaskCheck);
}

bool MapDescriptor::supportsReinitWith(const MapDescriptor& other) const {
  // The files and their layout stay as they are: only options that do not
  // change them may differ.
  return capacity == other.capacity && mode == other.mode && local == other.local && fixedSize == other.fixedSize &&
         heapAllocation == other.heapAllocation;
}

}  // namespace Ploom
