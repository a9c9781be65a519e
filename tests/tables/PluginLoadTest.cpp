// Loading the plug-in with dlopen, as the switch agent does. Each case loads it
// in a fresh child process, because loading registers once per process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "support/ChildProcess.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwTableHolderContext;
using VovuAsicUtils::SupportedFapRevList;

// The plug-in's catalogue, as a host finds it: "catalogue <tables> <plug-in tables>".
std::string catalogueCounts(void* plugin) {
  using CatalogueFunction = const bcm88490_a0::catalogue::TableDescription* const* (*)(std::size_t*);
  auto catalogue = reinterpret_cast<CatalogueFunction>(dlsym(plugin, "bcm88490_a0_catalogue"));
  if (!catalogue) throw std::runtime_error("the plug-in has no catalogue");
  std::size_t count = 0;
  const auto* const* tables = catalogue(&count);
  const auto pluginTables = std::count_if(tables, tables + count, [](const auto* t) { return t->tablePlugin; });
  return fmt::format("catalogue {} {}\n", count, pluginTables);
}

// What registered, one line per registration: "reader <key>", "plugin <name>"
// and, after the loader ran, "table <key>".
std::string registrations() {
  std::ostringstream out;
  for (const auto& r : HwTableHolderContext::singleton()->hwReaderFactories()) out << "reader " << fmt::format("{}", r.key) << '\n';
  for (const auto& p : VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations()) {
    out << "plugin " << p.pluginName.str() << '\n';
  }
  for (const auto& t : HwTableHolderContext::singleton()->hwTableFactories()) out << "table " << fmt::format("{}", t.key) << '\n';
  return out.str();
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

// Loads the plug-in with `revisions` as the supported list; returns what was
// registered after the load and, separated by "--", after the loader ran.
testing_support::ChildResult loadWith(const std::set<FapRevision>& revisions) {
  return testing_support::runInChild([&] {
    SupportedFapRevList::fapRevisionListIs(revisions);
    void* plugin = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    if (!plugin) throw std::runtime_error(dlerror());
    std::string result = catalogueCounts(plugin) + registrations() + "--\n";
    VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
    return result + registrations();
  });
}

// The catalogue's table count and plug-in table count from a child's output.
struct CatalogueCounts {
  std::size_t tables = 0;
  std::size_t pluginTables = 0;
};
CatalogueCounts catalogueCountsIn(const std::string& output) {
  CatalogueCounts counts;
  const auto lines = linesStartingWith(output, "catalogue ");
  if (lines.size() == 1) std::istringstream(lines[0]) >> counts.tables >> counts.pluginTables;
  return counts;
}

// The revisions of chip type 25 in `list`: each table registers once for each.
std::size_t chipType25Revisions(const std::set<FapRevision>& list) {
  return static_cast<std::size_t>(std::count_if(list.begin(), list.end(), [](const FapRevision& r) {
    return r.chipType() == Hardware::ChipType::bcm88490_a0;
  }));
}

const FapRevision kRev0 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
const FapRevision kRev1 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);
const FapRevision kRev5 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 5);
const FapRevision kJ3ai = FapRevision::of(Hardware::ChipType::j3ai, 0);

// Verifies: loading registers every table's reader (one per chip-type-25
// revision) and records every table plug-in with the loader, but registers no
// table factory until the loader runs.
TEST(PluginLoad, ReadersAtLoadTablesWhenTheLoaderRuns) {
  const std::size_t revisions = chipType25Revisions(SupportedFapRevList::defaultList());
  auto child = loadWith(SupportedFapRevList::defaultList());
  ASSERT_EQ(child.exitCode, 0) << child.output;
  const std::string afterLoad = child.output.substr(0, child.output.find("--\n"));
  const std::string afterLoader = child.output.substr(child.output.find("--\n") + 3);
  const CatalogueCounts catalogue = catalogueCountsIn(afterLoad);
  ASSERT_GT(catalogue.pluginTables, 0u) << child.output;
  EXPECT_EQ(linesStartingWith(afterLoad, "reader ").size(), catalogue.tables * revisions);
  EXPECT_EQ(linesStartingWith(afterLoad, "plugin ").size(), catalogue.pluginTables);
  EXPECT_TRUE(linesStartingWith(afterLoad, "table ").empty());
  EXPECT_EQ(linesStartingWith(afterLoader, "table ").size(), catalogue.pluginTables * revisions);
  for (const std::string& plugin : linesStartingWith(afterLoad, "plugin ")) {
    EXPECT_EQ(plugin.rfind("bcm88490_a0::", 0), 0u) << plugin;
    EXPECT_EQ(plugin.size() - plugin.rfind("Plugin"), 6u) << plugin;
    EXPECT_EQ(plugin.find("ReadPlugin"), std::string::npos) << plugin;
  }
}

// Verifies: a revision list without chip type 25 registers no factory at all.
TEST(PluginLoad, NoChipType25RegistersNothing) {
  auto child = loadWith({kJ3ai, FapRevision::of(Hardware::ChipType::q3a, 0)});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  EXPECT_TRUE(linesStartingWith(child.output, "reader ").empty()) << child.output;
  EXPECT_TRUE(linesStartingWith(child.output, "table ").empty()) << child.output;
}

// Verifies: several chip-type-25 revisions register one factory each, in
// ascending order, whatever else the list holds.
TEST(PluginLoad, OneFactoryPerRevisionAscending) {
  auto child = loadWith({kRev5, kJ3ai, kRev0, kRev1});
  ASSERT_EQ(child.exitCode, 0) << child.output;
  const std::string afterLoader = child.output.substr(child.output.find("--\n") + 3);
  std::vector<std::string> lpm;
  for (const std::string& key : linesStartingWith(afterLoader, "table ")) {
    if (key.rfind("LpmEntryTypeMapHwDirect/", 0) == 0) lpm.push_back(key);
  }
  EXPECT_EQ(lpm, (std::vector<std::string>{"LpmEntryTypeMapHwDirect/bcm88490_a0",
                                           "LpmEntryTypeMapHwDirect/bcm88490_a0r1",
                                           "LpmEntryTypeMapHwDirect/bcm88490_a0r5"}));
  EXPECT_EQ(linesStartingWith(afterLoader, "reader ").size(), catalogueCountsIn(child.output).tables * 3);
}

}  // namespace
