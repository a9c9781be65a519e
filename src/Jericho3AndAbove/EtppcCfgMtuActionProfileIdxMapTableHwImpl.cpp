// Default contents of EtppcCfgMtuActionProfileIdxMapTableHwDirect.
#include "Common/DefaultContents.h"
#include "EtppcCfgMtuActionProfileIdxMapTableHwDirect.h"
#include "VovuPPExport/EgressProfiles.h"

namespace bcm88490_a0 {

// Entry 0: forward strength 7 and the chip's egress forward-action profile 6.
// A profile value that does not fit 4 bits stops the routine before the write.
void EtppcCfgMtuActionProfileIdxMapTableHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(EtppcCfgMtuActionProfileIdxMapTableHwDirect, key);
  constexpr std::uint32_t kProfileSelector = 6;
  Entry entry{EntryKey(0)};
  entry.mtuFwdActionStrengthIs(7);
  const std::uint8_t profile =
      VovuPPExport::egress_fwd_action_profile_value(fapRevision().chipType(), kProfileSelector);
  entry.mtuActionProfileIs(Orvel::U4(profile));
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
