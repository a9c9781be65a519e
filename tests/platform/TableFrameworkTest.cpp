#include <gtest/gtest.h>

#include <vector>

#include "Orvel/Exception.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableHolderContext.h"

namespace {

using namespace VovuAsicUtils;

struct RecordingPlugin : Plugin::PluginBase {
  explicit RecordingPlugin(std::vector<int>* calls, int id) : calls_(calls), id_(id) {}
  void init(HwTableHolderContext* context) override {
    calls_->push_back(id_);
    context_ = context;
  }
  std::vector<int>* calls_;
  int id_;
  HwTableHolderContext* context_ = nullptr;
};

// Verifies: init callers are pushed at the front, run front to back with the
// loader's context, and each runs once however often the host runs the list.
TEST(Loader, RunsEachInitCallerOnceFrontToBack) {
  HwTableHolderContext context;
  Plugin::Loader loader("TestLoader", &context);
  std::vector<int> calls;
  RecordingPlugin first(&calls, 1), second(&calls, 2);
  loader.initCallerIs(first.initCaller());
  loader.initCallerIs(second.initCaller());
  EXPECT_EQ(loader.runInitCallers(), 2u);
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));
  EXPECT_EQ(first.context_, &context);
  EXPECT_EQ(loader.runInitCallers(), 0u);
  RecordingPlugin third(&calls, 3);
  loader.initCallerIs(third.initCaller());
  EXPECT_EQ(loader.runInitCallers(), 1u);
  EXPECT_EQ(calls, (std::vector<int>{2, 1, 3}));
  loader.initCallerDel(first.initCaller());
  EXPECT_EQ(loader.initCallers().size(), 2u);
}

// Verifies: a key is registered once; unregistering frees it again.
TEST(HwTableHolderContext, RefusesDuplicateKeys) {
  HwTableHolderContext context;
  HwTableKey key("T", FapRevision::of(Hardware::ChipType::bcm88490_a0, 0));
  context.registerHwReaderFactory(key, nullptr);
  EXPECT_THROW(context.registerHwReaderFactory(key, nullptr), Orvel::InvalidInitializeException);
  context.unregisterHwReaderFactory(key);
  EXPECT_NO_THROW(context.registerHwReaderFactory(key, nullptr));
  EXPECT_THROW(context.hwTableCreate(key, nullptr, nullptr), Orvel::InvalidInitializeException);
}

struct PlainTable : HwDirectTableBase {
  using HwDirectTableBase::HwDirectTableBase;
  const char* chipName() const override { return "test"; }
  std::uint32_t entryDataMaxSize() const override { return 4; }
  std::uint32_t entryDataMaxSizeBits() const override { return 32; }
  void addShadow(const HwShadowKey&) override {}
  void initShadow(const HwShadowKey&) override {}
};

// Verifies: a table leaves its manager's collection when destroyed, and its
// shadow information comes and goes with add/delHwTableShadowInfo.
TEST(TableManager, TablesLeaveTheCollectionWhenDestroyed) {
  Orvel::Ptr<TableManager> manager(new TableManager());
  HwTableKey key("T", FapRevision::of(Hardware::ChipType::bcm88490_a0, 0));
  {
    Orvel::Ptr<PlainTable> table(new PlainTable("T", key, manager));
    manager->hwTableCollIs(table.ptr());
    EXPECT_EQ(manager->hwTableColl(key), table.ptr());
    table->tableBlocksIs(Hardware::Block{7});
    table->addHwTableShadowInfo();
    ASSERT_NE(manager->hwTableShadowInfo(key), nullptr);
    EXPECT_EQ(manager->hwTableShadowInfo(key)->size(), 1u);
    table->delHwTableShadowInfo();
    EXPECT_EQ(manager->hwTableShadowInfo(key), nullptr);
  }
  EXPECT_EQ(manager->hwTableColl(key), nullptr);
}

// Verifies: instance ranges need at least one instance and a last id that
// fits in 8 bits; the boundaries are admitted.
TEST(BcmRegMemInfo, InstanceRangeLimits) {
  BcmMemInfo memory(0);
  EXPECT_NO_THROW(memory.instanceRangeIs(255, 1));
  EXPECT_EQ(memory.lastInstanceId(), 255);
  EXPECT_NO_THROW(memory.instanceRangeIs(0, 256));
  EXPECT_THROW(memory.instanceRangeIs(0, 0), Orvel::RangeException);
  EXPECT_THROW(memory.instanceRangeIs(255, 2), Orvel::RangeException);
  EXPECT_THROW(memory.instanceRangeIs(1, 256), Orvel::RangeException);
}

// Verifies: the shadow size is the largest arrays x entries of the memories.
TEST(BcmGroupAddrInfo, MinShadowSizeCoversTheLargestMemory) {
  BcmGroupAddrInfo group("G");
  EXPECT_EQ(group.minShadowSize(), 0u);
  Orvel::Ptr<BcmRegMemInfo> a(new BcmMemInfo(0)), b(new BcmMemInfo(1));
  a->arrayCountIs(2);
  a->entryCountIs(256);
  b->arrayCountIs(1);
  b->entryCountIs(1024);
  group.memInfoIs(b);
  group.memInfoIs(a);
  EXPECT_EQ(group.minShadowSize(), 1024u);
  EXPECT_EQ(group.firstMemInfo(), a);
}

// Verifies: a register storage name holds up to 101 characters; a longer one
// is refused with the bounded-array message.
TEST(RegShadowEntryStorage, NamesUpTo101Characters) {
  EXPECT_EQ(VovuAsicUtils::FString101(std::string(101, 'n')).view(), std::string(101, 'n'));
  try {
    VovuAsicUtils::FString101 tooLong(std::string(102, 'n'));
    ADD_FAILURE() << "a 102-character name was accepted";
  } catch (const Orvel::RangeException& e) {
    EXPECT_STREQ(e.what(), "FString101: length 102 exceeds 101 not allowed");
  }
}

}  // namespace
