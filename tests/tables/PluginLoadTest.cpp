// Loading the plug-in with dlopen, as the switch agent does. Each load runs in a fresh child process, because loading
// registers once per process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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
using Lines = std::map<std::string, std::vector<std::string>>;

// What a child saw, by kind: "table" and "pluginTable" (the names of the catalogue's tables as a host finds them, and
// of its plug-in tables), "reader", "plugin" and "factory" (the keys of the reader factories, the plug-in names
// registered with the loader, the keys of the table factories) after the load, and the same prefixed with "loader."
// after the loader ran.
std::string registrations(const std::string& prefix) {
  std::string out;
  for (const auto& r : HwTableHolderContext::singleton()->hwReaderFactories()) {
    out += fmt::format("{}reader {}\n", prefix, r.key);
  }
  for (const auto& p : VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations()) {
    out += fmt::format("{}plugin {}\n", prefix, p.pluginName.str());
  }
  for (const auto& t : HwTableHolderContext::singleton()->hwTableFactories()) {
    out += fmt::format("{}factory {}\n", prefix, t.key);
  }
  return out;
}

Lines loadWith(const std::set<FapRevision>& revisions) {
  const auto child = testing_support::runInChild([&] {
    SupportedFapRevList::fapRevisionListIs(revisions);
    void* plugin = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    if (!plugin) throw std::runtime_error(dlerror());
    using CatalogueFunction = const bcm88490_a0::catalogue::TableDescription* const* (*)(std::size_t*);
    auto catalogue = reinterpret_cast<CatalogueFunction>(dlsym(plugin, "bcm88490_a0_catalogue"));
    if (!catalogue) throw std::runtime_error("the plug-in has no catalogue");
    std::size_t count = 0;
    const auto* const* tables = catalogue(&count);
    std::string result;
    for (std::size_t i = 0; i < count; ++i) {
      result += fmt::format("table {}\n", tables[i]->name);
      if (tables[i]->tablePlugin) result += fmt::format("pluginTable {}\n", tables[i]->name);
    }
    result += registrations("");
    VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
    return result + registrations("loader.");
  });
  EXPECT_EQ(child.exitCode, 0) << child.output;
  Lines lines;
  std::istringstream in(child.output);
  for (std::string kind, value; in >> kind >> value;) lines[kind].push_back(value);
  return lines;
}

const FapRevision kRev0 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
const FapRevision kRev1 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);
const FapRevision kJ3ai = FapRevision::of(Hardware::ChipType::j3ai, 0);

// Verifies, for the default revision list, one without chip type 25 and one with several chip-type-25 revisions among
// others: loading registers, in catalogue order, each table's reader for each chip-type-25 revision, ascending, and
// records each table plug-in with the loader, but registers no table factory until the loader runs; then each plug-in
// table (in any order) gets a factory for each of those revisions, ascending, and no other table.
TEST(PluginLoad, EachTableRegistersForEachChipType25Revision) {
  struct Case {
    std::set<FapRevision> list;
    std::vector<std::string> revisions;
  };
  for (const Case& c : {Case{SupportedFapRevList::defaultList(), {"bcm88490_a0", "bcm88490_a0r1"}},
                        Case{{kJ3ai, FapRevision::of(Hardware::ChipType::q3a, 0)}, {}},
                        Case{{FapRevision::of(Hardware::ChipType::bcm88490_a0, 5), kJ3ai, kRev0, kRev1},
                             {"bcm88490_a0", "bcm88490_a0r1", "bcm88490_a0r5"}}}) {
    SCOPED_TRACE(fmt::format("{} revisions of chip type 25", c.revisions.size()));
    Lines loaded = loadWith(c.list);
    ASSERT_FALSE(loaded["pluginTable"].empty());
    std::vector<std::string> readers, factories;
    for (const std::string& table : loaded["table"]) {
      for (const std::string& revision : c.revisions) readers.push_back(table + "/" + revision);
    }
    for (const std::string& table : loaded["pluginTable"]) {
      for (const std::string& revision : c.revisions) factories.push_back(table + "/" + revision);
    }
    EXPECT_EQ(loaded["reader"], readers);
    EXPECT_EQ(loaded["loader.reader"], readers);
    EXPECT_EQ(loaded["plugin"].size(), loaded["pluginTable"].size());
    EXPECT_TRUE(loaded["factory"].empty());
    std::vector<std::string> registered = loaded["loader.factory"];
    const auto byTable = [](const std::string& a, const std::string& b) {
      return a.substr(0, a.find('/')) < b.substr(0, b.find('/'));
    };
    std::stable_sort(registered.begin(), registered.end(), byTable);
    std::stable_sort(factories.begin(), factories.end(), byTable);
    EXPECT_EQ(registered, factories);
  }
}

}  // namespace
