// Default contents of ExampleProfileMapHwDirect.
#include "Common/DefaultContents.h"
#include "ExampleProfileMapHwDirect.h"

namespace bcm88490_a0 {

// Keys 0 to 3 hold profiles 0x1000 to 0x1003, marked valid; every other key
// holds the zero entry.
void ExampleProfileMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(ExampleProfileMapHwDirect, key);
  for (std::uint32_t k = 0; k < 4; ++k) {
    Entry entry{EntryKey(k)};
    entry.profileIs(0x1000 + k);
    entry.validIs(1);
    setEntry(key, entry);
  }
}

}  // namespace bcm88490_a0
