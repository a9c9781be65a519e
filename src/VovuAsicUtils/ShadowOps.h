// VovuAsicUtils::shadowOps<Table>(): a table's shadow operations behind the
// untyped catalogue interface (catalogue::ShadowOps).
#pragma once

#include <functional>
#include <string>

#include "VovuAsicUtils/HwTableAccessor.h"
#include "VovuAsicUtils/TableDescription.h"

namespace VovuAsicUtils {

template <class Table>
constexpr bcm88490_a0::catalogue::ShadowOps shadowOps() {
  using Entry = typename Table::Entry;
  using Shadow = typename Table::Shadow;
  return bcm88490_a0::catalogue::ShadowOps{
      [](HwCommonTableBase& table, const HwShadowKey& key, const void* entry) {
        static_cast<Table&>(table).setEntry(key, *static_cast<const Entry*>(entry));
      },
      [](const HwCommonTableBase& table, const HwShadowKey& key, const void* keyEntry, void* out) {
        *static_cast<Entry*>(out) =
            static_cast<const Table&>(table).getEntry(key, static_cast<const Entry*>(keyEntry)->entryKey());
      },
      [](HwCommonTableBase& table, const HwShadowKey& key, const void* keyEntry) {
        static_cast<Table&>(table).deleteEntry(key, static_cast<const Entry*>(keyEntry)->entryKey());
      },
      [](const HwCommonTableBase& table, const HwShadowKey& key, const void* keyEntry) {
        return static_cast<const Table&>(table).schanCmds(key, static_cast<const Entry*>(keyEntry)->entryKey());
      },
      [](const HwCommonTableBase& table, const HwShadowKey& key, const std::function<void(const void*)>& visit) {
        const Orvel::Ptr<const Shadow> shadow = static_cast<const Table&>(table).shadowConst(key);
        if (!shadow) return;
        if constexpr (Table::kRegisterTable) {
          const typename Entry::EntryKey entryKey(0);
          if (shadow->present(entryKey)) {
            const Entry entry = shadow->getEntry(entryKey);
            visit(&entry);
          }
        } else {
          if (!shadow->entryStorage()) return;
          using Storage = typename Shadow::Storage;
          for (typename Storage::IteratorConst it(shadow->entryStorage()->map()); it.valid(); it.advance())
            visit(&it.value());
        }
      },
      [](const HwCommonTableBase& table, const HwShadowKey& key) -> std::string {
        if constexpr (Table::kRegisterTable) {
          return "";
        } else {
          const Orvel::Ptr<const Shadow> shadow = static_cast<const Table&>(table).shadowConst(key);
          return shadow ? shadow->path() : "";
        }
      },
  };
}

}  // namespace VovuAsicUtils
