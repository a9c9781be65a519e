// Default contents of LpmEntryTypeMapHwDirect.
#include "Common/DefaultContents.h"
#include "LpmEntryTypeMapHwDirect.h"

#include <array>

namespace bcm88490_a0 {

namespace {

struct Run {
  std::uint32_t first;
  std::uint32_t last;
  std::uint8_t type;
};

// The LPM entry type of every entry index, as runs of equal values.
constexpr Run kJ3LpmEntryTypeRuns[] = {
    {0, 43, 10},    {44, 44, 46},  {45, 45, 45},   {46, 46, 44},   {47, 47, 43},   {48, 63, 47},   {64, 111, 10},
    {112, 127, 47}, {128, 255, 0}, {256, 319, 2},  {320, 383, 8},  {384, 447, 5},  {448, 511, 40}, {512, 575, 0},
    {576, 639, 11}, {640, 703, 0}, {704, 767, 13}, {768, 831, 23}, {832, 895, 22}, {896, 1023, 0},
};

constexpr std::array<std::uint8_t, 1024> expandRuns() {
  std::array<std::uint8_t, 1024> table{};
  for (const Run& run : kJ3LpmEntryTypeRuns) {
    for (std::uint32_t i = run.first; i <= run.last; ++i) table[i] = run.type;
  }
  return table;
}

constexpr std::array<std::uint8_t, 1024> j3LpmEntryTypeDefaults = expandRuns();

constexpr std::uint8_t kJ3aiEntryType = 10;

}  // namespace

// Both arrays, entry indices ascending: type 10 everywhere on the J3AI chip
// (chip type 12), the J3 map everywhere else. ecc stays 0.
void LpmEntryTypeMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(LpmEntryTypeMapHwDirect, key);
  const bool j3ai = fapRevision().chipType() == static_cast<Hardware::ChipType>(12);
  if (j3ai) ORVEL_TRACE(_defaultsTraceHandle(), 2, tableName(), " Selecting J3AI map");
  for (std::uint32_t arrayIndex = EntryKey::arrayIndexMin; arrayIndex <= EntryKey::arrayIndexMax; ++arrayIndex) {
    for (std::uint32_t entryIndex = 0; entryIndex <= EntryKey::entryIndexMax; ++entryIndex) {
      Entry entry{EntryKey(static_cast<std::uint8_t>(arrayIndex), entryIndex)};
      entry.lpmEntryTypeIs(Orvel::U6(j3ai ? kJ3aiEntryType : j3LpmEntryTypeDefaults[entryIndex]));
      setEntry(key, entry);
    }
  }
}

}  // namespace bcm88490_a0
