// What the catalogue knows about each table, as constant data.
//
// Every generated table unit defines one TableDescription from its table
// description file; the generic table logic (VovuAsicUtils::HwTableAccessor)
// and the host tools read it. catalogue::tables() lists all of them.
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>

#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "Ploom/CollectionInspector.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/AuditReport.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/TableManager.h"
#include "Wem/PerUnitBitmap.h"
#include "Zev/CharRange.h"
#include "tables/values/EntryKey.h"

namespace bcm88490_a0::catalogue {

enum class TableKind : std::uint8_t { direct, reg };
enum class KeyForm : std::uint8_t { indexed, value };
// How a download walks the shadow: every index, the present keys only, or
// one write per stored entry (register tables).
enum class Walk : std::uint8_t { full, partial, entryByEntry };

struct KeyDescription {
  KeyForm form;
  // Indexed form.
  std::uint8_t arrayIndexMin;
  std::uint8_t arrayIndexMax;
  std::uint32_t entryIndexMin;
  std::uint32_t entryIndexMax;
  // Value form: min 0, max the last entry index, null = max + 1.
  std::uint32_t min;
  std::uint32_t max;
  std::uint32_t null;
};

struct MemoryDescription {
  const char* name;
  std::uint8_t firstArrayIndex;
  std::uint8_t arrayCount;
  std::uint32_t firstEntryIndex;
  std::uint32_t entryCount;
  std::uint16_t entrySize;
  std::uint32_t block;
  std::uint32_t baseAddress;
  std::uint8_t firstInstanceId;
  std::uint16_t instanceCount;
  // Names of the values above picked for this catalogue where the chip's
  // documentation gives none ("block", "baseAddress", "firstInstanceId", "instanceCount").
  std::span<const char* const> chosen;
};

// A named field of the table's Entry, as its description gives it (an alias
// shows the offset, width and type of the field it names).
struct FieldDescription {
  const char* name;
  std::uint32_t offset;
  std::uint32_t width;
  const char* type;     // "U4", "unsigned char", "unsigned short", "Wem::PerUnitBitmap"
  const char* aliasOf;  // null unless the field is a second name of another
  bool subFields;       // reached through Asic::FieldAccessor
  bool vector;          // the whole data as a Wem::PerUnitBitmap
};

// The table's Entry reached through untyped storage of entryBytes bytes
// (aligned to 8), for hosts that handle every table alike. Field operations
// take an index into `fields` and go through the typed accessors, so values
// are range-checked exactly as in typed code.
struct ValueOps {
  std::size_t entryBytes;
  std::span<const FieldDescription> fields;
  void (*entryDefault)(void* out);
  // The entry with key (first, second) for an indexed key, (first) for a
  // value key, checked in 64 bits; all data 0. Throws Orvel::RangeException.
  void (*entryMake)(void* out, std::uint64_t first, std::uint64_t second);
  // The entry whose key is parsed from its string form; all data 0. Throws
  // Zev::ParseException or Orvel::RangeException.
  void (*entryParseKey)(void* out, std::string_view keyText);
  const std::uint8_t* (*data)(const void* entry);
  std::uint8_t* (*mutableData)(void* entry);
  // {arrayIndex, entryIndex} of an indexed key, {value, 0} of a value key.
  std::array<std::uint64_t, 2> (*keyParts)(const void* entry);
  std::string (*entryText)(const void* entry);
  std::string (*keyText)(const void* entry);
  std::uint32_t (*keyHash)(const void* entry, std::uint32_t seed);
  std::uint64_t (*fieldGet)(const void* entry, std::size_t field);
  void (*fieldIs)(void* entry, std::size_t field, std::uint64_t value);
  Wem::PerUnitBitmap (*vectorGet)(const void* entry, std::size_t field);
  void (*vectorIs)(void* entry, std::size_t field, const Wem::PerUnitBitmap& value);
  // Reads the shared-memory collection at `collectionPath` as this table's
  // entries, read-only (Ploom::inspectCollection).
  bool (*collectionInspect)(const std::string& collectionPath, const Ploom::EntryVisitor& visit,
                            Ploom::CollectionReport& report, bool check);
  // Follows the collection through a local shadow (Ploom::watchCollection).
  bool (*collectionWatch)(const std::string& collectionPath, const Ploom::ChangeVisitor& visit,
                          const std::function<bool()>& stop, double interval);
};

// Untyped storage for one entry of any table (ValueOps::entryBytes of every
// table fits; the catalogue's entries are at most 8-aligned).
struct EntryBuffer {
  alignas(8) std::byte bytes[512];
};

// A table's shadow operations reached through untyped entries (storage of
// ValueOps::entryBytes; a key is given as an entry holding it), for hosts
// that handle every table alike. They are the table's own typed operations,
// checks and messages included.
struct ShadowOps {
  void (*setEntry)(VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key, const void* entry);
  void (*getEntry)(const VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key,
                   const void* keyEntry, void* out);
  void (*deleteEntry)(VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key,
                      const void* keyEntry);
  Orvel::Ptr<SchanAccel::SchanCmds> (*schanCmds)(const VovuAsicUtils::HwCommonTableBase& table,
                                                 const VovuAsicUtils::HwShadowKey& key, const void* keyEntry);
  // Visits the shadow's entries in its iteration order; nothing when the table has no such shadow.
  void (*forEachEntry)(const VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key,
                       const std::function<void(const void* entry)>& visit);
  // The shadow's state path; empty for a register shadow or an unknown key.
  std::string (*path)(const VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key);
};

struct ReaderDescription {
  bool keyTakesArrayIndex;
  std::uint32_t bytesPerEntry;
};

using FreeFactory = Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> (*)(const Orvel::String&,
                                                                     const VovuAsicUtils::HwTableKey&,
                                                                     const Orvel::Ptr<VovuAsicUtils::TableManager>&);
using DescriptorFactory = Orvel::Ptr<VovuAsicUtils::BcmGroupAddrInfo> (*)();
// Audits a shadow of the table against its chip (VovuAsicUtils::auditShadow).
using AuditFunction =
    VovuAsicUtils::AuditReport (*)(const VovuAsicUtils::HwCommonTableBase& table, const VovuAsicUtils::HwShadowKey& key,
                                   const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager,
                                   const VovuAsicUtils::CommandExecutor& execute, bool repair);
using NameFunction = const Orvel::String& (*)();

struct TableDescription {
  const char* name;
  const char* typeName;
  const char* chipName;
  const char* tag;
  TableKind kind;
  const char* bcmName;  // bcmMemName() of a direct table, bcmRegName() of a register table
  const char* group;
  bool tablePlugin;
  bool parity;
  std::uint32_t entrySize;
  KeyDescription key;
  std::span<const MemoryDescription> memories;
  std::span<const std::uint32_t> blocks;
  Walk walk;
  ReaderDescription reader;
  const char* defaultsTrace;  // null: the table has no default contents
  const char* source;         // the description file the table was generated from

  const ValueOps* values;
  const ShadowOps* shadows;

  FreeFactory freeFactory;
  DescriptorFactory tableDescriptorFactory;
  NameFunction readerPluginName;  // the stored name of the table's reader plug-in object
  AuditFunction audit;
};

// The operations every table's Entry offers alike; the generator supplies the
// field dispatch and the key construction.
template <class Table>
constexpr ValueOps valueOps(std::span<const FieldDescription> fields,
                            std::uint64_t (*fieldGet)(const void*, std::size_t),
                            void (*fieldIs)(void*, std::size_t, std::uint64_t),
                            Wem::PerUnitBitmap (*vectorGet)(const void*, std::size_t),
                            void (*vectorIs)(void*, std::size_t, const Wem::PerUnitBitmap&),
                            void (*entryMake)(void*, std::uint64_t, std::uint64_t)) {
  using Entry = typename Table::Entry;
  return ValueOps{
      sizeof(Entry),
      fields,
      [](void* out) { new (out) Entry(); },
      entryMake,
      [](void* out, std::string_view text) {
        new (out) Entry(Zev::strepToValue<typename Table::EntryKey>(Orvel::String(text)));
      },
      [](const void* e) { return static_cast<const Entry*>(e)->data(); },
      [](void* e) { return static_cast<Entry*>(e)->data(); },
      [](const void* e) {
        const auto& key = static_cast<const Entry*>(e)->entryKey();
        if constexpr (Table::EntryKey::kIndexed) {
          return std::array<std::uint64_t, 2>{key.arrayIndex(), key.entryIndex()};
        } else {
          return std::array<std::uint64_t, 2>{key.value(), 0};
        }
      },
      [](const void* e) { return static_cast<const Entry*>(e)->strep(); },
      [](const void* e) { return static_cast<const Entry*>(e)->entryKey().strep(); },
      [](const void* e, std::uint32_t seed) { return values::keyHash(static_cast<const Entry*>(e)->entryKey(), seed); },
      fieldGet,
      fieldIs,
      vectorGet,
      vectorIs,
      &Ploom::inspectCollection<Entry>,
      &Ploom::watchCollection<Entry>,
  };
}

// Calls fn(first, second) for every key of the table's range: (arrayIndex,
// entryIndex) of an indexed key, (value, 0) of a value key, ascending, as
// ValueOps::entryMake takes them.
template <class Fn>
void forEachKey(const TableDescription& t, Fn&& fn) {
  if (t.key.form == KeyForm::indexed) {
    for (std::uint64_t a = t.key.arrayIndexMin; a <= t.key.arrayIndexMax; ++a) {
      for (std::uint64_t e = t.key.entryIndexMin; e <= t.key.entryIndexMax; ++e) fn(a, e);
    }
  } else {
    for (std::uint64_t v = t.key.min; v <= t.key.max; ++v) fn(v, 0);
  }
}

// Creates the descriptor's memory descriptions and their first instance from
// `description`, memory id 0 first.
void populateDescriptor(VovuAsicUtils::BcmGroupAddrInfo& descriptor, const TableDescription& description);

// Every table of the catalogue, in the order their units initialise (the
// order values of their descriptions).
std::span<const TableDescription* const> tables();
// The table named `name` (tableName()), or null.
const TableDescription* table(std::string_view name);

constexpr const char* kindText(TableKind kind) { return kind == TableKind::direct ? "direct" : "register"; }
constexpr const char* walkText(Walk walk) {
  return walk == Walk::full ? "full" : walk == Walk::partial ? "partial" : "entryByEntry";
}

}  // namespace bcm88490_a0::catalogue

// The catalogue as a host finds it with dlsym in the loaded plug-in.
extern "C" const bcm88490_a0::catalogue::TableDescription* const* bcm88490_a0_catalogue(std::size_t* count);
