"""Emits a table class: identity, factories, construction and destruction."""
from __future__ import annotations

from emit_common import cpp_string, fill, indent
from model import Table

SHADOW_PARAMS = {
    False: """const Orvel::String& name, const VovuAsicUtils::HwShadowKey& key,
      const VovuAsicUtils::FapRevision& fapRevision, const Orvel::Ptr<VovuAsicUtils::BcmGroupAddrInfo>& descriptor,
      const Orvel::Ptr<Hardware::Vovu::Status>& status,
      const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
      const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
      const Orvel::Ptr<Tolvane::EntityManager>& entityManager, const Orvel::String& hwTableName""",
    True: """const Orvel::String& name, const VovuAsicUtils::HwShadowKey& key,
      const VovuAsicUtils::FapRevision& fapRevision, const Orvel::Ptr<VovuAsicUtils::BcmGroupAddrInfo>& descriptor,
      const Orvel::Ptr<Hardware::Vovu::Status>& status,
      const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
      const Orvel::Ptr<VovuAsicUtils::RegShadowEntryStorage>& regShadowEntryStorage, const Orvel::String& hwTableName""",
}
SHADOW_ARGS = {
    False: "name, key, fapRevision, descriptor, status, cmdletRequiredStatus, dmaMemPoolManager, entityManager, "
           "hwTableName",
    True: "name, key, fapRevision, descriptor, status, cmdletRequiredStatus, regShadowEntryStorage, hwTableName",
}

DIRECT_SHADOW = """
// One chip instance of the table. Its entries live in its EntryStorage, a
// shared-memory collection mounted at the shadow's state path.
class Shadow : public $accessor_base {
 public:
  ORVEL_SLAB_ALLOCATED("$type_name::Shadow")

  // The entity that owns the shadow's entry collection.
  class EntryStorage : public ZevPloom::EntryStorage<Entry> {
   public:
    ORVEL_SLAB_ALLOCATED("$type_name::Shadow::EntryStorage")
    using ZevPloom::EntryStorage<Entry>::EntryStorage;
    static Orvel::Ptr<EntryStorage> EntryStorageIs(const Orvel::String& name);
  };

  // Mounts the collection, empties it and sets up the default entry.
  Shadow($shadow_params);
  // Releases the default entry, deletes every entry and unmounts the collection.
  ~Shadow() override;
  static Orvel::Ptr<EntryStorage> entryStorageFactory(const Orvel::String& name);
};
"""

REGISTER_SHADOW = """
// One chip instance of the table. Its one entry (key 0) lives in the table
// manager's register entry storage.
class Shadow : public VovuAsicUtils::RegisterShadowAccessor<Entry> {
 public:
  ORVEL_SLAB_ALLOCATED("$type_name::Shadow")

  Shadow($shadow_params);
  ~Shadow() override;
};
"""

SHADOW_DEFINITIONS = """
$table::Shadow::Shadow($shadow_params)
    : $accessor_base($shadow_args) {
  handleInitialized();
  flagIs(Orvel::Node::kLiveFlag, true);
}

$table::Shadow::~Shadow() {
  flagIs(Orvel::Node::kLiveFlag, false);
  onDelete();
}
"""

ENTRY_STORAGE_DEFINITIONS = """
Orvel::Ptr<$table::Shadow::EntryStorage> $table::Shadow::EntryStorage::EntryStorageIs(const Orvel::String& name) {
  return Orvel::Ptr<EntryStorage>(new EntryStorage(name));
}

Orvel::Ptr<$table::Shadow::EntryStorage> $table::Shadow::entryStorageFactory(const Orvel::String& name) {
  return EntryStorage::EntryStorageIs(name);
}

namespace {
Orvel::Ptr<ZevPloom::Entity> entryStorageEntity(const Orvel::String& name) {
  return $table::Shadow::entryStorageFactory(name);
}
// The mount of a shadow's state path creates its entry storage by this type name.
const ZevSharedMem::EntityTypeRegistration entryStorageType("$type_name::Shadow::EntryStorage", &entryStorageEntity);
}  // namespace
"""

OPERATIONS_DECLARATION = """
  // Shadows (one per HwShadowKey) and their entries.
  void addShadow(const VovuAsicUtils::HwShadowKey& key) override;
  void initShadow(const VovuAsicUtils::HwShadowKey& key) override;
  Orvel::Ptr<Shadow> shadow(const VovuAsicUtils::HwShadowKey& key) const;
  Orvel::Ptr<const Shadow> shadowConst(const VovuAsicUtils::HwShadowKey& key) const;
  static Orvel::Ptr<Shadow> shadowFactory($shadow_params);
  void setEntry(const VovuAsicUtils::HwShadowKey& key, const Entry& entry);
  void deleteEntry(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey);
  Entry getEntry(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey) const;
  // The batch that brings the hardware entry of `entryKey` in line with the shadow; null when none applies.
  Orvel::Ptr<SchanAccel::SchanCmds> schanCmds(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey,
      const Orvel::Ptr<Asic::LogEntryWrapperBase>& logEntry = nullptr) const;
  // The table's default contents, written into the shadow of `key` with setEntry.
  void userInitHwTable(const VovuAsicUtils::HwShadowKey& key);
$defaults_handle_declaration"""

OPERATIONS_DEFINITIONS = """
void $table::addShadow(const VovuAsicUtils::HwShadowKey& key) { Accessor::addShadow(*this, key); }

void $table::initShadow(const VovuAsicUtils::HwShadowKey& key) { Accessor::initShadow(*this, key); }

Orvel::Ptr<$table::Shadow> $table::shadow(const VovuAsicUtils::HwShadowKey& key) const {
  return Accessor::shadow(*this, key);
}

Orvel::Ptr<const $table::Shadow> $table::shadowConst(const VovuAsicUtils::HwShadowKey& key) const {
  return Orvel::Ptr<const Shadow>(Accessor::shadow(*this, key).ptr());
}

Orvel::Ptr<$table::Shadow> $table::shadowFactory($shadow_params) {
  return Orvel::Ptr<Shadow>(new Shadow($shadow_args));
}

void $table::setEntry(const VovuAsicUtils::HwShadowKey& key, const Entry& entry) {
  Accessor::setEntry(*this, key, entry);
}

void $table::deleteEntry(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey) {
  Accessor::deleteEntry(*this, key, entryKey);
}

$table::Entry $table::getEntry(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey) const {
  return Accessor::getEntry(*this, key, entryKey);
}

Orvel::Ptr<SchanAccel::SchanCmds> $table::schanCmds(const VovuAsicUtils::HwShadowKey& key, const EntryKey& entryKey,
    const Orvel::Ptr<Asic::LogEntryWrapperBase>& logEntry) const {
  return Accessor::schanCmds(*this, key, entryKey, logEntry);
}
$defaults_definitions"""

DEFAULTS_HANDLE_DEFINITION = """
Zev::TraceHandle& $table::_defaultsTraceHandle() {
  static Zev::TraceHandle handle("$defaults_trace");
  return handle;
}
"""

NO_DEFAULTS_DEFINITION = """
// The table has no default contents.
void $table::userInitHwTable(const VovuAsicUtils::HwShadowKey& key) {
  VOVU_USER_INIT_TRACE(_defaultTraceHandle(), tableName(), key);
}
"""

DECLARATION = """
// $description_line
class $table : public VovuAsicUtils::HwDirectTableBase {
 public:
  ORVEL_SLAB_ALLOCATED("$type_name")

$nested
  static constexpr bool kRegisterTable = $register;
$shadow
  static const catalogue::TableDescription& description();
  static constexpr const char* tableName() { return "$table"; }
  static constexpr const char* tableTypeName() { return "$type_name"; }
  static constexpr const char* tag() { return "noTag"; }
  static constexpr const char* $bcm_operation() { return $bcm_name; }
  static Zev::TraceHandle& _defaultTraceHandle();

  const char* chipName() const override { return "bcm88490_a0"; }
$parity_operation  std::uint32_t entryDataMaxSize() const override { return $entry_size; }
  std::uint32_t entryDataMaxSizeBits() const override { return $entry_size_bits; }
$operations
$factory_declaration
  // Builds the table under `name` and `key` and initialises it; $standalone_note
  $table(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
      const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager);
  static Orvel::Ptr<$table> ${table}Is(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
      const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager);
  static Orvel::Ptr<TableDescriptor> tableDescriptorFactory();
  ~$table() override;

 private:
  using Accessor = VovuAsicUtils::HwTableAccessor<$table>;
  friend struct VovuAsicUtils::HwTableAccessor<$table>;
  void handleInitialized();
  void onDelete() noexcept;
};

// Always creates a new $table under the given name and key.
Orvel::Ptr<$table> ${lower_table}Factory(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager);
"""

FACTORY_DECLARATION = """
  // The registered table factory: the table the manager holds for (tableName(), rev), or a new one.
  static Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> factory(const VovuAsicUtils::FapRevision& rev,
      const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager,
      const Orvel::Ptr<VovuMdb::TableManager>& mdbTableManager);
"""

FACTORY_DEFINITION = """
Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> $table::factory(const VovuAsicUtils::FapRevision& rev,
    const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager,
    const Orvel::Ptr<VovuMdb::TableManager>& mdbTableManager) {
  return VovuAsicUtils::HwTableAccessor<$table>::factory(rev, tableManager, mdbTableManager);
}
"""

DEFINITIONS = """
const catalogue::TableDescription& $table::description() { return kDescription; }

Zev::TraceHandle& $table::_defaultTraceHandle() {
  static Zev::TraceHandle handle("$table");
  return handle;
}
$factory_definition
$table::$table(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager)
    : VovuAsicUtils::HwDirectTableBase(name, key, tableManager) {
  handleInitialized();
$standalone_statement  flagIs(Orvel::Node::kLiveFlag, true);
}

Orvel::Ptr<$table> $table::${table}Is(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager) {
  return Orvel::Ptr<$table>(new $table(name, key, tableManager));
}

Orvel::Ptr<$table> ${lower_table}Factory(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager) {
  return Orvel::Ptr<$table>(new $table(name, key, tableManager));
}

$table::~$table() {
  flagIs(Orvel::Node::kLiveFlag, false);
  onDelete();
}

void $table::handleInitialized() { VovuAsicUtils::HwTableAccessor<$table>::handleInitialized(*this); }

void $table::onDelete() noexcept { VovuAsicUtils::HwTableAccessor<$table>::onDelete(*this); }
$shadow_definitions$operations_definitions
namespace {
Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> freeFactory(const Orvel::String& name,
    const VovuAsicUtils::HwTableKey& key, const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager) {
  return ${lower_table}Factory(name, key, tableManager);
}
Orvel::Ptr<VovuAsicUtils::BcmGroupAddrInfo> descriptorFactory() { return $table::tableDescriptorFactory(); }
}  // namespace
"""


def _accessor_base(t: Table) -> str:
    """The accessor template a table's Shadow derives from; the partial walk is the full one's variant."""
    if t.is_register:
        return "VovuAsicUtils::RegisterShadowAccessor<Entry>"
    if t.walk == "partial":
        return "VovuAsicUtils::ShadowAccessor<Entry, VovuAsicUtils::DownloadWalk::partial>"
    return "VovuAsicUtils::ShadowAccessor<Entry>"


def _shadow_fill(template: str, t: Table, **extra: str) -> str:
    return fill(template, table=t.name, type_name=t.type_name, shadow_params=SHADOW_PARAMS[t.is_register],
                shadow_args=SHADOW_ARGS[t.is_register], accessor_base=_accessor_base(t), **extra)


def declaration(t: Table, nested: str, description_line: str) -> str:
    shadow = _shadow_fill(REGISTER_SHADOW if t.is_register else DIRECT_SHADOW, t)
    operations = _shadow_fill(
        OPERATIONS_DECLARATION, t,
        defaults_handle_declaration="  // The default-contents trace handle.\n"
        "  static Zev::TraceHandle& _defaultsTraceHandle();\n" if t.defaults_trace else "")
    return fill(
        DECLARATION,
        register="true" if t.is_register else "false",
        shadow=indent(shadow, 2),
        operations=operations,
        description_line=description_line,
        table=t.name,
        lower_table=t.lower_name,
        type_name=t.type_name,
        nested=indent(nested, 2),
        bcm_operation="bcmRegName" if t.is_register else "bcmMemName",
        bcm_name=cpp_string(t.bcm_name),
        parity_operation="" if t.is_register else
        f"  bool hasParitySupport() const override {{ return {'true' if t.parity else 'false'}; }}\n",
        entry_size=t.entry_size,
        entry_size_bits=t.entry_size * 8,
        factory_declaration=FACTORY_DECLARATION if t.table_plugin else "",
        standalone_note="a table without a table plug-in is then marked standalone."
        if not t.table_plugin else "its hooks run here, not in a base.",
    )


def definitions(t: Table) -> str:
    shadow_definitions = _shadow_fill(SHADOW_DEFINITIONS, t)
    if not t.is_register:
        shadow_definitions += _shadow_fill(ENTRY_STORAGE_DEFINITIONS, t)
    if t.defaults_trace:
        defaults = fill(DEFAULTS_HANDLE_DEFINITION, table=t.name, defaults_trace=t.defaults_trace)
    else:
        defaults = fill(NO_DEFAULTS_DEFINITION, table=t.name)
    return fill(
        DEFINITIONS,
        shadow_definitions=shadow_definitions,
        operations_definitions=_shadow_fill(OPERATIONS_DEFINITIONS, t, defaults_definitions=defaults),
        table=t.name,
        lower_table=t.lower_name,
        factory_definition=fill(FACTORY_DEFINITION, table=t.name) if t.table_plugin else "",
        standalone_statement="" if t.table_plugin else "  standaloneIs(true);\n",
    )
