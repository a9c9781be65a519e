// Registration as seen by a host that links the plug-in: readers registered
// while it loaded, table factories once the loader has run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/HwTableReaderBase.h"
#include "VovuAsicUtils/PluginHwTable.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using bcm88490_a0::catalogue::tables;
using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwTableHolderContext;

const FapRevision kRev0 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
const FapRevision kRev1 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);

class Registration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers(); }
};

// Verifies: every table registered a reader factory for each chip-type-25
// revision of the default list, ascending, and none for chip type 12; the
// plug-in tables, and only they, registered a table factory for each, under
// the plug-in name "Default" and tag "noTag".
TEST_F(Registration, FactoriesForEveryTableAndRevision) {
  std::vector<std::string> readers, pluginTables, registeredReaders, registeredTables;
  for (const auto* t : tables()) {
    for (const FapRevision& r : {kRev0, kRev1}) {
      readers.push_back(std::string(t->name) + "/" + r.revString());
      if (t->tablePlugin) pluginTables.push_back(readers.back());
    }
  }
  for (const auto& r : HwTableHolderContext::singleton()->hwReaderFactories()) {
    registeredReaders.push_back(fmt::format("{}", r.key));
  }
  for (const auto& f : HwTableHolderContext::singleton()->hwTableFactories()) {
    registeredTables.push_back(fmt::format("{}", f.key));
    EXPECT_EQ(std::tuple(f.pluginName, f.tag), std::tuple("Default", "noTag"));
  }
  EXPECT_EQ(registeredReaders, readers);
  ASSERT_FALSE(pluginTables.empty());
  // The tables in any order, each one's revisions ascending.
  const auto byTable = [](const std::string& a, const std::string& b) {
    return a.substr(0, a.find('/')) < b.substr(0, b.find('/'));
  };
  std::stable_sort(registeredTables.begin(), registeredTables.end(), byTable);
  std::stable_sort(pluginTables.begin(), pluginTables.end(), byTable);
  EXPECT_EQ(registeredTables, pluginTables);
}

// Verifies: the two plug-in name forms: the table plug-in registers with the
// loader as type name + "Plugin" (with the loader's own text and two empty
// strings); the reader plug-in stores its reader's name + "Plugin", so
// "ReadPlugin" is followed by a second "Plugin".
TEST_F(Registration, PluginNameForms) {
  const auto& registrations = VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations();
  EXPECT_EQ(registrations.size(), static_cast<std::size_t>(std::count_if(
                                      tables().begin(), tables().end(), [](const auto* t) { return t->tablePlugin; })));
  for (const auto* t : tables()) {
    EXPECT_EQ(t->readerPluginName(), std::string(t->typeName) + "ReadPluginPlugin");
    const std::string pluginName = std::string(t->typeName) + "Plugin";
    auto it = std::find_if(registrations.begin(), registrations.end(),
                           [&](const auto& r) { return r.pluginName == pluginName; });
    EXPECT_EQ(it != registrations.end(), t->tablePlugin) << t->name;
    if (it != registrations.end()) {
      EXPECT_EQ(it->loaderText, "HwTableLoader");
      EXPECT_EQ(it->first, "");
      EXPECT_EQ(it->second, "");
    }
  }
}

// Verifies: the registered factories create the right objects for their key.
TEST_F(Registration, RegisteredFactoriesCreateTheirTables) {
  auto* context = HwTableHolderContext::singleton();
  Orvel::Ptr<VovuAsicUtils::TableManager> manager(new VovuAsicUtils::TableManager());
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager(new VovuAsicUtils::ReadTableManager());
  for (const auto* t : tables()) {
    VovuAsicUtils::HwTableKey key(t->name, kRev1);
    auto reader = context->hwReaderCreate(key, readManager);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->hwTableKey(), key);
    if (!t->tablePlugin) continue;
    auto table = context->hwTableCreate(key, manager, nullptr);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->name(), t->name);
    EXPECT_EQ(table->hwTableKey(), key);
  }
}

}  // namespace
