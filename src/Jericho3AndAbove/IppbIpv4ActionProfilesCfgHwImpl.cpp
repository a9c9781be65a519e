// Default contents of IppbIpv4ActionProfilesCfgHwReg.
#include "Common/DefaultContents.h"
#include "IppbIpv4ActionProfilesCfgHwReg.h"

namespace bcm88490_a0 {

// Forward-action profiles of four IPv4 error kinds; every snoop profile 0.
void IppbIpv4ActionProfilesCfgHwReg::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppbIpv4ActionProfilesCfgHwReg, key);
  Entry entry{EntryKey(0)};
  entry.actionProfileIpv4VersionErrorFwdIs(7);
  entry.actionProfileIpv4ChecksumErrorFwdIs(3);
  entry.actionProfileIpv4HeaderLengthErrorFwdIs(7);
  entry.actionProfileIpv4HasOptionsFwdIs(4);
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
