// sim::MemoryMap: the memories and registers a simulated chip has, where they
// sit (block, base address) and how they are indexed.
//
// A region's entries have consecutive addresses within its block, walk order:
// entry (a, e) sits at baseAddress + (a - firstArrayIndex) x entryCount +
// (e - firstEntryIndex). Each instance of a region is a separate copy with
// the same addresses in its own instance. A register is a region of one entry.
//
// The map is built from the catalogue's data (the table descriptions), never
// from the plug-in's generated classes, so that a wrong address in a generated
// descriptor cannot agree with the simulator by construction.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct MemoryRegion {
  std::string name;   // the memory or register name commands carry
  std::string table;  // the table that drives it (for messages)
  bool isRegister = false;
  std::uint32_t block = 0;
  std::uint32_t baseAddress = 0;
  std::uint8_t firstArrayIndex = 0;
  std::uint16_t arrayCount = 1;
  std::uint32_t firstEntryIndex = 0;
  std::uint32_t entryCount = 1;
  std::uint16_t entrySize = 0;  // bytes
  std::uint8_t firstInstanceId = 0;
  std::uint16_t instanceCount = 1;

  std::uint64_t entries() const noexcept { return std::uint64_t{arrayCount} * entryCount; }
  std::uint64_t lastAddress() const noexcept { return baseAddress + entries() - 1; }
  // Position of (arrayIndex, entryIndex) in walk order; false when outside the region.
  bool position(std::uint32_t arrayIndex, std::uint64_t entryIndex, std::uint64_t& position) const noexcept;
  bool hasInstance(std::uint32_t instance) const noexcept {
    return instance >= firstInstanceId && instance < std::uint32_t{firstInstanceId} + instanceCount;
  }
};

class MemoryMap {
 public:
  // Adds `region`. A region of the same name must be identical (two tables may
  // drive one memory); throws std::invalid_argument otherwise, or when the
  // region has no entries, a zero entry size or no instance.
  void regionIs(const MemoryRegion& region);
  // The region named `name`, or null.
  const MemoryRegion* region(const std::string& name) const;
  const std::map<std::string, MemoryRegion>& regions() const noexcept { return regions_; }

  // Pairs of regions of one block whose address ranges overlap, as
  // "a [first, last] and b [first, last] overlap in block N"; empty when none do.
  std::vector<std::string> overlaps() const;

 private:
  std::map<std::string, MemoryRegion> regions_;
};

}  // namespace sim
