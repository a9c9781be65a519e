#include <gtest/gtest.h>

#include <vector>

#include "Orvel/Exception.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "platform/ThrownMessage.h"

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

// Init callers are pushed at the front, run front to back, and each runs
// once however often the host runs the list.
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

TEST(HwTableHolderContext, RefusesDuplicateKeys) {
  HwTableHolderContext context;
  HwTableKey key("T", FapRevision::of(Hardware::ChipType::bcm88490_a0, 0));
  context.registerHwReaderFactory(key, nullptr);
  EXPECT_THROW(context.registerHwReaderFactory(key, nullptr), Orvel::InvalidInitializeException);
  context.unregisterHwReaderFactory(key);
  EXPECT_NO_THROW(context.registerHwReaderFactory(key, nullptr));
  EXPECT_THROW(context.hwTableCreate(key, nullptr, nullptr), Orvel::InvalidInitializeException);
}

// At least one instance, and a last id that fits in 8 bits.
TEST(BcmRegMemInfo, InstanceRangeLimits) {
  BcmMemInfo memory(0);
  EXPECT_NO_THROW(memory.instanceRangeIs(255, 1));
  EXPECT_EQ(memory.lastInstanceId(), 255);
  EXPECT_NO_THROW(memory.instanceRangeIs(0, 256));
  EXPECT_THROW(memory.instanceRangeIs(0, 0), Orvel::RangeException);
  EXPECT_THROW(memory.instanceRangeIs(255, 2), Orvel::RangeException);
  EXPECT_THROW(memory.instanceRangeIs(1, 256), Orvel::RangeException);
}

// The shadow size is the largest arrays x entries of the memories.
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

TEST(RegShadowEntryStorage, NamesUpTo101Characters) {
  EXPECT_EQ(VovuAsicUtils::FString101(std::string(101, 'n')).view(), std::string(101, 'n'));
  EXPECT_EQ(thrownMessage<Orvel::RangeException>([] { VovuAsicUtils::FString101(std::string(102, 'n')); }),
            "FString101: length 102 exceeds 101 not allowed");
}

}  // namespace
