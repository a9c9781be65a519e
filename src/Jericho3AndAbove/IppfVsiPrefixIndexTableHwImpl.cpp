// Default contents of IppfVsiPrefixIndexTableHwDirect.
#include "Common/DefaultContents.h"
#include "Common/VsiPrefixIndexTableHwImplCommon.h"
#include "IppfVsiPrefixIndexTableHwDirect.h"

namespace bcm88490_a0 {

void IppfVsiPrefixIndexTableHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppfVsiPrefixIndexTableHwDirect, key);
  defaults::userInitHwTableCommon(*this, key, defaults::kJ3VsiPrefixIndexTableDefaults, 0xC0000);
}

}  // namespace bcm88490_a0
