// Default contents of IppdAllowDefaultRouteHwReg.
#include "Common/DefaultContents.h"
#include "IppdAllowDefaultRouteHwReg.h"

namespace bcm88490_a0 {

// No RPF mode allows the default route; the zeros are written explicitly.
void IppdAllowDefaultRouteHwReg::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppdAllowDefaultRouteHwReg, key);
  Entry entry{EntryKey(0)};
  entry.mcSipBasedRpfAllowDefaultIs(0);
  entry.ucLooseRpfAllowDefaultIs(0);
  entry.strictRpfAllowDefaultIs(0);
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
