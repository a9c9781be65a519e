"""Emits a table's reader class and its free factory."""
from __future__ import annotations

from emit_common import fill
from model import Table

DECLARATION = """
// Reads the $table table back from the chip.
class $reader : public VovuAsicUtils::$reader_base {
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

  // The instance range of the table descriptor's first memory.
  std::uint8_t minInstanceId() const override;
  std::uint8_t maxInstanceId() const override;
  const Orvel::Ptr<$table::TableDescriptor>& tableDescriptor() const noexcept { return tableDescriptor_; }

 private:
  void handleInitialized();
  Orvel::Ptr<$table::TableDescriptor> tableDescriptor_;
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
    : VovuAsicUtils::$reader_base(key, readTableManager) {
  handleInitialized();
}

void $reader::handleInitialized() {
  ORVEL_TRACE($table::_defaultTraceHandle(), 8, "$reader", "");
  tableDescriptor_ = $table::tableDescriptorFactory();
}

std::uint8_t $reader::minInstanceId() const { return tableDescriptor_->firstMemInfo()->firstInstanceId(); }

std::uint8_t $reader::maxInstanceId() const { return tableDescriptor_->firstMemInfo()->lastInstanceId(); }

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
        reader_base="RegisterReaderBase" if t.is_register else "DirectTableReaderBase",
    )


def declaration(t: Table) -> str:
    return fill(DECLARATION, **_values(t))


def definitions(t: Table) -> str:
    return fill(DEFINITIONS, **_values(t))
