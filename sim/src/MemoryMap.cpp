#include "sim/MemoryMap.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace sim {

bool MemoryRegion::position(std::uint32_t arrayIndex, std::uint64_t entryIndex, std::uint64_t& pos) const noexcept {
  if (arrayIndex < firstArrayIndex || arrayIndex >= std::uint32_t{firstArrayIndex} + arrayCount) return false;
  if (entryIndex < firstEntryIndex || entryIndex >= std::uint64_t{firstEntryIndex} + entryCount) return false;
  pos = std::uint64_t{arrayIndex - firstArrayIndex} * entryCount + (entryIndex - firstEntryIndex);
  return true;
}

namespace {
bool sameRegion(const MemoryRegion& a, const MemoryRegion& b) {
  return a.isRegister == b.isRegister && a.block == b.block && a.baseAddress == b.baseAddress &&
         a.firstArrayIndex == b.firstArrayIndex && a.arrayCount == b.arrayCount &&
         a.firstEntryIndex == b.firstEntryIndex && a.entryCount == b.entryCount && a.entrySize == b.entrySize &&
         a.firstInstanceId == b.firstInstanceId && a.instanceCount == b.instanceCount;
}
}  // namespace

void MemoryMap::regionIs(const MemoryRegion& region) {
  if (region.entries() == 0 || region.entrySize == 0 || region.instanceCount == 0) {
    throw std::invalid_argument(
        fmt::format("{} ({}): a region needs entries, an entry size and an instance", region.name, region.table));
  }
  if (region.firstInstanceId + region.instanceCount > 256 || region.firstArrayIndex + region.arrayCount > 256) {
    throw std::invalid_argument(
        fmt::format("{} ({}): instance and array indices must fit in 8 bits", region.name, region.table));
  }
  auto [it, added] = regions_.emplace(region.name, region);
  if (!added && !sameRegion(it->second, region)) {
    throw std::invalid_argument(
        fmt::format("{}: described differently by {} and {}", region.name, it->second.table, region.table));
  }
}

const MemoryRegion* MemoryMap::region(const std::string& name) const {
  auto it = regions_.find(name);
  return it == regions_.end() ? nullptr : &it->second;
}

std::vector<std::string> MemoryMap::overlaps() const {
  std::vector<const MemoryRegion*> sorted;
  for (const auto& [name, region] : regions_) sorted.push_back(&region);
  std::sort(sorted.begin(), sorted.end(), [](const MemoryRegion* a, const MemoryRegion* b) {
    return a->block != b->block ? a->block < b->block : a->baseAddress < b->baseAddress;
  });
  std::vector<std::string> found;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    for (std::size_t j = i + 1; j < sorted.size() && sorted[j]->block == sorted[i]->block; ++j) {
      if (sorted[j]->baseAddress > sorted[i]->lastAddress()) break;
      found.push_back(fmt::format("{} [{:#x}, {:#x}] and {} [{:#x}, {:#x}] overlap in block {}", sorted[i]->name,
                                  sorted[i]->baseAddress, sorted[i]->lastAddress(), sorted[j]->name,
                                  sorted[j]->baseAddress, sorted[j]->lastAddress(), sorted[i]->block));
    }
  }
  return found;
}

}  // namespace sim
