// Shadow download and clear: walks, DMA bulk batches and their fall-back to single writes, on commands and chips.
#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include "DownloadTestSupport.h"
#include "EtppcMtuMapTableHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "Lumlog/Sink.h"
#include "Orvel/Exception.h"
#include "TarSnifActionTableHwDirect.h"

namespace {

using namespace test_download;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using SchanAccel::SchanCmd;
using VovuAsicUtils::HwShadowKey;

const HwShadowKey kChip0(0, 0);
const HwShadowKey kChip1(1, 0);

struct WalkCase {
  const char* name;
  std::uint32_t capacity;   // entries a buffer holds
  std::uint32_t poolLimit;  // DMA-backed buffers alive at once
  bool dma;
  bool empty;           // the shadow holds nothing and the chip some stray bits
  std::uint32_t bulks;  // bulk writes expected, ahead of the single writes
};

void PrintTo(const WalkCase& w, std::ostream* os) { *os << w.name; }

class DownloadWalkTest : public DownloadTest, public ::testing::WithParamInterface<WalkCase> {
 protected:
  // A reference table whose shadows of `keys` hold data naming each of the 512 keys, so that an entry written to the
  // wrong place shows: {arrayIndex, entryIndex, salt, 0x5a}, the salt one more for each next shadow.
  Orvel::Ptr<Reference> filledReference(const std::initializer_list<HwShadowKey>& keys, std::uint8_t salt) {
    auto table = make<Reference>();
    for (const HwShadowKey& key : keys) {
      table->addShadow(key);
      for (unsigned a = 2; a <= 3; ++a) {
        for (unsigned e = 0; e <= 255; ++e) {
          Reference::Entry entry{Reference::EntryKey(a, e)};
          const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(e), salt, 0x5a};
          std::memcpy(entry.data(), bytes, 4);
          table->setEntry(key, entry);
        }
      }
      salt = static_cast<std::uint8_t>(salt + 1);
    }
    return table;
  }
};

// Verifies: a full walk writes all 512 keys in walk order: bulk writes while the pool lasts, then single ones.
TEST_P(DownloadWalkTest, WritesEveryKeyInWalkOrder) {
  const WalkCase& w = GetParam();
  pool().bufSizeIs(w.capacity * 4);
  pool().poolLimitIs(w.poolLimit);
  pool().dmaMemoryIs(w.dma);
  auto table = filledReference({kChip0}, 7);
  if (w.empty) {
    table->shadow(kChip0)->collCleanup();
    simulator_.chip(0)->flipBit("ippaRoutingProfileTable", 0, 2, 0, 3);
    simulator_.chip(0)->flipBit("ippaRoutingProfileTable", 0, 3, 255, 31);
  }

  const auto batch = download(*table, kChip0, maskOf({0}));
  std::uint32_t walked = 0;
  std::uint32_t bulks = 0;
  std::uint32_t singles = 0;
  for (const auto& cmd : cmdsOf(batch)) {
    ASSERT_EQ(cmd->arrayIndex, 2 + walked / 256) << "after " << walked << " keys";
    ASSERT_EQ(cmd->entryIndex, walked % 256) << "after " << walked << " keys";
    if (cmd->isBulk()) {
      ASSERT_EQ(walked, bulks * w.capacity) << "a bulk write after a single one, or one not full";
      EXPECT_EQ(cmd->entryCount, std::min(w.capacity, 512 - walked));
      ++bulks;
      walked += cmd->entryCount;
    } else {
      ASSERT_EQ(cmd->kind, SchanCmd::Kind::memoryWrite);
      ++walked;
      ++singles;
    }
  }
  EXPECT_EQ(walked, 512u);
  EXPECT_EQ(bulks, w.bulks);
  EXPECT_EQ(pool().requestsWithoutDma(), singles);

  simulator_.execute(batch);
  EXPECT_EQ(
      simulator_.chip(0)->counters(),
      (sim::ChipCounters{.singleWrites = singles, .bulkWrites = bulks, .entriesWritten = 512, .bytesWritten = 2048}));
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

INSTANTIATE_TEST_SUITE_P(
    Walks, DownloadWalkTest,
    ::testing::Values(
        // 100 crosses the array-index boundary inside a buffer; 512 fills exactly one; 1000 is never full (only the
        // flush at the end); 7 leaves 1 for the last.
        WalkCase{"Capacity100", 100, 512, true, false, 6}, WalkCase{"Capacity512", 512, 512, true, false, 1},
        WalkCase{"Capacity1000", 1000, 512, true, false, 1}, WalkCase{"Capacity7", 7, 512, true, false, 74},
        WalkCase{"WithoutDmaMemory", 100, 512, false, false, 0},
        // Two buffers, both held by their bulk writes: the rest goes out as single writes.
        WalkCase{"PoolRunsOut", 100, 2, true, false, 2}, WalkCase{"EmptyShadow", 256, 512, true, true, 2}),
    [](const ::testing::TestParamInfo<WalkCase>& row) { return std::string(row.param.name); });

// Verifies: two downloads taken back to back and executed only afterwards both land (a pool that handed the first one's
// buffers out again would let the second overwrite its data).
TEST_F(DownloadWalkTest, DownloadsTakenBackToBackBothLand) {
  pool().bufSizeIs(64 * 4);
  auto table = filledReference({kChip0, kChip1}, 0x10);
  const auto first = download(*table, kChip0, maskOf({0, 1}));
  const auto second = download(*table, kChip1, maskOf({0, 1}));
  EXPECT_EQ(pool().buffersInUse(), 16u);
  simulator_.execute(first);
  simulator_.execute(second);
  EXPECT_TRUE(chipMatches(*table, kChip0));
  EXPECT_TRUE(chipMatches(*table, kChip1));
}

// Verifies: a table with two memories gets, per buffer, one bulk write to each, sharing the buffer.
TEST_F(DownloadTest, TwoMemoriesGetOneBulkWriteEachPerBuffer) {
  using Mtu = bcm88490_a0::EtppcMtuMapTableHwDirect;
  pool().bufSizeIs(50 * 4);
  auto table = make<Mtu>();
  table->addShadow(kChip0);
  Mtu::Entry entry{Mtu::EntryKey(127)};
  entry.mtuByteSizeIs(1500);
  table->setEntry(kChip0, entry);

  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto cmds = cmdsOf(batch);
  ASSERT_EQ(cmds.size(), 6u);  // 128 entries: buffers of 50, 50 and 28
  for (std::size_t i = 0; i < cmds.size(); i += 2) {
    const SchanCmd& first = *cmds[i];
    const SchanCmd& second = *cmds[i + 1];
    EXPECT_EQ(std::tuple(first.memoryId, second.memoryId), std::tuple(0u, 1u));
    EXPECT_EQ(std::tuple(first.entryIndex, first.entryCount, first.buffer),
              std::tuple(second.entryIndex, second.entryCount, second.buffer));
  }
  EXPECT_EQ(cmds[4]->entryCount, 28u);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: a partial walk, and a clear, write exactly the keys the shadow holds, one single write each.
TEST_F(DownloadTest, PartialWalkWritesTheHeldKeysOnly) {
  auto table = make<bcm88490_a0::TarSnifActionTableHwDirect>();
  table->addShadow(kChip0);
  const auto written = [](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
    std::set<KeyParts> keys;
    for (const auto& cmd : cmdsOf(batch)) {
      EXPECT_FALSE(cmd->isBulk());
      keys.insert({cmd->entryIndex, 0});
    }
    EXPECT_EQ(keys.size(), batch->size()) << "a key written twice";
    return keys;
  };
  const auto batch = download(*table, kChip0, maskOf({0}));
  EXPECT_EQ(written(batch), kTarSnifDefaults);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));

  const auto cleared = table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0}));
  EXPECT_EQ(written(cleared), kTarSnifDefaults);
  for (const auto& cmd : cmdsOf(cleared)) EXPECT_EQ(cmd->data, std::vector<std::uint8_t>(12, 0));
  EXPECT_TRUE(keysHeld(*table, kChip0).empty());
}

// Verifies: a download records its event and traces; for a mask without the shadow's chip, none.
TEST_F(DownloadTest, EventTracesAndMasksWithoutTheShadowsChip) {
  pool().bufSizeIs(256 * 4);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  const std::string rev = table->fapRevision().revString();
  {
    test_shadows::TraceCapture traces("*=0-9");
    Lumlog::eventsClear();
    download(*table, kChip0, maskOf({0, 3}));
    const std::string event = "fapType: bcm88490_a0, fapRevision: " + rev + ", downloadFapmask: {0,3}";
    const auto events = Lumlog::events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message, event);
    std::multiset<std::string> lines;  // "level message"
    for (const Lumlog::Record& r : traces.records()) lines.insert(std::to_string(r.level) + " " + r.message);
    EXPECT_TRUE(lines.contains("8 " + event));
    EXPECT_TRUE(lines.contains("8  fapType: bcm88490_a0 fapRevision: " + rev + " downloadFapmask: {0,3}"));
    EXPECT_TRUE(lines.contains("8 fapRevision: " + rev + ", downloadFapmask: {0}, isDelete: false"));
    EXPECT_TRUE(lines.contains("3  Processing all keys in shadow: 0-0"));
    EXPECT_EQ(lines.count("3 shadowKey: 0-0 queued 256 in bulk"), 2u);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("dmaMemPoolBuffer: DmaMemPoolBuffer(dmaAddr=0x100000000 slot=0 size=1024") != std::string::npos;
    }));
  }
  {
    test_shadows::TraceCapture traces("*=0-9");
    EXPECT_EQ(download(*table, kChip0, maskOf({5})), nullptr);
    const std::vector<std::string> messages = traces.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), " hwShadowKey: 0-0 not applicable for downloadFapmask: {5}"),
              messages.end());
    for (const std::string& m : messages) {
      EXPECT_NE(m.rfind(" Processing all keys", 0), 0u) << m;
      EXPECT_NE(m.rfind("fapRevision:", 0), 0u) << m;
    }
  }
  EXPECT_EQ(table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({5})), nullptr);
  EXPECT_TRUE(keysHeld(*table, kChip0).empty());
}

// Verifies: a failing buffer factory's exception reaches the caller; an interrupted clear leaves the shadow.
TEST_F(DownloadTest, BufferFactoryFailurePropagatesAndLeavesTheShadow) {
  using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
  auto table = make<Lpm>();
  table->addShadow(kChip0);
  const Lpm::Entry before = table->getEntry(kChip0, Lpm::EntryKey(0, 44));
  pool().requestFailureIs(true);
  EXPECT_THROW(download(*table, kChip0, maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_THROW(table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_EQ(table->getEntry(kChip0, Lpm::EntryKey(0, 44)), before);
  EXPECT_EQ(keysHeld(*table, kChip0).size(), 2048u);
}

using DownloadDeathTest = DownloadTest;

// Verifies: a bulk batch asked for without a buffer ends the process.
TEST_F(DownloadDeathTest, BulkCommandWithoutBufferEndsTheProcess) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  EXPECT_DEATH(table->shadow(kChip0)->enqueueBulkCmd(maskOf({0}), nullptr, 1, 2, 0), "Invalid dmaMemPoolBuffer");
}

}  // namespace
