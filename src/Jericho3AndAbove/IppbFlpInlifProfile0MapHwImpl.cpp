// Default contents of IppbFlpInlifProfile0MapHwDirect.
#include "Common/DefaultContents.h"
#include "IppbFlpInlifProfile0MapHwDirect.h"

namespace bcm88490_a0 {

// Every in-LIF profile maps to 1, then 240 is written 1 again, 241 0 and 242 1.
void IppbFlpInlifProfile0MapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppbFlpInlifProfile0MapHwDirect, key);
  const auto write = [&](std::uint32_t index, unsigned char profile) {
    Entry entry{EntryKey(index)};
    entry.csInlifProfile0Is(profile);
    setEntry(key, entry);
  };
  for (std::uint32_t index = 0; index <= EntryKey::max; ++index) write(index, 1);
  write(240, 1);
  write(241, 0);
  write(242, 1);
}

}  // namespace bcm88490_a0
