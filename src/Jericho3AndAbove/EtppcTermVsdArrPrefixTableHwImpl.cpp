// Default contents of EtppcTermVsdArrPrefixTableHwDirect.
#include "Common/DefaultContents.h"
#include "Common/VsiPrefixIndexTableHwImplCommon.h"
#include "EtppcTermVsdArrPrefixTableHwDirect.h"

namespace bcm88490_a0 {

void EtppcTermVsdArrPrefixTableHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(EtppcTermVsdArrPrefixTableHwDirect, key);
  defaults::userInitHwTableCommon(*this, key, defaults::kJ3VsiPrefixIndexTableDefaults, 0x40000);
}

}  // namespace bcm88490_a0
