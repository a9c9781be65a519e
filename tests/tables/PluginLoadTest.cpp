// Loading the plug-in with dlopen, as the switch agent does. Each case loads it
// in a fresh child process, because loading registers once per process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "VovuAsicUtils/TableDescription.h"
#include "support/ChildProcess.h"

namespace {

using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwTableHolderContext;
using VovuAsicUtils::SupportedFapRevList;

// What a child saw: the plug-in's catalogue as a host finds it (its table
// count and plug-in table count), then, after the load and again after the
// loader ran, the keys of the reader and table factories and the plug-in
// names registered with the loader.
struct Registered {
  std::vector<std::string> readers, plugins, tables;
};
struct Loaded {
  std::size_t tables = 0, pluginTables = 0;
  Registered afterLoad, afterLoader;
};

std::string registrations() {
  std::string out;
  for (const auto& r : HwTableHolderContext::singleton()->hwReaderFactories()) out += fmt::format("reader {}\n", r.key);
  for (const auto& p : VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations()) {
    out += fmt::format("plugin {}\n", p.pluginName.str());
  }
  for (const auto& t : HwTableHolderContext::singleton()->hwTableFactories()) out += fmt::format("table {}\n", t.key);
  return out;
}

// Loads the plug-in in a child with `revisions` as the supported list.
Loaded loadWith(const std::set<FapRevision>& revisions) {
  const auto child = testing_support::runInChild([&] {
    SupportedFapRevList::fapRevisionListIs(revisions);
    void* plugin = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    if (!plugin) throw std::runtime_error(dlerror());
    using CatalogueFunction = const bcm88490_a0::catalogue::TableDescription* const* (*)(std::size_t*);
    auto catalogue = reinterpret_cast<CatalogueFunction>(dlsym(plugin, "bcm88490_a0_catalogue"));
    if (!catalogue) throw std::runtime_error("the plug-in has no catalogue");
    std::size_t count = 0;
    const auto* const* tables = catalogue(&count);
    const auto pluginTables = std::count_if(tables, tables + count, [](const auto* t) { return t->tablePlugin; });
    std::string result = fmt::format("catalogue {} {}\n", count, pluginTables) + registrations() + "--\n";
    VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
    return result + registrations();
  });
  EXPECT_EQ(child.exitCode, 0) << child.output;
  Loaded loaded;
  Registered* into = &loaded.afterLoad;
  std::istringstream in(child.output);
  for (std::string kind, value; in >> kind;) {
    if (kind == "--") {
      into = &loaded.afterLoader;
    } else if (kind == "catalogue") {
      in >> loaded.tables >> loaded.pluginTables;
    } else {
      in >> value;
      (kind == "reader" ? into->readers : kind == "plugin" ? into->plugins : into->tables).push_back(value);
    }
  }
  return loaded;
}

const FapRevision kRev0 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
const FapRevision kRev1 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);
const FapRevision kRev5 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 5);
const FapRevision kJ3ai = FapRevision::of(Hardware::ChipType::j3ai, 0);

// Verifies: loading registers every table's reader (one per chip-type-25
// revision) and records every table plug-in with the loader, but registers no
// table factory until the loader runs.
TEST(PluginLoad, ReadersAtLoadTablesWhenTheLoaderRuns) {
  const auto& list = SupportedFapRevList::defaultList();
  const auto revisions = static_cast<std::size_t>(
      std::count_if(list.begin(), list.end(), [](const FapRevision& r) { return r.chipType() == kRev0.chipType(); }));
  const Loaded loaded = loadWith(list);
  ASSERT_GT(loaded.pluginTables, 0u);
  EXPECT_EQ(loaded.afterLoad.readers.size(), loaded.tables * revisions);
  EXPECT_EQ(loaded.afterLoad.plugins.size(), loaded.pluginTables);
  EXPECT_TRUE(loaded.afterLoad.tables.empty());
  EXPECT_EQ(loaded.afterLoader.tables.size(), loaded.pluginTables * revisions);
  for (const std::string& plugin : loaded.afterLoad.plugins) {
    EXPECT_EQ(plugin.rfind("bcm88490_a0::", 0), 0u) << plugin;
    EXPECT_EQ(plugin.size() - plugin.rfind("Plugin"), 6u) << plugin;
    EXPECT_EQ(plugin.find("ReadPlugin"), std::string::npos) << plugin;
  }
}

// Verifies: a revision list without chip type 25 registers no factory at all.
TEST(PluginLoad, NoChipType25RegistersNothing) {
  const Loaded loaded = loadWith({kJ3ai, FapRevision::of(Hardware::ChipType::q3a, 0)});
  EXPECT_GT(loaded.tables, 0u);
  EXPECT_TRUE(loaded.afterLoader.readers.empty());
  EXPECT_TRUE(loaded.afterLoader.tables.empty());
}

// Verifies: several chip-type-25 revisions register one factory each, in
// ascending order, whatever else the list holds.
TEST(PluginLoad, OneFactoryPerRevisionAscending) {
  const Loaded loaded = loadWith({kRev5, kJ3ai, kRev0, kRev1});
  std::vector<std::string> lpm;
  std::copy_if(loaded.afterLoader.tables.begin(), loaded.afterLoader.tables.end(), std::back_inserter(lpm),
               [](const std::string& key) { return key.rfind("LpmEntryTypeMapHwDirect/", 0) == 0; });
  EXPECT_EQ(lpm,
            (std::vector<std::string>{"LpmEntryTypeMapHwDirect/bcm88490_a0", "LpmEntryTypeMapHwDirect/bcm88490_a0r1",
                                      "LpmEntryTypeMapHwDirect/bcm88490_a0r5"}));
  EXPECT_EQ(loaded.afterLoader.readers.size(), loaded.tables * 3);
}

}  // namespace
