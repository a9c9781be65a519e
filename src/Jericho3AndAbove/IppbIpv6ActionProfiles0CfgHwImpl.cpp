// Default contents of IppbIpv6ActionProfiles0CfgHwReg.
#include "Common/DefaultContents.h"
#include "IppbIpv6ActionProfiles0CfgHwReg.h"
#include "NvToggles/Toggles.h"

namespace bcm88490_a0 {

namespace {
// Read once per process and kept.
bool v6LinkLocalSrcPuntToCpu() {
  static const bool on = getToggleState("V6LinkLocalSrcPuntToCpu", "Vovu.json", true);
  return on;
}
}  // namespace

// Forward-action profiles of five IPv6 error kinds, and link-local sources
// punted (7) while the "V6LinkLocalSrcPuntToCpu" toggle is on.
void IppbIpv6ActionProfiles0CfgHwReg::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppbIpv6ActionProfiles0CfgHwReg, key);
  Entry entry{EntryKey(0)};
  entry.actionProfileIpv6NextHeaderNullFwdIs(3);
  entry.actionProfileIpv6VersionErrorFwdIs(7);
  entry.actionProfileIpv6UnspecifiedDestinationFwdIs(7);
  entry.actionProfileIpv6MulticastSourceFwdIs(7);
  entry.actionProfileIpv6UnspecifiedSourceFwdIs(4);
  if (v6LinkLocalSrcPuntToCpu()) entry.actionProfileIpv6LinkLocalSourceFwdIs(7);
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
