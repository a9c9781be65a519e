"""Emits a table class: identity, factories, construction and destruction."""
from __future__ import annotations

from emit_common import cpp_string, fill, indent
from model import Table

DECLARATION = """
// $description_line
class $table : public VovuAsicUtils::HwDirectTableBase {
 public:
  ORVEL_SLAB_ALLOCATED("$type_name")

$nested
  static const catalogue::TableDescription& description();
  static constexpr const char* tableName() { return "$table"; }
  static constexpr const char* tableTypeName() { return "$type_name"; }
  static constexpr const char* tag() { return "noTag"; }
  static constexpr const char* $bcm_operation() { return $bcm_name; }
  static Zev::TraceHandle& _defaultTraceHandle();

  const char* chipName() const override { return "bcm88490_a0"; }
$parity_operation  std::uint32_t entryDataMaxSize() const override { return $entry_size; }
  std::uint32_t entryDataMaxSizeBits() const override { return $entry_size_bits; }
$factory_declaration
  // Builds the table under `name` and `key` and initialises it; $standalone_note
  $table(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
      const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager);
  static Orvel::Ptr<$table> ${table}Is(const Orvel::String& name, const VovuAsicUtils::HwTableKey& key,
      const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager);
  static Orvel::Ptr<TableDescriptor> tableDescriptorFactory();
  ~$table() override;

 private:
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

namespace {
Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> freeFactory(const Orvel::String& name,
    const VovuAsicUtils::HwTableKey& key, const Orvel::Ptr<VovuAsicUtils::TableManager>& tableManager) {
  return ${lower_table}Factory(name, key, tableManager);
}
Orvel::Ptr<VovuAsicUtils::BcmGroupAddrInfo> descriptorFactory() { return $table::tableDescriptorFactory(); }
}  // namespace
"""


def declaration(t: Table, nested: str, description_line: str) -> str:
    return fill(
        DECLARATION,
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
    return fill(
        DEFINITIONS,
        table=t.name,
        lower_table=t.lower_name,
        factory_definition=fill(FACTORY_DEFINITION, table=t.name) if t.table_plugin else "",
        standalone_statement="" if t.table_plugin else "  standaloneIs(true);\n",
    )
