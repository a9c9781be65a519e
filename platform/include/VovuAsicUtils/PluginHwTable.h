// The host's plug-in templates: one static object per table (PluginHwTable)
// and per reader (PluginHwReaderTable), constructed while the plug-in library
// loads.
//
// PluginHwTable<Table, chip> registers with the default loader; when the host
// runs the loader's init callers, init() registers Table::factory for every
// supported revision of `chip`, under the plug-in's stored name.
// PluginHwReaderTable<Reader, chip> registers Reader::factory for every such
// revision directly with the table-holder context, at construction.
// Both remove what they registered when they are destroyed.
#pragma once

#include <vector>

#include "Hardware/ChipType.h"
#include "Orvel/String.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"

namespace VovuAsicUtils {

template <class Table, Hardware::ChipType Chip>
class PluginHwTable final : public Plugin::PluginBase {
 public:
  explicit PluginHwTable(const Orvel::String& name) {
    Plugin::Loader& loader = HwTablePlugin::DefaultHwTableLoader();
    Orvel::String pluginName(Table::tableTypeName());
    pluginName.append("Plugin");
    loader.initCallerIs(initCaller());
    loader.impl().registerPlugin(pluginName, loader.loaderText(), "", "", initCaller());
    name_ = name;
  }
  ~PluginHwTable() override {
    Plugin::Loader& loader = HwTablePlugin::DefaultHwTableLoader();
    for (const HwTableKey& key : registered_) context_->unregisterHwTableFactory(key);
    loader.impl().unregisterPlugin(initCaller());
    loader.initCallerDel(initCaller());
  }

  void init(HwTableHolderContext* context) override {
    context_ = context;
    SupportedFapRevList::forEachRevisionOf(Chip, [&](const FapRevision& revision) {
      HwTableKey key(Table::tableName(), revision);
      context->registerHwTableFactory(name_, key, &Table::factory, Table::tag());
      registered_.push_back(key);
    });
  }

  const Orvel::String& name() const noexcept { return name_; }

 private:
  Orvel::String name_;
  HwTableHolderContext* context_ = nullptr;
  std::vector<HwTableKey> registered_;
};

template <class Reader, Hardware::ChipType Chip>
class PluginHwReaderTable final {
 public:
  PluginHwReaderTable() : name_(Orvel::String(Reader::pluginName()).append("Plugin")) {
    HwTableHolderContext* context = HwTableHolderContext::singleton();
    SupportedFapRevList::forEachRevisionOf(Chip, [&](const FapRevision& revision) {
      HwTableKey key(Reader::tableName(), revision);
      context->registerHwReaderFactory(key, &Reader::factory);
      registered_.push_back(key);
    });
  }
  PluginHwReaderTable(const PluginHwReaderTable&) = delete;
  PluginHwReaderTable& operator=(const PluginHwReaderTable&) = delete;
  ~PluginHwReaderTable() {
    for (const HwTableKey& key : registered_) HwTableHolderContext::singleton()->unregisterHwReaderFactory(key);
  }

  const Orvel::String& name() const noexcept { return name_; }

 private:
  Orvel::String name_;
  std::vector<HwTableKey> registered_;
};

}  // namespace VovuAsicUtils
