// VovuAsicUtils::HwTableAccessor<Table>: the table-object logic every table
// shares, parameterised by the generated table class.
//
// Table must provide tableName(), tableTypeName(), description() (its
// catalogue::TableDescription), _defaultTraceHandle(), a nested
// TableDescriptor, a nested Shadow (on ShadowAccessor or
// RegisterShadowAccessor, with shadowFactory), userInitHwTable, and a
// constructor (name, key, tableManager) that calls handleInitialized() itself:
// the most-derived class runs the hooks, never a base constructor or
// destructor through virtual dispatch.
//
// The four entry operations check the shadow key first: a key the table does
// not hold, or a shadow of another type, is a graceful assertion (strict mode:
// the process ends) whose text names this file and the fixed line of the
// check (CheckSite); setEntry and deleteEntry count the entry before the check.
// A shadow whose collection is gone refuses every operation (the shadow
// accessor's check), and setEntry and deleteEntry ask it before they count.
//
// The shadow and entry operations trace on the instance's own handle,
// "<Table>.HwTableAccessor" (_defaultTraceHandle); the table's own hooks
// (handleInitialized, onDelete) on the table's handle, "<Table>".
#pragma once

#include <string>
#include <utility>

#include "Asic/GracefulAssert.h"
#include "Asic/LogEntryWrapper.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Orvel/Ptr.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/ShadowAccessor.h"
#include "VovuAsicUtils/TableDescription.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

// The source file and lines the table operations' traces and checks report.
inline constexpr const char* kHwTableAccessorFile = "VovuAsicUtils/HwTableAccessor.h";
struct CheckSite {
  int trace;       // the operation's entry trace
  int collection;  // hwShadowCollHas( hwShadowKey )
  int pointer;     // shadow
};
inline constexpr CheckSite kSetEntrySite{364, 369, 376};
inline constexpr CheckSite kGetEntrySite{385, 389, 396};
inline constexpr CheckSite kDeleteEntrySite{406, 413, 420};
inline constexpr CheckSite kSchanCmdsSite{430, 434, 441};

// The first trace of every userInitHwTable, at level 2 on `handle`: the
// function's full signature and the shadow key. The signature is taken in the
// function itself, outside the trace statement's own scope.
#define VOVU_USER_INIT_TRACE(handle, tag, key)                                            \
  do {                                                                                    \
    const char* const vovuUserInitSignature_ = __PRETTY_FUNCTION__;                       \
    ORVEL_TRACE((handle), 2, (tag), "{} hwShadowKey: {}", vovuUserInitSignature_, (key)); \
  } while (0)

// The entry trace of a table operation at the operation's fixed line; `what`
// (an entry or a key) is printed only when the trace is enabled.
#define VOVU_TABLE_OPERATION_TRACE(table, site, key, what)                                              \
  VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kHwTableAccessorFile, (site).trace, Table::tableName(), \
                      " shadowName : {} hwShadowKey {} entry : {}", (table).shadowName(key), (key), (what).strep())

template <class Table>
struct HwTableAccessor {
  // The trace handle of the table's shadow and entry operations, "<Table>.HwTableAccessor".
  static Zev::TraceHandle& _defaultTraceHandle() {
    static Zev::TraceHandle handle(accessorTraceHandleName(Table::tableName(), "HwTableAccessor"));
    return handle;
  }

  // The registered table factory: the table the manager already holds for
  // (tableName(), rev) with one more reference, or a new one. A new table is
  // not added to the manager; that is the host's business. `mdbTableManager`
  // is not used. A failure while the new table is built releases it (and its
  // allocation count) before the exception propagates.
  static Orvel::Ptr<HwCommonTableBase> factory(const FapRevision& rev, const Orvel::Ptr<TableManager>& tableManager,
                                               const Orvel::Ptr<VovuMdb::TableManager>& /*mdbTableManager*/) {
    HwTableKey key(Table::tableName(), rev);
    // The manager holds plain pointers, and a table leaves it only late in
    // its destruction: one whose count already reached zero is not handed out
    // again (that would destroy it twice); it counts as not held.
    if (HwCommonTableBase* held = tableManager ? tableManager->hwTableColl(key) : nullptr) {
      if (Orvel::Ptr<HwCommonTableBase> live = Orvel::ptrIfLive(held)) return live;
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

  // The shadow operations below are templates over T = Table, so that the
  // factory alone serves tables that have no shadows.
  template <class T = Table>
  static void addShadow(T& table, const HwShadowKey& key) {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kHwTableAccessorFile, __LINE__, Table::tableName(),
                        " fapId: {} fapRevision: {} tableName: {}", key.fapId(), table.fapRevision(),
                        Table::tableName());
    if (table.hwShadowCollHas(key)) {
      VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 3, kHwTableAccessorFile, __LINE__, Table::tableName(),
                          " fapId: {} shadowSize {}", key.fapId(), table.tableDescriptor()->minShadowSize());
      return;
    }
    const Orvel::Ptr<TableManager>& manager = table.hwTableManager();
    if (!manager) {
      throw Orvel::InvalidInitializeException(
          fmt::format("{}: no table manager to take shadow objects from", Table::tableName()));
    }
    const Orvel::String name =
        Orvel::String(table.fapRevision().revString()) + table.tableDescriptor()->firstMemInfo()->name().view();
    const auto status = manager->status();
    const auto cmdletRequiredStatus = manager->cmdletRequiredStatus();
    Orvel::Ptr<typename T::Shadow> shadow;
    if constexpr (Table::kRegisterTable) {
      shadow = Table::shadowFactory(name, key, table.fapRevision(), table.tableDescriptor(), status,
                                    cmdletRequiredStatus, manager->regShadowEntryStorage(), Table::tableTypeName());
    } else {
      const auto dmaMemPoolManager = manager->dmaMemPoolManager();
      const auto entityManager = manager->entityManager();
      shadow = Table::shadowFactory(name, key, table.fapRevision(), table.tableDescriptor(), status,
                                    cmdletRequiredStatus, dmaMemPoolManager, entityManager, Table::tableTypeName());
    }
    table.hwShadowCollIs(shadow);
    table.initShadow(key);
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 3, kHwTableAccessorFile, __LINE__, Table::tableName(),
                        " fapId: {} shadowSize {}", key.fapId(), table.tableDescriptor()->minShadowSize());
  }

  static void initShadow(Table& table, const HwShadowKey& key) {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kHwTableAccessorFile, __LINE__, Table::tableName(),
                        " hwShadowKey: {}", key);
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 3, kHwTableAccessorFile, __LINE__, Table::tableName(),
                        "Calling userInitHwTable");
    table.userInitHwTable(key);
  }

  // The shadow of `key` when the table holds one of its own type, else null.
  template <class T = Table>
  static Orvel::Ptr<typename T::Shadow> shadow(const T& table, const HwShadowKey& key) {
    return Orvel::dynamicPtrCast<typename T::Shadow>(table.hwShadowColl(key));
  }

  // setEntry and deleteEntry count the entry before the shadow checks, but a
  // shadow whose collection is gone refuses before anything is counted.
  template <class T = Table>
  static void setEntry(T& table, const HwShadowKey& key, const typename T::Entry& entry) {
    VOVU_TABLE_OPERATION_TRACE(table, kSetEntrySite, key, entry);
    Orvel::Ptr<typename T::Shadow> s = shadowBeforeCounting(table, key);
    table.hwTableStats().entryAddCntInc(1);
    checkedShadow(table, key, kSetEntrySite, std::move(s))->setEntry(entry);
  }

  template <class T = Table>
  static typename T::Entry getEntry(const T& table, const HwShadowKey& key, const typename T::EntryKey& entryKey) {
    VOVU_TABLE_OPERATION_TRACE(table, kGetEntrySite, key, entryKey);
    return checkedShadow(table, key, kGetEntrySite, shadow(table, key))->getEntry(entryKey);
  }

  template <class T = Table>
  static void deleteEntry(T& table, const HwShadowKey& key, const typename T::EntryKey& entryKey) {
    VOVU_TABLE_OPERATION_TRACE(table, kDeleteEntrySite, key, entryKey);
    Orvel::Ptr<typename T::Shadow> s = shadowBeforeCounting(table, key);
    table.hwTableStats().entryDelCntInc(1);
    checkedShadow(table, key, kDeleteEntrySite, std::move(s))->deleteEntry(entryKey);
  }

  template <class T = Table>
  static Orvel::Ptr<SchanAccel::SchanCmds> schanCmds(const T& table, const HwShadowKey& key,
                                                     const typename T::EntryKey& entryKey,
                                                     const Orvel::Ptr<Asic::LogEntryWrapperBase>& logEntry) {
    VOVU_TABLE_OPERATION_TRACE(table, kSchanCmdsSite, key, entryKey);
    Orvel::Ptr<typename T::Shadow> s = checkedShadow(table, key, kSchanCmdsSite, shadow(table, key));
    return s->schanCmds(table.getFapmask(key), table.fapRevision(), entryKey, false, logEntry);
  }

  // Run by the table's destructor before the base is destroyed.
  static void onDelete(Table& table) noexcept {
    ORVEL_TRACE(Table::_defaultTraceHandle(), 8, Table::tableName(), "");
    if (Table::description().kind == bcm88490_a0::catalogue::TableKind::direct) table.delHwTableShadowInfo();
  }

 private:
  // `s`, the shadow(key) of the table, once the shadow checks hold.
  template <class T = Table>
  static Orvel::Ptr<typename T::Shadow> checkedShadow(const T& table, const HwShadowKey& key, const CheckSite& site,
                                                      Orvel::Ptr<typename T::Shadow> s) {
    ASIC_CHECK_AT(kHwTableAccessorFile, site.collection, table.hwShadowCollHas(key), "hwShadowCollHas( hwShadowKey )",
                  "hwShadowKey {}{}", key, " does not exist in the shadow collection");
    ASIC_CHECK_AT(kHwTableAccessorFile, site.pointer, s != nullptr, "shadow", "No shadow in hwShadowColl for {}", key);
    return s;
  }

  // shadow(key), refused (graceful assertion) when its collection is gone.
  template <class T = Table>
  static Orvel::Ptr<typename T::Shadow> shadowBeforeCounting(const T& table, const HwShadowKey& key) {
    Orvel::Ptr<typename T::Shadow> s = shadow(table, key);
    if (s) s->checkCollection();
    return s;
  }
};

}  // namespace VovuAsicUtils

#undef VOVU_TABLE_OPERATION_TRACE
