// The simulator's memory map from the catalogue's table descriptions: one
// region per memory or register of every table, as the description data gives
// it (not as a generated descriptor builds it).
#pragma once

#include <span>

#include "VovuAsicUtils/TableDescription.h"
#include "sim/MemoryMap.h"

namespace sim {

inline MemoryMap memoryMapOf(std::span<const bcm88490_a0::catalogue::TableDescription* const> tables) {
  MemoryMap map;
  for (const bcm88490_a0::catalogue::TableDescription* t : tables) {
    for (const bcm88490_a0::catalogue::MemoryDescription& m : t->memories) {
      MemoryRegion region;
      region.name = m.name;
      region.table = t->name;
      region.isRegister = t->kind == bcm88490_a0::catalogue::TableKind::reg;
      region.block = m.block;
      region.baseAddress = m.baseAddress;
      region.firstArrayIndex = m.firstArrayIndex;
      region.arrayCount = m.arrayCount;
      region.firstEntryIndex = m.firstEntryIndex;
      region.entryCount = m.entryCount;
      region.entrySize = m.entrySize;
      region.firstInstanceId = m.firstInstanceId;
      region.instanceCount = m.instanceCount;
      map.regionIs(region);
    }
  }
  return map;
}

}  // namespace sim
