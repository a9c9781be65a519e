// Default contents of IppaRoutingProfileToVectorMapHwDirect.
#include "Common/DefaultContents.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"

namespace bcm88490_a0 {

// One vector, entry (2, 2): routing enabled (11) for routing profiles 1, 2, 3, 4, 8, 9, 15, 20, 22 and 63.
void IppaRoutingProfileToVectorMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppaRoutingProfileToVectorMapHwDirect, key);
  Entry entry{EntryKey(2, 2)};
  entry.routingEnableVectorIs(defaults::routeVector({{1, 0, 3},
                                                     {2, 0, 3},
                                                     {3, 0, 3},
                                                     {4, 0, 3},
                                                     {8, 0, 3},
                                                     {9, 0, 3},
                                                     {15, 0, 3},
                                                     {20, 0, 3},
                                                     {22, 0, 3},
                                                     {63, 0, 3}}));
  setEntry(key, entry);
}

}  // namespace bcm88490_a0
