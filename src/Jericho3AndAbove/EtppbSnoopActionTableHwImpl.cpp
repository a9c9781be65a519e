// Default contents of EtppbSnoopActionTableHwReg.
#include "Common/DefaultContents.h"
#include "EtppbSnoopActionTableHwReg.h"

namespace bcm88490_a0 {

// Snoop-action entry 1 only (reads 0x1B1); entries 0 and 2 to 15 stay 0.
void EtppbSnoopActionTableHwReg::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(EtppbSnoopActionTableHwReg, key);
  Entry entry{EntryKey(0)};
  entry.snoopActionValid1Is(1);
  entry.snoopProbabilityIdx1Is(0);
  entry.snoopPriority1Is(1);
  entry.snoopAppendOriginalFtmh1Is(1);
  entry.snoopCropPacket1Is(1);
  entry.snoopRecycleCmd1Is(1);
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
