// Shadow download and clear: the walks, the DMA bulk batches and their fall-back to single writes, checked on the
// commands and on what a simulated chip holds after executing them. Every table's download and clear on two chips is
// EndToEndTest's.
#include <algorithm>
#include <cstring>
#include <set>

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

class DownloadWalkTest : public DownloadTest, public ::testing::WithParamInterface<std::uint32_t> {
 protected:
  // A reference table whose shadow `key` holds data naming each of its 512 keys, so that an entry written to the wrong
  // place shows: {arrayIndex, entryIndex, salt, 0x5a}.
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

// Verifies: with room for C entries a buffer, the 512 keys of the reference table (array indices 2 and 3, entries 0 to
// 255) go out in ceil(512 / C) bulk writes, each starting where the previous one ended (running on from entry 255 of
// array index 2 into array index 3), the last holding 512 mod C; the chip then holds every entry in its place.
TEST_P(DownloadWalkTest, FullWalkPacksEveryKeyIntoBulkWrites) {
  const std::uint32_t capacity = GetParam();
  pool().bufSizeIs(capacity * 4);
  pool().poolLimitIs(512);  // every bulk write holds its buffer until executed
  auto table = filledReference({kChip0}, 7);

  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto cmds = cmdsOf(batch);
  ASSERT_EQ(cmds.size(), (512 + capacity - 1) / capacity);
  std::uint32_t walked = 0;
  for (const auto& cmd : cmds) {
    ASSERT_TRUE(cmd->isBulk());
    EXPECT_EQ(cmd->arrayIndex, 2 + walked / 256);
    EXPECT_EQ(cmd->entryIndex, walked % 256);
    walked += cmd->entryCount;
  }
  EXPECT_EQ(walked, 512u);
  EXPECT_EQ(cmds.back()->entryCount, 512 % capacity == 0 ? capacity : 512 % capacity);

  EXPECT_EQ(simulator_.execute(batch), cmds.size());
  EXPECT_EQ(simulator_.chip(0)->counters().entriesWritten, 512u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// 100 crosses the array-index boundary inside a buffer; 512 fills exactly one; 1000 is never full (only the flush at
// the end); 7 leaves 1 for the last.
INSTANTIATE_TEST_SUITE_P(Capacities, DownloadWalkTest, ::testing::Values(100u, 512u, 1000u, 7u));

// Verifies: without DMA memory every key goes out as a single write, in walk order.
TEST_F(DownloadWalkTest, WithoutDmaMemoryEveryKeyIsASingleWriteInWalkOrder) {
  pool().dmaMemoryIs(false);
  auto table = filledReference({kChip0}, 1);
  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto cmds = cmdsOf(batch);
  ASSERT_EQ(cmds.size(), 512u);
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    ASSERT_EQ(cmds[i]->kind, SchanCmd::Kind::memoryWrite);
    ASSERT_EQ(cmds[i]->arrayIndex, 2 + i / 256);
    ASSERT_EQ(cmds[i]->entryIndex, i % 256);
  }
  simulator_.execute(batch);
  EXPECT_EQ(simulator_.chip(0)->counters().singleWrites, 512u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: a pool that runs out in the middle of a walk (two buffers, both held by their bulk writes) leaves the rest
// to single writes, in walk order, and the chip still ends equal to the shadow.
TEST_F(DownloadWalkTest, PoolRunningOutMixesBulkAndSingleWrites) {
  pool().bufSizeIs(100 * 4);
  pool().poolLimitIs(2);
  auto table = filledReference({kChip0}, 2);
  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto cmds = cmdsOf(batch);
  ASSERT_EQ(cmds.size(), 2u + 312u);
  EXPECT_TRUE(cmds[0]->isBulk() && cmds[1]->isBulk());
  EXPECT_EQ(cmds[1]->entryIndex, 100u);
  EXPECT_FALSE(cmds[2]->isBulk());
  EXPECT_EQ(cmds[2]->entryIndex, 200u);
  EXPECT_EQ(pool().requestsWithoutDma(), 312u);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: buffers stay with their bulk writes: two downloads taken back to back and executed only afterwards both
// land (a pool that handed the first download's buffers out again would let the second overwrite its data).
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

// Verifies: an empty shadow writes the default entry (zeros) to all 512 keys, over whatever the chip held.
TEST_F(DownloadTest, EmptyShadowWritesTheDefaultEntryEverywhere) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  table->shadow(kChip0)->collCleanup();
  sim::Chip& chip = *simulator_.chip(0);
  chip.flipBit("ippaRoutingProfileTable", 0, 2, 0, 3);
  chip.flipBit("ippaRoutingProfileTable", 0, 3, 255, 31);
  simulator_.execute(download(*table, kChip0, maskOf({0})));
  EXPECT_EQ(chip.counters().entriesWritten, 512u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
  EXPECT_EQ(chip.entry("ippaRoutingProfileTable", 0, 3, 255)[3], 0);
}

// Verifies: a table with two memories gets, per buffer, one bulk write to each memory with the same start key, count
// and buffer; both memories end equal to the shadow.
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
    EXPECT_EQ(cmds[i]->memoryId, 0u);
    EXPECT_EQ(cmds[i + 1]->memoryId, 1u);
    EXPECT_NE(cmds[i]->name, cmds[i + 1]->name);
    EXPECT_EQ(cmds[i]->entryIndex, cmds[i + 1]->entryIndex);
    EXPECT_EQ(cmds[i]->entryCount, cmds[i + 1]->entryCount);
    EXPECT_EQ(cmds[i]->buffer, cmds[i + 1]->buffer);
  }
  EXPECT_EQ(cmds[4]->entryCount, 28u);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: the trap table writes exactly the keys its shadow holds (its ten default entries), one single write each;
// clearShadow writes zeros to exactly those keys and leaves the shadow empty.
TEST_F(DownloadTest, PartialWalkWritesTheHeldKeysOnly) {
  auto table = make<bcm88490_a0::TarSnifActionTableHwDirect>();
  table->addShadow(kChip0);
  const std::set<std::uint32_t> keys = {1, 2, 3, 7, 8, 11, 12, 16, 17, 19};
  const auto written = [](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
    std::set<std::uint32_t> indices;
    for (const auto& cmd : cmdsOf(batch)) {
      EXPECT_FALSE(cmd->isBulk());
      indices.insert(cmd->entryIndex);
    }
    EXPECT_EQ(indices.size(), batch->size()) << "a key written twice";
    return indices;
  };

  const auto batch = download(*table, kChip0, maskOf({0}));
  EXPECT_EQ(written(batch), keys);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));

  const auto cleared = table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0}));
  EXPECT_EQ(written(cleared), keys);
  for (const auto& cmd : cmdsOf(cleared)) EXPECT_EQ(cmd->data, std::vector<std::uint8_t>(12, 0));
  EXPECT_EQ(held(*table, kChip0), 0u);
}

// Verifies: the download's event and traces, with their texts and levels.
TEST_F(DownloadTest, DownloadRecordsItsEventAndTraces) {
  pool().bufSizeIs(256 * 4);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  const std::string rev = table->fapRevision().revString();
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

// Verifies: a mask without the shadow's chip gives null after the not-applicable trace, and no walk runs; clearShadow
// still empties the shadow.
TEST_F(DownloadTest, MaskWithoutTheShadowsChipGivesNull) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
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
  EXPECT_EQ(held(*table, kChip0), 0u);
}

// Verifies: a failing buffer factory's exception reaches the caller; a clearShadow it interrupts leaves the shadow.
TEST_F(DownloadTest, BufferFactoryFailurePropagatesAndLeavesTheShadow) {
  using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
  auto table = make<Lpm>();
  table->addShadow(kChip0);
  const Lpm::Entry before = table->getEntry(kChip0, Lpm::EntryKey(0, 44));
  pool().requestFailureIs(true);
  EXPECT_THROW(download(*table, kChip0, maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_THROW(table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_EQ(table->getEntry(kChip0, Lpm::EntryKey(0, 44)), before);
  EXPECT_EQ(held(*table, kChip0), 2048u);
}

using DownloadDeathTest = DownloadTest;

// Verifies: a bulk batch asked for without a buffer ends the process.
TEST_F(DownloadDeathTest, BulkCommandWithoutBufferEndsTheProcess) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  EXPECT_DEATH(table->shadow(kChip0)->enqueueBulkCmd(maskOf({0}), nullptr, 1, 2, 0), "Invalid dmaMemPoolBuffer");
}

}  // namespace
