// The default contents two prefix tables share (IppfVsiPrefixIndexTableHwDirect,
// EtppcTermVsdArrPrefixTableHwDirect): entries 0 to 6 from the table's copy of
// j3VsiPrefixIndexTableDefaults, then entry 7 with the table's own prefix.
#pragma once

#include <array>
#include <cstdint>

#include "Orvel/Format.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "Zev/TraceHandle.h"

namespace bcm88490_a0::defaults {

// Eight values; the eighth is not used (entry 7 gets the table's own prefix).
inline constexpr std::array<std::uint32_t, 8> kJ3VsiPrefixIndexTableDefaults = {0, 0x1C0000, 0x180000, 0,
                                                                                0, 0,        0x180000, 0};

Zev::TraceHandle& vsiPrefixIndexCommonTraceHandle();

template <class Table>
void userInitHwTableCommon(Table& table, const VovuAsicUtils::HwShadowKey& key,
                           const std::array<std::uint32_t, 8>& defaults, std::uint32_t lastPrefix) {
  ORVEL_TRACE(vsiPrefixIndexCommonTraceHandle(), 2, "userInitHwTableCommon", "{} hwShadowKey: {}", Table::tableName(),
              key);
  for (std::uint32_t index = 0; index < 7; ++index) {
    typename Table::Entry entry{typename Table::EntryKey(index)};
    entry.prefixIs(defaults[index] & 0x1FFFFF);
    table.setEntry(key, entry);
  }
  typename Table::Entry last{typename Table::EntryKey(7)};
  last.prefixIs(lastPrefix);
  table.setEntry(key, last);
}

}  // namespace bcm88490_a0::defaults
