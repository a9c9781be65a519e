// Every table of the catalogue on two simulated chips, each chip compared with its shadow after every stage.
#include <cstdlib>
#include <random>
#include <string>

#include "DownloadTestSupport.h"
#include "VovuAsicUtils/ShadowAudit.h"

namespace {

using namespace test_download;
using bcm88490_a0::catalogue::TableDescription;
using VovuAsicUtils::HwShadowKey;

struct TableOnChips {
  const TableDescription* description;
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table;
};

class EndToEndTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    for (const TableDescription* t : bcm88490_a0::catalogue::tables()) {
      runs_.push_back({t, make(*t)});
      for (std::uint8_t chip : kChips) runs_.back().table->addShadow(HwShadowKey(chip, 0));
    }
  }

  // Calls fn(table, description, key) for every table's shadow of each chip.
  template <class Fn>
  void forEachShadow(Fn&& fn) {
    for (const TableOnChips& run : runs_) {
      for (std::uint8_t chip : kChips) fn(*run.table, *run.description, HwShadowKey(chip, 0));
    }
  }

  void downloadAll() {
    forEachShadow([&](auto& table, auto&, const HwShadowKey& key) {
      simulator_.execute(download(table, key, maskOf({0, 1})));
    });
  }

  void expectAllMatch(const std::string& stage) {
    SCOPED_TRACE(stage);
    forEachShadow([&](auto& table, auto&, const HwShadowKey& key) { EXPECT_TRUE(chipMatches(table, key)); });
  }

  // Sets and deletes random keys with random data. A host brings a deleted key of the partial-walk table back to its
  // default with the key's own single write (a partial download only writes the keys held): the workload does too.
  void randomWorkload(std::mt19937& random, int operations) {
    bcm88490_a0::catalogue::EntryBuffer entry;
    for (int i = 0; i < operations; ++i) {
      const TableOnChips& run = runs_[random() % runs_.size()];
      const TableDescription& t = *run.description;
      const HwShadowKey key(kChips[random() % kChips.size()], 0);
      if (t.key.form == bcm88490_a0::catalogue::KeyForm::indexed) {
        t.values->entryMake(entry.bytes,
                            t.key.arrayIndexMin + random() % (t.key.arrayIndexMax - t.key.arrayIndexMin + 1),
                            t.key.entryIndexMin + random() % (t.key.entryIndexMax - t.key.entryIndexMin + 1));
      } else {
        t.values->entryMake(entry.bytes, random() % (t.key.max + 1), 0);
      }
      if (random() % 3 == 0) {
        t.shadows->deleteEntry(*run.table, key, entry.bytes);
        if (t.walk == bcm88490_a0::catalogue::Walk::partial) {
          simulator_.execute(t.shadows->schanCmds(*run.table, key, entry.bytes));
        }
      } else {
        std::uint8_t* data = t.values->mutableData(entry.bytes);
        for (std::uint32_t b = 0; b < t.entrySize; ++b) data[b] = static_cast<std::uint8_t>(random());
        t.shadows->setEntry(*run.table, key, entry.bytes);
      }
    }
  }

  std::vector<TableOnChips> runs_;
};

// Verifies: every table's chips equal their shadows after download, audit, random work, download and clear.
TEST_F(EndToEndTest, ChipsFollowTheShadowsOfAllTables) {
  downloadAll();
  expectAllMatch("after defaults and download");
  const Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager(new VovuAsicUtils::ReadTableManager);
  const VovuAsicUtils::CommandExecutor execute = [this](const auto& batch) { simulator_.execute(batch); };
  std::uint64_t zeroAmbiguous = 0;
  forEachShadow([&](auto& table, const TableDescription& t, const HwShadowKey& key) {
    const VovuAsicUtils::AuditReport report = t.audit(table, key, readManager, execute, false);
    EXPECT_EQ(report.found(), 0u) << t.name << " chip " << int(key.fapId());
    EXPECT_GT(report.compared, 0u);
    zeroAmbiguous += report.zeroAmbiguous;
  });
  EXPECT_GE(zeroAmbiguous, 2u) << "IppdAllowDefaultRouteHwReg's default entry is all zero, on each chip";
  EXPECT_GT(simulator_.chip(1)->counters().registerReads, 0u);

  const char* seedText = std::getenv("VOVU_TEST_SEED");
  const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 20261205u;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (VOVU_TEST_SEED repeats it)");
  std::mt19937 random(seed);
  randomWorkload(random, 4000);
  downloadAll();
  expectAllMatch("after the random workload and a second download");

  forEachShadow([&](auto& table, const TableDescription& t, const HwShadowKey& key) {
    simulator_.execute(table.hwShadowColl(key)->clearShadow(table.fapRevision(), maskOf({0, 1})));
    EXPECT_TRUE(keysHeld(table, key).empty()) << t.name;
  });
  expectAllMatch("after clearShadow (zeros everywhere)");
  for (std::uint8_t chip : kChips) EXPECT_EQ(simulator_.chip(chip)->counters().rejections, 0u);
}

}  // namespace
