// The host's table framework: chip revisions, plug-in loading, table registration, DMA buffers.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/Exception.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "support/ErrorOf.h"

namespace {

using Hardware::ChipType;
using Hardware::Vovu::FapRevision;
using namespace VovuAsicUtils;
using DmaMemPoolManager::DmaMemPoolBuffer;
using Manager = DmaMemPoolManager::DmaMemPoolManager;

// Revisions order by (major, minor), so a chip type's revisions sort
// together. The revision text drops the five-character prefix of both names;
// minor 0 contributes nothing; a chip type without a name is numbered.
TEST(FapRevision, OrderChipTypeAndText) {
  const FapRevision j3ai = FapRevision::of(ChipType::j3ai, 3);
  const FapRevision a0 = FapRevision::of(ChipType::bcm88490_a0, 0);
  const FapRevision a1 = FapRevision::of(ChipType::bcm88490_a0, 1);
  const FapRevision stepped = FapRevision::of(ChipType::bcm88490_a0, 0, 1);
  EXPECT_LT(j3ai, a0);
  EXPECT_LT(a0, a1);
  EXPECT_LT(a1, stepped);
  EXPECT_EQ((std::vector{j3ai.chipType(), a1.chipType(), stepped.chipType()}),
            (std::vector{ChipType::j3ai, ChipType::bcm88490_a0, ChipType::bcm88490_a0}));

  EXPECT_EQ(Hardware::Vovu::stringValueOfMajor(a0.major()), "FRMJ_bcm88490_a0");
  EXPECT_EQ(Hardware::Vovu::stringValueOfMinor(0), "FRMN_");
  EXPECT_EQ(a0.revString(), "bcm88490_a0");
  EXPECT_EQ(fmt::format("{}", a1), "bcm88490_a0r1");
  EXPECT_EQ(FapRevision::of(static_cast<ChipType>(99), 2).revString(), "chip99r2");
}

TEST(SupportedFapRevList, ParsesTextAndWalkToleratesChanges) {
  auto list = SupportedFapRevList::parse("25.1,12.0,25.0");
  EXPECT_EQ(list, (std::set<FapRevision>{FapRevision::of(ChipType::j3ai, 0), FapRevision::of(ChipType::bcm88490_a0, 0),
                                         FapRevision::of(ChipType::bcm88490_a0, 1)}));
  for (const char* bad : {"25", "25.", ".1", "25.1,", "x.1", "25.1.2", "-1.0"}) {
    EXPECT_THROW(SupportedFapRevList::parse(bad), Orvel::InvalidInitializeException) << bad;
  }

  // A revision added ahead of the walk is visited, one removed ahead is not,
  // and removing the current one does not lose the place.
  const auto saved = SupportedFapRevList::fapRevisionList();
  SupportedFapRevList::fapRevisionListIs({FapRevision::of(ChipType::bcm88490_a0, 0), FapRevision::of(ChipType::j3ai, 0),
                                          FapRevision::of(ChipType::bcm88490_a0, 2),
                                          FapRevision::of(ChipType::bcm88490_a0, 4)});
  std::vector<std::uint32_t> minors;
  SupportedFapRevList::forEachRevisionOf(ChipType::bcm88490_a0, [&](const FapRevision& r) {
    minors.push_back(r.minor());
    if (r.minor() == 0) {
      SupportedFapRevList::fapRevisionDel(r);  // the current one
      SupportedFapRevList::fapRevisionIs(FapRevision::of(ChipType::bcm88490_a0, 1));
      SupportedFapRevList::fapRevisionDel(FapRevision::of(ChipType::bcm88490_a0, 4));
    }
  });
  EXPECT_EQ(minors, (std::vector<std::uint32_t>{0, 1, 2}));
  SupportedFapRevList::fapRevisionListIs(saved);
}

using Calls = std::vector<std::pair<int, HwTableHolderContext*>>;

struct RecordingPlugin : Plugin::PluginBase {
  RecordingPlugin(Calls* calls, int id) : calls_(calls), id_(id) {}
  void init(HwTableHolderContext* context) override { calls_->emplace_back(id_, context); }
  Calls* calls_;
  int id_;
};

// Init callers are pushed at the front, run front to back, and each runs
// once however often the host runs the list.
TEST(Loader, RunsEachInitCallerOnceFrontToBack) {
  HwTableHolderContext context;
  Plugin::Loader loader("TestLoader", &context);
  Calls calls;
  RecordingPlugin first(&calls, 1), second(&calls, 2);
  loader.initCallerIs(first.initCaller());
  loader.initCallerIs(second.initCaller());
  EXPECT_EQ(loader.runInitCallers(), 2u);
  EXPECT_EQ(calls, (Calls{{2, &context}, {1, &context}}));
  EXPECT_EQ(loader.runInitCallers(), 0u);
  RecordingPlugin third(&calls, 3);
  loader.initCallerIs(third.initCaller());
  EXPECT_EQ(loader.runInitCallers(), 1u);
  EXPECT_EQ(calls, (Calls{{2, &context}, {1, &context}, {3, &context}}));
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

// A memory's instance range needs at least one instance, and a last id that
// fits in 8 bits. The group's shadow size is the largest arrays x entries of
// its memories.
TEST(BcmGroupAddrInfo, InstanceRangeLimitsAndMinShadowSize) {
  BcmGroupAddrInfo group("G");
  EXPECT_EQ(group.minShadowSize(), 0u);
  Orvel::Ptr<BcmRegMemInfo> a(new BcmMemInfo(0)), b(new BcmMemInfo(1));
  EXPECT_NO_THROW(a->instanceRangeIs(255, 1));
  EXPECT_EQ(a->lastInstanceId(), 255);
  EXPECT_NO_THROW(a->instanceRangeIs(0, 256));
  EXPECT_THROW(a->instanceRangeIs(0, 0), Orvel::RangeException);
  EXPECT_THROW(a->instanceRangeIs(255, 2), Orvel::RangeException);
  EXPECT_THROW(a->instanceRangeIs(1, 256), Orvel::RangeException);
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
  EXPECT_EQ(testing_support::errorOf<Orvel::RangeException>([] { VovuAsicUtils::FString101(std::string(102, 'n')); }),
            "FString101: length 102 exceeds 101 not allowed");
}

// A slot held by any reference (a command's, say) is not handed out again.
TEST(DmaMemPool, SlotsReturnOnlyWithTheLastReference) {
  Orvel::Ptr<Manager> pool(new Manager);
  pool->bufSizeIs(64);
  Orvel::Ptr<DmaMemPoolBuffer> first = DmaMemPoolManager::dmaMemPoolBufferFactory(pool);
  ASSERT_TRUE(first->isDmaMemory());
  Orvel::Ptr<DmaMemPoolBuffer> heldByACommand = first;
  first = nullptr;
  const Orvel::Ptr<DmaMemPoolBuffer> second = pool->buffer();
  EXPECT_NE(second->dmaAddrInfo().dmaAddr, heldByACommand->dmaAddrInfo().dmaAddr);
  EXPECT_EQ(pool->buffersInUse(), 2u);
  const std::uint64_t address = heldByACommand->dmaAddrInfo().dmaAddr;
  heldByACommand = nullptr;
  EXPECT_EQ(pool->buffersInUse(), 1u);
  EXPECT_EQ(pool->buffer()->dmaAddrInfo().dmaAddr, address);
}

// (The pool limit, the mode without DMA memory and a failing pool are
// exercised through downloads, tests/download/DownloadTest.cpp.)
TEST(DmaMemPool, CursorStaysInsideTheBuffer) {
  EXPECT_FALSE(DmaMemPoolManager::dmaMemPoolBufferFactory(nullptr)->isDmaMemory());
  Orvel::Ptr<Manager> pool(new Manager);
  pool->bufSizeIs(12);
  EXPECT_THROW(pool->bufSizeIs(0), Orvel::RangeException);
  const auto buffer = pool->buffer();
  std::uint8_t* start = buffer->vaCursor();
  buffer->incVaCursor(8);
  EXPECT_EQ(buffer->vaCursor(), start + 8);
  EXPECT_THROW(buffer->incVaCursor(8), Orvel::RangeException);
  EXPECT_EQ(buffer->used(), 8u);
  EXPECT_EQ(buffer->dmaAddrInfo().toString(), "dmaAddr=0x100000000 slot=0 size=12");
}

}  // namespace
