// Default contents of IppaCsInlif0ProfileMapHwDirect.
#include "Common/DefaultContents.h"
#include "IppaCsInlif0ProfileMapHwDirect.h"

namespace bcm88490_a0 {

void IppaCsInlif0ProfileMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppaCsInlif0ProfileMapHwDirect, key);
  struct Step {
    std::uint8_t arrayIndex;
    std::uint32_t entryIndex;
    unsigned char profile;
  };
  // Zero profiles are written too, so that the shadow holds them.
  constexpr Step kSteps[] = {{2, 0, 1}, {3, 0, 1}, {3, 240, 4}, {3, 241, 0}, {3, 242, 4}, {3, 30, 0}, {3, 1, 0}};
  for (const Step& step : kSteps) {
    Entry entry{EntryKey(step.arrayIndex, step.entryIndex)};
    entry.csInlif0ProfileIs(step.profile);
    setEntry(key, entry);
  }
}

}  // namespace bcm88490_a0
