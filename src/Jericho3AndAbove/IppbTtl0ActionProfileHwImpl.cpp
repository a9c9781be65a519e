// Default contents of IppbTtl0ActionProfileHwReg.
#include "Common/DefaultContents.h"
#include "IppbTtl0ActionProfileHwReg.h"

namespace bcm88490_a0 {

// Profile 0: forward strength 7, snoop strength 0, trap code 108 (0x3607); then profiles 1 to 3.
void IppbTtl0ActionProfileHwReg::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppbTtl0ActionProfileHwReg, key);
  Entry entry{EntryKey(0)};
  entry.ttl0FwdStrengthIs(7);
  entry.ttl0SnpStrengthIs(0);
  entry.ttl0TrapCodeIs(108);
  entry.ttl0ActionProfile1Is(0x3987);
  entry.ttl0ActionProfile2Is(0x4080);
  entry.ttl0ActionProfile3Is(0);
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
