"""Emits a table's reader class and its free factory."""
from __future__ import annotations

from emit_common import fill
from model import Table

DECLARATION = """
// Reads the $table table back from the chip.
class $reader : public $reader_base {
 public:
  ORVEL_SLAB_ALLOCATED("$chip::$reader")

  static constexpr const char* pluginName() { return "$type_name" "ReadPlugin"; }
  static constexpr const char* tableName() { return $table::tableName(); }
  // The name stored in the reader plug-in object: pluginName() followed by "Plugin".
  static const Orvel::String& pluginObjectName();

  // The registered reader factory: a new reader for (tableName(), rev).
  static Orvel::Ptr<$reader> factory(const VovuAsicUtils::FapRevision& rev,
      const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager);
  $reader(const VovuAsicUtils::HwTableKey& key, const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager);

 private:
  void handleInitialized();
};

// Always creates a new reader for `key`.
Orvel::Ptr<$reader> $lower_reader${factory_suffix}(const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager);
"""

DEFINITIONS = """
Orvel::Ptr<$reader> $reader::factory(const VovuAsicUtils::FapRevision& rev,
    const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager) {
  return Orvel::Ptr<$reader>(new $reader(VovuAsicUtils::HwTableKey(tableName(), rev), readTableManager));
}

$reader::$reader(const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager)
    : $reader_base(key, readTableManager) {
  handleInitialized();
}

void $reader::handleInitialized() {
  ORVEL_TRACE($table::_defaultTraceHandle(), 8, "$reader", "");
  tableDescriptorIs($table::tableDescriptorFactory());
}

Orvel::Ptr<$reader> $lower_reader${factory_suffix}(const VovuAsicUtils::HwTableKey& key,
    const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager) {
  return Orvel::Ptr<$reader>(new $reader(key, readTableManager));
}
"""


def _values(t: Table) -> dict:
    return dict(
        table=t.name,
        type_name=t.type_name,
        chip="bcm88490_a0",
        reader=t.reader_name,
        lower_reader=t.reader_name[0].lower() + t.reader_name[1:],
        factory_suffix="Factory",
        reader_base=f"VovuAsicUtils::RegisterTableReader<{t.name}>" if t.is_register else
        f"VovuAsicUtils::DirectTableReader<{t.name}, {'true' if t.reader_key_takes_array_index else 'false'}>",
    )


def declaration(t: Table) -> str:
    return fill(DECLARATION, **_values(t))


def definitions(t: Table) -> str:
    return fill(DEFINITIONS, **_values(t))
