// Comparing a simulated chip with a shadow: every key of the table's range,
// on every memory of the table and every instance the shadow writes, must hold
// the shadow's entry (its default entry where it holds none).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/TableDescription.h"
#include "sim/ChipSimulator.h"

namespace sim {

struct ImageMismatch {
  std::string memory;
  std::uint8_t instance = 0;
  std::uint32_t arrayIndex = 0;
  std::uint32_t entryIndex = 0;
  std::vector<std::uint8_t> shadow;  // what the shadow says
  std::vector<std::uint8_t> chip;    // what the chip holds
};

struct ImageComparison {
  std::uint64_t entriesCompared = 0;
  std::uint64_t mismatches = 0;
  std::vector<ImageMismatch> first;  // the first few mismatches, in walk order
  bool matches() const noexcept { return mismatches == 0; }
};

// (array index, entry index) of the memory entry that the catalogue key
// (first, second) addresses: a value key is entry `first` of the memory's one
// array index.
inline std::pair<std::uint32_t, std::uint32_t> memoryIndexOf(const bcm88490_a0::catalogue::TableDescription& t,
                                                             const bcm88490_a0::catalogue::MemoryDescription& m,
                                                             std::uint64_t first, std::uint64_t second) {
  if (t.key.form == bcm88490_a0::catalogue::KeyForm::indexed) {
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(second)};
  }
  return {m.firstArrayIndex, static_cast<std::uint32_t>(first)};
}

// Compares `chip` with the shadow of `key` in `table`, read through the
// table's untyped operations. Keeps at most `keep` mismatches.
inline ImageComparison compareChipWithShadow(const bcm88490_a0::catalogue::TableDescription& t,
                                             const VovuAsicUtils::HwCommonTableBase& table,
                                             const VovuAsicUtils::HwShadowKey& key, const Chip& chip,
                                             std::size_t keep = 8) {
  ImageComparison result;
  bcm88490_a0::catalogue::EntryBuffer keyEntry, entry;
  bcm88490_a0::catalogue::forEachKey(t, [&](std::uint64_t first, std::uint64_t second) {
    t.values->entryMake(keyEntry.bytes, first, second);
    t.shadows->getEntry(table, key, keyEntry.bytes, entry.bytes);
    const std::uint8_t* expected = t.values->data(entry.bytes);
    for (const bcm88490_a0::catalogue::MemoryDescription& m : t.memories) {
      const auto [arrayIndex, entryIndex] = memoryIndexOf(t, m, first, second);
      for (std::uint32_t i = 0; i < m.instanceCount; ++i) {
        const auto instance = static_cast<std::uint8_t>(m.firstInstanceId + i);
        const std::span<const std::uint8_t> held = chip.entry(m.name, instance, arrayIndex, entryIndex);
        ++result.entriesCompared;
        if (std::memcmp(held.data(), expected, held.size()) == 0) continue;
        ++result.mismatches;
        if (result.first.size() < keep) {
          result.first.push_back(ImageMismatch{m.name, instance, arrayIndex, entryIndex,
                                               std::vector<std::uint8_t>(expected, expected + held.size()),
                                               std::vector<std::uint8_t>(held.begin(), held.end())});
        }
      }
    }
  });
  return result;
}

// Calls fn(memory, instance, arrayIndex, entryIndex, bytes) for every entry of
// every memory (or register) of table `t` on `chip`, every instance, in memory
// order, then instance, then walk order.
template <class Fn>
void forEachChipEntry(const bcm88490_a0::catalogue::TableDescription& t, const Chip& chip, Fn&& fn) {
  for (const bcm88490_a0::catalogue::MemoryDescription& m : t.memories) {
    for (std::uint32_t i = 0; i < m.instanceCount; ++i) {
      const auto instance = static_cast<std::uint8_t>(m.firstInstanceId + i);
      for (std::uint32_t a = m.firstArrayIndex; a < std::uint32_t{m.firstArrayIndex} + m.arrayCount; ++a) {
        for (std::uint64_t e = m.firstEntryIndex; e < std::uint64_t{m.firstEntryIndex} + m.entryCount; ++e) {
          const auto entryIndex = static_cast<std::uint32_t>(e);
          fn(m, instance, a, entryIndex, chip.entry(m.name, instance, a, entryIndex));
        }
      }
    }
  }
}

inline bool allZero(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

}  // namespace sim
