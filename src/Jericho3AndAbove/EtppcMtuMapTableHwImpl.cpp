// Default contents of EtppcMtuMapTableHwDirect.
#include "Common/DefaultContents.h"
#include "EtppcMtuMapTableHwDirect.h"

namespace bcm88490_a0 {

// Every MTU profile 0..127: the largest MTU (16383 bytes), action profile index 0.
void EtppcMtuMapTableHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(EtppcMtuMapTableHwDirect, key);
  for (std::uint32_t index = 0; index <= EntryKey::max; ++index) {
    Entry entry{EntryKey(index)};
    entry.mtuByteSizeIs(16383);
    entry.mtuActionProfileIdxIs(0);
    setEntry(key, entry);
  }
}

}  // namespace bcm88490_a0
