// Pieces the default-content units share.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "Orvel/BoundedUnsigned.h"
#include "Orvel/Format.h"
#include "VovuAsicUtils/HwTableAccessor.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "Wem/PerUnitBitmap.h"

// The first trace of every userInitHwTable with default contents, on the
// table's default-contents handle.
#define VOVU_DEFAULTS_TRACE(Table, key) VOVU_USER_INIT_TRACE(Table::_defaultsTraceHandle(), Table::tableName(), (key))

namespace bcm88490_a0::defaults {

// One (a, b, v) triple of a routing-enable vector: value v in two-bit slot 2a + b.
struct RouteTriple {
  std::uint32_t a;
  std::uint32_t b;
  std::uint32_t value;
};

// A fresh bitmap with every triple or-ed in, in order, at bit ((2a + b) x 2) mod 256.
inline Wem::PerUnitBitmap routeVector(std::initializer_list<RouteTriple> triples) {
  Wem::PerUnitBitmap bitmap;
  for (const RouteTriple& t : triples) bitmap.bitsOr(((2 * t.a + t.b) * 2) % 256, t.value, 2);
  return bitmap;
}

// VSI v's routing profile lives in field v mod 4 of entry (arrayIndex, v div 4):
// read the entry, set the one field, write it back.
template <class Table>
void writeVsiProfiles(Table& table, const VovuAsicUtils::HwShadowKey& key, std::uint8_t arrayIndex,
                      std::initializer_list<std::pair<const std::uint8_t, std::uint8_t>> vsiToProfile) {
  for (const auto& [vsi, profile] : vsiToProfile) {
    const typename Table::EntryKey entryKey(arrayIndex, vsi / 4u);
    typename Table::Entry entry = table.getEntry(key, entryKey);
    const Orvel::U4 checked(profile);
    entry.routingProfileIs(vsi % 4u, checked);
    table.setEntry(key, entry);
  }
}

}  // namespace bcm88490_a0::defaults
