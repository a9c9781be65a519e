// Default contents of IppaVsiToRoutingProfileMapHwDirect.
#include "Common/DefaultContents.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"

namespace bcm88490_a0 {

// VSIs 240, 241 and 242 use routing profile 2; all three sit in entry (2, 60).
void IppaVsiToRoutingProfileMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppaVsiToRoutingProfileMapHwDirect, key);
  defaults::writeVsiProfiles(*this, key, 2, {{240, 2}, {241, 2}, {242, 2}});
}

}  // namespace bcm88490_a0
