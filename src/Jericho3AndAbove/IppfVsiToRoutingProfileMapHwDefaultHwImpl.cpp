// Default contents of IppfVsiToRoutingProfileMapHwDirect.
#include "Common/DefaultContents.h"
#include "IppfVsiToRoutingProfileMapHwDirect.h"

namespace bcm88490_a0 {

// VSI 64 uses routing profile 1 and VSI 21 profile 2, in array 1.
void IppfVsiToRoutingProfileMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppfVsiToRoutingProfileMapHwDirect, key);
  defaults::writeVsiProfiles(*this, key, 1, {{64, 1}, {21, 2}});
}

}  // namespace bcm88490_a0
