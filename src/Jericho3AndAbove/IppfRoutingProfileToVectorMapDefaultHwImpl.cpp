// Default contents of IppfRoutingProfileToVectorMapHwDirect.
#include "Common/DefaultContents.h"
#include "IppfRoutingProfileToVectorMapHwDirect.h"

namespace bcm88490_a0 {

// Two vectors, each from a fresh bitmap: entry (1, 1) and entry (1, 2).
void IppfRoutingProfileToVectorMapHwDirect::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_DEFAULTS_TRACE(IppfRoutingProfileToVectorMapHwDirect, key);
  Entry first{EntryKey(1, 1)};
  first.routingEnableVectorIs(defaults::routeVector({{1, 0, 3}}));
  setEntry(key, first);
  Entry second{EntryKey(1, 2)};
  second.routingEnableVectorIs(defaults::routeVector({{2, 0, 3}, {3, 0, 3}, {4, 0, 3}, {9, 0, 3}}));
  setEntry(key, second);
}

}  // namespace bcm88490_a0
