// VovuAsicUtils::HwTableAccessor<Table>: the table-object logic every table
// shares, parameterised by the generated table class.
//
// Table must provide tableName(), tableTypeName(), description() (its
// catalogue::TableDescription), _defaultTraceHandle(), a nested
// TableDescriptor, and a constructor (name, key, tableManager) that calls
// handleInitialized() itself: the most-derived class runs the hooks, never a
// base constructor or destructor through virtual dispatch.
#pragma once

#include "Orvel/Format.h"
#include "Orvel/Ptr.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/TableManager.h"
#include "tables/TableDescription.h"

namespace VovuAsicUtils {

template <class Table>
struct HwTableAccessor {
  // The registered table factory: the table the manager already holds for
  // (tableName(), rev) with one more reference, or a new one. A new table is
  // not added to the manager; that is the host's business. `mdbTableManager`
  // is not used. A failure while the new table is built releases it (and its
  // allocation count) before the exception propagates.
  static Orvel::Ptr<HwCommonTableBase> factory(const FapRevision& rev, const Orvel::Ptr<TableManager>& tableManager,
                                               const Orvel::Ptr<VovuMdb::TableManager>& /*mdbTableManager*/) {
    HwTableKey key(Table::tableName(), rev);
    if (HwCommonTableBase* held = tableManager ? tableManager->hwTableColl(key) : nullptr) {
      return Orvel::Ptr<HwCommonTableBase>(held);
    }
    return Orvel::Ptr<HwCommonTableBase>(new Table(Table::tableName(), key, tableManager));
  }

  // The table's initialisation: shadow attributes, descriptor, chip blocks.
  static void handleInitialized(Table& table) {
    const auto& description = Table::description();
    ORVEL_TRACE(Table::_defaultTraceHandle(), 8, Table::tableName(), "");
    table.shadowDownloadOnInitIs(1);
    table.shadowAuditableIs(1);
    table.shadowModeIs(ShadowMode::perInstance);
    table.overrideShadowAttributes();
    table.tableDescriptorIs(Table::tableDescriptorFactory());
    table.entriesPerWriteIs(1);
    if (description.kind == bcm88490_a0::catalogue::TableKind::direct) {
      for (std::uint32_t block : description.blocks) table.tableBlocksIs(static_cast<Hardware::Block>(block));
      table.addHwTableShadowInfo();
    }
  }

  // Run by the table's destructor before the base is destroyed.
  static void onDelete(Table& table) noexcept {
    ORVEL_TRACE(Table::_defaultTraceHandle(), 8, Table::tableName(), "");
    if (Table::description().kind == bcm88490_a0::catalogue::TableKind::direct) table.delHwTableShadowInfo();
  }
};

}  // namespace VovuAsicUtils
