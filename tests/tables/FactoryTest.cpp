// Table objects, their descriptors and readers, created through the factories, and the factories and plug-ins the
// plug-in registers.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include "EtppcMtuMapTableHwDirect.h"
#include "IppaCsInlif0ProfileMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableAccessor.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/PluginHwTable.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using namespace bcm88490_a0;
using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwTableKey;
using VovuAsicUtils::TableManager;

const FapRevision kRev = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);

Orvel::Ptr<TableManager> newManager() { return Orvel::Ptr<TableManager>(new TableManager()); }

std::vector<std::uint32_t> blocksOf(const VovuAsicUtils::HwCommonTableBase& table) {
  std::vector<std::uint32_t> blocks;
  for (auto b : table.tableBlocks()) blocks.push_back(static_cast<std::uint32_t>(b));
  return blocks;
}

// Verifies: the registered factory creates a table until the host records one for the key, then returns that one with
// one more reference; the free factory and the "Is" creator always create, even when the manager holds a table for
// the key.
TEST(TableFactory, LooksUpOrCreates) {
  auto manager = newManager();
  auto first = IppaCsInlif0ProfileMapHwDirect::factory(kRev, manager, nullptr);
  auto second = IppaCsInlif0ProfileMapHwDirect::factory(kRev, manager, nullptr);
  EXPECT_NE(first, second) << "nothing recorded yet: the factory must create";
  manager->hwTableCollIs(first.ptr());
  const auto references = first->references();
  auto third = IppaCsInlif0ProfileMapHwDirect::factory(kRev, manager, nullptr);
  EXPECT_EQ(third, first);
  EXPECT_EQ(first->references(), references + 1);
  // Another revision is another key.
  auto other =
      IppaCsInlif0ProfileMapHwDirect::factory(FapRevision::of(Hardware::ChipType::bcm88490_a0, 0), manager, nullptr);
  EXPECT_NE(other, first);

  // The free factory and the "Is" creator always create.
  const HwTableKey key("IppaCsInlif0ProfileMapHwDirect", kRev);
  auto created = ippaCsInlif0ProfileMapHwDirectFactory("other", key, manager);
  EXPECT_NE(created.ptr(), first.ptr());
  EXPECT_EQ(created->name(), "other");
  EXPECT_NE(IppaCsInlif0ProfileMapHwDirect::IppaCsInlif0ProfileMapHwDirectIs("third", key, manager).ptr(), first.ptr());
  EXPECT_EQ(manager->hwTableColl(key), first.ptr());
}

// A table that is looked up through the registered factory while it is being destroyed: it stands for a host thread
// that looks the table up between its last release and its leaving the manager's collection.
class LookedUpWhileDying final : public IppaCsInlif0ProfileMapHwDirect {
 public:
  LookedUpWhileDying(const HwTableKey& key, const Orvel::Ptr<TableManager>& manager,
                     Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>& found)
      : IppaCsInlif0ProfileMapHwDirect(tableName(), key, manager), manager_(manager), found_(found) {}
  ~LookedUpWhileDying() override { found_ = factory(hwTableKey().fapRevision(), manager_, nullptr); }

 private:
  Orvel::Ptr<TableManager> manager_;
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>& found_;
};

// Verifies: the factory never hands out a table whose deletion has begun: it builds a new one instead, and the dying
// table is destroyed once.
TEST(TableFactory, NeverResurrectsADyingTable) {
  auto manager = newManager();
  const HwTableKey key("IppaCsInlif0ProfileMapHwDirect", kRev);
  const auto live = IppaCsInlif0ProfileMapHwDirect::allocTracker().live();
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> found;
  {
    Orvel::Ptr<LookedUpWhileDying> dying(new LookedUpWhileDying(key, manager, found));
    manager->hwTableCollIs(dying.ptr());
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(found->references(), 1u);
  EXPECT_EQ(manager->hwTableColl(key), nullptr) << "the dying table left the manager";
  EXPECT_EQ(IppaCsInlif0ProfileMapHwDirect::allocTracker().live(), live + 1) << "only the new table lives";
  found = nullptr;
  EXPECT_EQ(IppaCsInlif0ProfileMapHwDirect::allocTracker().live(), live);
}

// Verifies: every table's object and descriptor give what its catalogue description says (identity, blocks, each
// memory and its instance), and the descriptor's ranges follow the key: an indexed key's array range and entries 0 to
// its last entry index, a value key's max + 1 entries in array index 0, a register's one entry. Every table sets the
// same attributes, is standalone exactly when it has no plug-in, and a direct table keeps shadow information with its
// manager for as long as it lives.
TEST(TableObject, FollowsTheCatalogue) {
  auto manager = newManager();
  for (const auto* t : catalogue::tables()) {
    SCOPED_TRACE(t->name);
    const HwTableKey hwKey(t->name, kRev);
    auto table = t->freeFactory(t->name, hwKey, manager);
    const auto* shadowTable = dynamic_cast<const VovuAsicUtils::HwCommonShadowTableBase*>(table.ptr());
    ASSERT_NE(shadowTable, nullptr);
    EXPECT_EQ(std::tuple(table->shadowDownloadOnInit(), table->shadowAuditable(), table->entriesPerWrite(),
                         table->shadowMode(), table->standalone(), table->flag(Orvel::Node::kLiveFlag),
                         manager->hwTableShadowInfo(hwKey) != nullptr, std::string(table->chipName()),
                         shadowTable->hasParitySupport(), table->entryDataMaxSize(), table->entryDataMaxSizeBits()),
              std::tuple(1, 1, 1u, VovuAsicUtils::ShadowMode::perInstance, !t->tablePlugin, true,
                         t->kind == catalogue::TableKind::direct, std::string(t->chipName), t->parity, t->entrySize,
                         8 * t->entrySize));
    EXPECT_EQ(blocksOf(*table), std::vector<std::uint32_t>(t->blocks.begin(), t->blocks.end()));
    const auto& descriptor = table->tableDescriptor();
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->name(), t->group);
    ASSERT_EQ(descriptor->memInfoColl().size(), t->memories.size());
    for (std::uint32_t id = 0; id < t->memories.size(); ++id) {
      const auto& m = t->memories[id];
      auto memory = descriptor->memInfo(id);
      EXPECT_EQ(
          std::tuple(memory->isRegister(), memory->name(), memory->firstArrayIndex(), memory->arrayCount(),
                     memory->firstEntryIndex(), memory->entryCount(), memory->dmaEntryCount(), memory->entrySize(),
                     memory->dmaEntrySize(), memory->firstInstanceId(), memory->instanceCount()),
          std::tuple(t->kind == catalogue::TableKind::reg, m.name, m.firstArrayIndex, m.arrayCount, m.firstEntryIndex,
                     m.entryCount, m.entryCount, t->entrySize, t->entrySize, m.firstInstanceId, m.instanceCount));
      ASSERT_EQ(memory->instanceInfoColl().size(), 1u);
      auto instance = memory->instanceInfo(0);
      EXPECT_EQ(
          std::tuple(instance->addressOffset(), instance->block(), instance->broadcast(), instance->baseAddress()),
          std::tuple(0u, m.block, 0, m.baseAddress));
      const auto& key = t->key;
      if (t->kind == catalogue::TableKind::reg) {
        EXPECT_EQ(std::tuple(m.firstArrayIndex, m.arrayCount, m.entryCount), std::tuple(0, 1, 1u));
      } else if (key.form == catalogue::KeyForm::indexed) {
        EXPECT_EQ(std::tuple(m.firstArrayIndex, m.arrayCount, m.firstEntryIndex, m.entryCount),
                  std::tuple(key.arrayIndexMin, key.arrayIndexMax - key.arrayIndexMin + 1, 0u, key.entryIndexMax + 1));
      } else {
        EXPECT_EQ(std::tuple(m.firstArrayIndex, m.arrayCount, m.entryCount), std::tuple(0, 1, key.max + 1));
      }
    }
    table = nullptr;
    EXPECT_EQ(manager->hwTableShadowInfo(hwKey), nullptr) << "onDelete left shadow information";
  }
  EXPECT_EQ(IppaVsiToRoutingProfileMapHwDirect::allocTracker().live(), 0u);
  EXPECT_EQ(IppaVsiToRoutingProfileMapHwDirect::TableDescriptor::allocTracker().live(), 0u);
}

// Verifies the order of a table's initialisation where it shows: the manager's override comes after the table set its
// attributes, and the shadow information records the blocks declared before it (151 then 150).
TEST(TableObject, InitialisationOrder) {
  auto manager = newManager();
  manager->auditsDisabledIs(true);
  auto table = EtppcMtuMapTableHwDirect::factory(kRev, manager, nullptr);
  EXPECT_EQ(table->shadowAuditable(), 0);
  const auto* info = manager->hwTableShadowInfo(table->hwTableKey());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(*info, table->tableBlocks());
  EXPECT_EQ(info->size(), 2u);

  // A second object under the same key, dropped, leaves the first one's information.
  auto held = IppaCsInlif0ProfileMapHwDirect::factory(kRev, manager, nullptr);
  manager->hwTableCollIs(held.ptr());
  ippaCsInlif0ProfileMapHwDirectFactory("transient", held->hwTableKey(), manager);
  EXPECT_NE(manager->hwTableShadowInfo(held->hwTableKey()), nullptr);
}

// A table whose initialisation fails, to see what the generic factory leaves.
struct FailingTable : VovuAsicUtils::HwDirectTableBase {
  ORVEL_SLAB_ALLOCATED("test::FailingTable")
  static const char* tableName() { return "FailingTable"; }
  FailingTable(const Orvel::String& name, const HwTableKey& key, const Orvel::Ptr<TableManager>& manager)
      : HwDirectTableBase(name, key, manager) {
    throw std::runtime_error("handleInitialized failed");
  }
  const char* chipName() const override { return "test"; }
  std::uint32_t entryDataMaxSize() const override { return 4; }
  std::uint32_t entryDataMaxSizeBits() const override { return 32; }
  void addShadow(const VovuAsicUtils::HwShadowKey&) override {}
  void initShadow(const VovuAsicUtils::HwShadowKey&) override {}
};

// Verifies: a creation that fails releases the object's memory and its allocation count before the exception reaches
// the caller.
TEST(TableFactory, FailedCreationReleasesEverything) {
  auto manager = newManager();
  EXPECT_THROW(VovuAsicUtils::HwTableAccessor<FailingTable>::factory(kRev, manager, nullptr), std::runtime_error);
  const auto& allocations = FailingTable::allocTracker();
  EXPECT_EQ(
      std::tuple(allocations.allocations(), allocations.live(), allocations.liveBytes(), manager->hwTableCollSize()),
      std::tuple(1u, 0u, 0u, 0u));
}

// Registration as a host that links the plug-in sees it once the loader has run (which factories a load registers:
// PluginLoadTest.cpp).
class Registration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers(); }
};

// Verifies: the two plug-in name forms: the table plug-in registers with the loader as type name + "Plugin" (with the
// loader's own text and two empty strings); the reader plug-in stores its reader's name + "Plugin", so "ReadPlugin" is
// followed by a second "Plugin". The registered factories create the right objects for their key, readers with the
// instance range of the table's first memory; table factories register under the plug-in name "Default" and tag
// "noTag".
TEST_F(Registration, PluginNamesAndRegisteredFactories) {
  auto* context = VovuAsicUtils::HwTableHolderContext::singleton();
  for (const auto& f : context->hwTableFactories()) {
    EXPECT_EQ(std::tuple(f.pluginName, f.tag), std::tuple("Default", "noTag")) << fmt::format("{}", f.key);
  }
  const auto& registrations = VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().impl().registrations();
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager(new VovuAsicUtils::ReadTableManager());
  auto manager = newManager();
  for (const auto* t : catalogue::tables()) {
    SCOPED_TRACE(t->name);
    EXPECT_EQ(t->readerPluginName(), std::string(t->typeName) + "ReadPluginPlugin");
    const auto it = std::find_if(registrations.begin(), registrations.end(),
                                 [&](const auto& r) { return r.pluginName == std::string(t->typeName) + "Plugin"; });
    ASSERT_EQ(it != registrations.end(), t->tablePlugin);
    const HwTableKey key(t->name, kRev);
    auto reader = context->hwReaderCreate(key, readManager);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->hwTableKey(), key);
    const auto& first = t->memories[0];
    EXPECT_EQ(std::tuple(reader->minInstanceId(), reader->maxInstanceId()),
              std::tuple(first.firstInstanceId, first.firstInstanceId + first.instanceCount - 1));
    if (!t->tablePlugin) continue;
    EXPECT_EQ(std::tuple(it->loaderText, it->first, it->second), std::tuple("HwTableLoader", "", ""));
    auto table = context->hwTableCreate(key, manager, nullptr);
    ASSERT_TRUE(table);
    EXPECT_EQ(std::tuple(table->name(), table->hwTableKey()), std::tuple(t->name, key));
  }
}

}  // namespace
