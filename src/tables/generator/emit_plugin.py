"""Emits the static initialisation of a table unit: the plug-in objects."""
from __future__ import annotations

from emit_common import fill
from model import Table

# The objects below are constructed in declaration order when the library
# loads and destroyed in reverse order when it unloads.
STATIC_INIT = """
// Static initialisation of the unit, in this order: the stream library, the
// unit's reflection module and value types, the log handles and the assertion mode, the reader
// plug-in and$table_plugin_note.
namespace {
const std::ios_base::Init streamInit;
const bool reflectionRecorded = (Zev::reflectionModuleIs("$type_name"), true);
const bcm88490_a0::values::ValueTypeRegistration<bcm88490_a0::$table> valueTypes;
const Zev::LogHandle logHandles[] = {
    Zev::LogHandle(Asic::LogMessages::hwAbstractionException),
    Zev::LogHandle(Asic::LogMessages::hwAbstractionRelaunchError),
    Zev::LogHandle(Asic::LogMessages::hwAbstractionError),
};
const bool assertionModeRead = (Asic::readModeOnce(), true);
VovuAsicUtils::PluginHwReaderTable<bcm88490_a0::$reader, Hardware::ChipType::bcm88490_a0> readerPlugin;
$table_plugin}  // namespace

const Orvel::String& bcm88490_a0::$reader::pluginObjectName() { return readerPlugin.name(); }
"""

TABLE_PLUGIN = """VovuAsicUtils::PluginHwTable<bcm88490_a0::$table, Hardware::ChipType::bcm88490_a0> tablePlugin("Default");
"""


def static_init(t: Table) -> str:
    return fill(
        STATIC_INIT,
        type_name=t.type_name,
        table=t.name,
        reader=t.reader_name,
        table_plugin=fill(TABLE_PLUGIN, table=t.name) if t.table_plugin else "",
        table_plugin_note=", last, the table plug-in" if t.table_plugin else
        " no table plug-in (the table is standalone)",
    )
