#include "TablesCommand.h"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Plugin/Loader.h"
#include "TextTable.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/PluginHwTable.h"

namespace shadowctl {
namespace {

using bcm88490_a0::catalogue::KeyForm;
using bcm88490_a0::catalogue::TableDescription;
using bcm88490_a0::catalogue::TableKind;
using nlohmann::ordered_json;
using VovuAsicUtils::FapRevision;

ordered_json keyJson(const TableDescription& t) {
  if (t.key.form == KeyForm::indexed) {
    return {{"form", "indexed"},
            {"arrayIndex", {t.key.arrayIndexMin, t.key.arrayIndexMax}},
            {"entryIndex", {t.key.entryIndexMin, t.key.entryIndexMax}}};
  }
  return {{"form", "value"}, {"min", t.key.min}, {"max", t.key.max}, {"null", t.key.null}};
}

ordered_json descriptorJson(const VovuAsicUtils::BcmGroupAddrInfo& descriptor, const TableDescription& t) {
  ordered_json memories = ordered_json::array();
  for (const auto& [id, memory] : descriptor.memInfoColl()) {
    ordered_json instances = ordered_json::array();
    for (const auto& [instanceId, instance] : memory->instanceInfoColl()) {
      instances.push_back({{"id", instanceId},
                           {"addressOffset", instance->addressOffset()},
                           {"block", instance->block()},
                           {"broadcast", instance->broadcast()},
                           {"baseAddress", instance->baseAddress()}});
    }
    ordered_json chosen = ordered_json::array();
    if (id < t.memories.size()) {
      for (const char* c : t.memories[id].chosen) chosen.push_back(c);
    }
    memories.push_back({{"id", id},
                        {"name", memory->name().str()},
                        {"register", memory->isRegister()},
                        {"firstArrayIndex", memory->firstArrayIndex()},
                        {"arrayCount", memory->arrayCount()},
                        {"firstEntryIndex", memory->firstEntryIndex()},
                        {"entryCount", memory->entryCount()},
                        {"dmaEntryCount", memory->dmaEntryCount()},
                        {"entrySize", memory->entrySize()},
                        {"dmaEntrySize", memory->dmaEntrySize()},
                        {"firstInstanceId", memory->firstInstanceId()},
                        {"instanceCount", memory->instanceCount()},
                        {"instances", instances},
                        {"chosen", chosen}});
  }
  return {{"group", descriptor.name().str()}, {"minShadowSize", descriptor.minShadowSize()}, {"memories", memories}};
}

// Builds a table object the way the host would: through the registered table
// factory when there is one, otherwise through the free factory.
Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> createTable(const TableDescription& t, const FapRevision& revision) {
  auto* context = VovuAsicUtils::HwTableHolderContext::singleton();
  Orvel::Ptr<VovuAsicUtils::TableManager> manager(new VovuAsicUtils::TableManager());
  VovuAsicUtils::HwTableKey key(t.name, revision);
  if (context->hwTableFactory(key)) return context->hwTableCreate(key, manager, nullptr);
  return t.freeFactory(t.name, key, manager);
}

}  // namespace

ordered_json tablesReport(const PluginHost& host) {
  auto* context = VovuAsicUtils::HwTableHolderContext::singleton();
  const auto tableFactories = context->hwTableFactories();
  const auto readerFactories = context->hwReaderFactories();
  const auto& plugins = VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations();

  ordered_json tables = ordered_json::array();
  for (const TableDescription* t : host.tables()) {
    std::vector<FapRevision> revisions;
    for (const auto& r : readerFactories) {
      if (r.key.tableName() == t->name) revisions.push_back(r.key.fapRevision());
    }
    const bool tableFactory = std::any_of(tableFactories.begin(), tableFactories.end(),
                                          [&](const auto& r) { return r.key.tableName() == t->name; });
    const std::string pluginName = std::string(t->typeName) + "Plugin";
    auto plugin =
        std::find_if(plugins.begin(), plugins.end(), [&](const auto& p) { return p.pluginName == pluginName; });

    const FapRevision revision =
        revisions.empty() ? FapRevision::of(Hardware::ChipType::bcm88490_a0, 0) : revisions.front();
    auto table = createTable(*t, revision);

    ordered_json memories = ordered_json::array();
    for (const auto& m : t->memories) memories.push_back(m.name);
    ordered_json blocks = ordered_json::array();
    for (Hardware::Block b : table->tableBlocks()) blocks.push_back(static_cast<std::uint32_t>(b));
    ordered_json revisionTexts = ordered_json::array();
    for (const auto& r : revisions) revisionTexts.push_back(r.revString());

    ordered_json entry = {
        {"name", t->name},
        {"typeName", t->typeName},
        {"kind", bcm88490_a0::catalogue::kindText(t->kind)},
        {"bcmName", t->bcmName},
        {"bcmRegName", t->kind == TableKind::reg ? ordered_json(t->bcmName) : ordered_json(nullptr)},
        {"group", t->group},
        {"memories", memories},
        {"tableFactory", tableFactory},
        {"tablePlugin", plugin != plugins.end() ? ordered_json(plugin->pluginName.str()) : ordered_json(nullptr)},
        {"readerPlugin", t->readerPluginName().str()},
        {"entrySize", table->entryDataMaxSize()},
        {"entrySizeBits", table->entryDataMaxSizeBits()},
        {"key", keyJson(*t)},
        {"blocks", blocks},
        {"revisions", revisionTexts},
        {"chipName", table->chipName()},
        {"tag", t->tag},
        {"parity", t->parity},
        {"walk", bcm88490_a0::catalogue::walkText(t->walk)},
        {"attributes",
         {{"shadowDownloadOnInit", table->shadowDownloadOnInit()},
          {"shadowAuditable", table->shadowAuditable()},
          {"shadowMode", static_cast<int>(table->shadowMode())},
          {"entriesPerWrite", table->entriesPerWrite()},
          {"standalone", table->standalone()}}},
        {"descriptor", descriptorJson(*table->tableDescriptor(), *t)},
        {"source", t->source},
    };
    tables.push_back(std::move(entry));
  }
  return {{"tables", tables}};
}

namespace {

std::string keyText(const ordered_json& key) {
  if (key["form"] == "indexed") {
    return fmt::format("[{}..{}] x [{}..{}]", key["arrayIndex"][0].get<int>(), key["arrayIndex"][1].get<int>(),
                       key["entryIndex"][0].get<std::uint32_t>(), key["entryIndex"][1].get<std::uint32_t>());
  }
  return fmt::format("0..{} null {}", key["max"].get<std::uint32_t>(), key["null"].get<std::uint32_t>());
}

std::string joined(const ordered_json& list) {
  std::string text;
  for (const auto& item : list) {
    if (!text.empty()) text += ",";
    text += item.is_string() ? item.get<std::string>() : item.dump();
  }
  return text.empty() ? "-" : text;
}

}  // namespace

void printTablesHuman(const ordered_json& report, std::ostream& out) {
  const std::vector<std::string> header = {"TABLE", "KIND",   "FACTORY",   "BYTES",
                                           "KEY",   "BLOCKS", "REVISIONS", "MEMORIES"};
  std::vector<std::vector<std::string>> rows;
  for (const auto& t : report["tables"]) {
    rows.push_back({t["name"].get<std::string>(), t["kind"].get<std::string>(), t["tableFactory"] ? "yes" : "no",
                    std::to_string(t["entrySize"].get<int>()), keyText(t["key"]), joined(t["blocks"]),
                    joined(t["revisions"]), joined(t["memories"])});
  }
  printAligned(out, header, rows);
  out << rows.size() << " tables\n";
}

}  // namespace shadowctl
