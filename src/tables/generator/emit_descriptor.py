"""Emits a table's TableDescriptor and its catalogue description data."""
from __future__ import annotations

from emit_common import cpp_bool, cpp_string, fill
from model import Table

DECLARATION = """
// The table's descriptor: the group "$group" with one memory description per
// chip memory or register and its first instance.
class TableDescriptor : public VovuAsicUtils::BcmGroupAddrInfo {
 public:
  ORVEL_SLAB_ALLOCATED("$type_name::TableDescriptor")
  TableDescriptor();

 private:
  void handleInitialized();
};
"""

DATA = """
constexpr const char* const kChosen$memory_id[] = {$chosen};
"""

MEMORY = """{$name, $first_array_index, $array_count, $first_entry_index, $entry_count, $entry_size, $block, $base_address, $first_instance_id, $instance_count, $chosen},
"""

DESCRIPTION = """
constexpr catalogue::MemoryDescription kMemories[] = {
$memories};
constexpr std::uint32_t kBlocks[] = {$blocks};

constexpr catalogue::TableDescription kDescription{
    $name,
    $type_name,
    "bcm88490_a0",
    "noTag",
    catalogue::TableKind::$kind,
    $bcm_name,
    $group,
    $table_plugin,
    $parity,
    $entry_size,
    {catalogue::KeyForm::$key_form, $array_index_min, $array_index_max, 0, $entry_index_max, 0, $key_max, $key_null},
    std::span<const catalogue::MemoryDescription>(kMemories),
    std::span<const std::uint32_t>(kBlocks, $block_count),
    catalogue::Walk::$walk,
    {$key_takes_array_index, $bytes_per_entry},
    $defaults_trace,
    $source,
    &kValueOps,
    &kShadowOps,
    &freeFactory,
    &descriptorFactory,
    &$reader::pluginObjectName,
    &VovuAsicUtils::auditShadow<$table, $reader>,
};
"""

DEFINITIONS = """
$table::TableDescriptor::TableDescriptor() : VovuAsicUtils::BcmGroupAddrInfo($group) { handleInitialized(); }

void $table::TableDescriptor::handleInitialized() { catalogue::populateDescriptor(*this, kDescription); }

Orvel::Ptr<$table::TableDescriptor> $table::tableDescriptorFactory() {
  return Orvel::Ptr<TableDescriptor>(new TableDescriptor());
}
"""


def declaration(t: Table) -> str:
    return fill(DECLARATION, group=t.group, type_name=t.type_name)


def _chosen_list(m) -> str:
    if not m.chosen:
        return ""
    return fill(DATA, memory_id=m.memory_id, chosen=", ".join(cpp_string(c) for c in m.chosen))


def _chosen_ref(m) -> str:
    return f"std::span<const char* const>(kChosen{m.memory_id})" if m.chosen else "{}"


def data(t: Table) -> str:
    memories = "".join(
        "  " + fill(MEMORY, name=cpp_string(m.name), first_array_index=m.first_array_index, array_count=m.array_count,
             first_entry_index=m.first_entry_index, entry_count=m.entry_count, entry_size=t.entry_size,
             block=m.block, base_address=f"{m.base_address:#x}", first_instance_id=m.first_instance_id,
             instance_count=m.instance_count, chosen=_chosen_ref(m))
        for m in t.memories)
    key = t.key
    return "".join(_chosen_list(m) for m in t.memories) + fill(
        DESCRIPTION,
        memories=memories,
        blocks=", ".join(str(b) for b in t.blocks) or "0",
        block_count=len(t.blocks),
        name=cpp_string(t.name),
        type_name=cpp_string(t.type_name),
        kind="direct" if t.kind == "direct" else "reg",
        bcm_name=cpp_string(t.bcm_name),
        group=cpp_string(t.group),
        table_plugin=cpp_bool(t.table_plugin),
        parity=cpp_bool(t.parity),
        entry_size=t.entry_size,
        key_form=key.form,
        array_index_min=key.array_index[0],
        array_index_max=key.array_index[1],
        entry_index_max=key.entry_index[1],
        key_max=key.max if key.form == "value" else 0,
        key_null=key.null if key.form == "value" else 0,
        walk=t.walk,
        key_takes_array_index=cpp_bool(t.reader_key_takes_array_index),
        bytes_per_entry=t.reader_bytes_per_entry,
        defaults_trace=cpp_string(t.defaults_trace),
        source=cpp_string(t.source),
        reader=t.reader_name,
        table=t.name,
    )


def definitions(t: Table) -> str:
    return fill(DEFINITIONS, table=t.name, group=cpp_string(t.group))
