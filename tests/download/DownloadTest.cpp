// Shadow download and clear: the walks, the DMA bulk batches and their
// fall-back to single writes, checked on the commands and on what a simulated
// chip holds after executing them.
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "DownloadTestSupport.h"
#include "EtppcMtuMapTableHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "Lumlog/Sink.h"
#include "Orvel/Exception.h"
#include "TarSnifActionTableHwDirect.h"
#include "Zev/TraceHandle.h"

namespace {

using namespace test_download;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using Mtu = bcm88490_a0::EtppcMtuMapTableHwDirect;
using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
using Ttl0 = bcm88490_a0::IppbTtl0ActionProfileHwReg;
using SchanAccel::SchanCmd;
using VovuAsicUtils::HwShadowKey;

const HwShadowKey kChip0(0, 0);
const HwShadowKey kChip1(1, 0);

// Gives every key of the reference table data that names it, so that an entry
// written to the wrong place shows: {arrayIndex, entryIndex, salt, 0x5a}.
void fillReference(Reference& table, const HwShadowKey& key, std::uint8_t salt) {
  for (unsigned a = 2; a <= 3; ++a) {
    for (unsigned e = 0; e <= 255; ++e) {
      Reference::Entry entry{Reference::EntryKey(a, e)};
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(e), salt, 0x5a};
      std::memcpy(entry.data(), bytes, 4);
      table.setEntry(key, entry);
    }
  }
}

// (arrayIndex, entryIndex, count) of each bulk write.
std::vector<std::array<std::uint32_t, 3>> bulkRuns(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  std::vector<std::array<std::uint32_t, 3>> runs;
  for (const auto& cmd : cmdsOf(batch)) {
    if (cmd->isBulk()) runs.push_back({cmd->arrayIndex, cmd->entryIndex, cmd->entryCount});
  }
  return runs;
}

class DownloadWalkTest : public DownloadTest, public ::testing::WithParamInterface<std::uint32_t> {};

// Verifies: with room for C entries a buffer, the 512 keys of the reference
// table (array indices 2 and 3, entries 0 to 255) go out in ceil(512 / C) bulk
// writes, each starting where the previous one ended (running on from entry
// 255 of array index 2 into array index 3), the last holding 512 mod C; the
// chip then holds every entry in its place.
TEST_P(DownloadWalkTest, FullWalkPacksEveryKeyIntoBulkWrites) {
  const std::uint32_t capacity = GetParam();
  pool().bufSizeIs(capacity * 4);
  pool().poolLimitIs(512);  // every bulk write holds its buffer until executed
  auto table = make<Reference>();
  table->addShadow(kChip0);
  fillReference(*table, kChip0, 7);

  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto runs = bulkRuns(batch);
  ASSERT_EQ(runs.size(), (512 + capacity - 1) / capacity);
  EXPECT_EQ(countKinds(batch).single, 0u);
  std::uint32_t walked = 0;
  for (const auto& [arrayIndex, entryIndex, count] : runs) {
    EXPECT_EQ(arrayIndex, 2 + walked / 256);
    EXPECT_EQ(entryIndex, walked % 256);
    walked += count;
  }
  EXPECT_EQ(walked, 512u);
  EXPECT_EQ(runs.back()[2], 512 % capacity == 0 ? capacity : 512 % capacity);

  EXPECT_EQ(simulator_.execute(batch), runs.size());
  EXPECT_EQ(simulator_.chip(0)->counters().entriesWritten, 512u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// 100 crosses the array-index boundary inside a buffer; 512 fills exactly one;
// 1000 is never full (only the flush at the end); 7 leaves 1 for the last.
INSTANTIATE_TEST_SUITE_P(Capacities, DownloadWalkTest, ::testing::Values(100u, 512u, 1000u, 7u));

// Verifies: an empty shadow writes the default entry (zeros) to all 512 keys,
// over whatever the chip held.
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

// Verifies: a table with two memories gets, per buffer, one bulk write to each
// memory with the same start key, count and buffer; both memories end equal
// to the shadow.
TEST_F(DownloadTest, TwoMemoriesGetOneBulkWriteEachPerBuffer) {
  pool().bufSizeIs(50 * 4);
  auto table = make<Mtu>();
  table->addShadow(kChip0);
  Mtu::Entry entry{Mtu::EntryKey(127)};
  entry.mtuByteSizeIs(1500);
  table->setEntry(kChip0, entry);

  const auto cmds = cmdsOf(download(*table, kChip0, maskOf({0})));
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
  SchanAccel::SchanCmds batch;
  for (const auto& cmd : cmds) batch.cmdEnq(cmd);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: without DMA memory every key goes out as a single write, in walk order.
TEST_F(DownloadTest, WithoutDmaMemoryEveryKeyIsASingleWriteInWalkOrder) {
  pool().dmaMemoryIs(false);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  fillReference(*table, kChip0, 1);

  const auto cmds = cmdsOf(download(*table, kChip0, maskOf({0})));
  ASSERT_EQ(cmds.size(), 512u);
  for (std::size_t i = 0; i < cmds.size(); ++i) {
    ASSERT_EQ(cmds[i]->kind, SchanCmd::Kind::memoryWrite);
    ASSERT_EQ(cmds[i]->arrayIndex, 2 + i / 256);
    ASSERT_EQ(cmds[i]->entryIndex, i % 256);
  }
  SchanAccel::SchanCmds batch;
  for (const auto& cmd : cmds) batch.cmdEnq(cmd);
  simulator_.execute(batch);
  EXPECT_EQ(simulator_.chip(0)->counters().singleWrites, 512u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

// Verifies: a pool that runs out in the middle of a walk (two buffers, both
// held by their bulk writes) leaves the rest to single writes, in walk order,
// and the chip still ends equal to the shadow.
TEST_F(DownloadTest, PoolRunningOutMixesBulkAndSingleWrites) {
  pool().bufSizeIs(100 * 4);
  pool().poolLimitIs(2);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  fillReference(*table, kChip0, 2);

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

// Verifies: buffers stay with their bulk writes: two downloads taken back to
// back and executed only afterwards both land (a pool that handed the first
// download's buffers out again would let the second overwrite its data).
TEST_F(DownloadTest, DownloadsTakenBackToBackBothLand) {
  pool().bufSizeIs(64 * 4);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  table->addShadow(kChip1);
  fillReference(*table, kChip0, 0x10);
  fillReference(*table, kChip1, 0x20);

  const auto first = download(*table, kChip0, maskOf({0, 1}));
  const auto second = download(*table, kChip1, maskOf({0, 1}));
  EXPECT_EQ(pool().buffersInUse(), 16u);
  simulator_.execute(first);
  simulator_.execute(second);
  EXPECT_TRUE(chipMatches(*table, kChip0));
  EXPECT_TRUE(chipMatches(*table, kChip1));
}

// Verifies: the two instances of the LPM memory are both written, by bulk
// writes that name the instance range 0..1.
TEST_F(DownloadTest, EveryInstanceOfTheMemoryIsWritten) {
  auto table = make<Lpm>();
  table->addShadow(kChip0);
  const auto cmds = cmdsOf(download(*table, kChip0, maskOf({0})));
  ASSERT_FALSE(cmds.empty());
  for (const auto& cmd : cmds) {
    EXPECT_EQ(cmd->firstInstance, 0);
    EXPECT_EQ(cmd->instanceCount, 2);
  }
  SchanAccel::SchanCmds batch;
  for (const auto& cmd : cmds) batch.cmdEnq(cmd);
  simulator_.execute(batch);
  EXPECT_EQ(simulator_.chip(0)->counters().entriesWritten, 2u * 2048u);
  EXPECT_TRUE(chipMatches(*table, kChip0));
}

std::set<std::uint32_t> entryIndices(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  std::set<std::uint32_t> keys;
  for (const auto& cmd : cmdsOf(batch)) keys.insert(cmd->entryIndex);
  return keys;
}

// Verifies: the trap table writes exactly the keys its shadow holds (its ten
// default entries), one single write each; clearShadow writes zeros to exactly
// those keys and leaves the shadow empty.
TEST_F(DownloadTest, PartialWalkWritesTheHeldKeysOnly) {
  auto table = make<TarSnif>();
  table->addShadow(kChip0);
  const std::set<std::uint32_t> held = {1, 2, 3, 7, 8, 11, 12, 16, 17, 19};

  const auto batch = download(*table, kChip0, maskOf({0}));
  EXPECT_EQ(batch->size(), held.size());
  EXPECT_EQ(countKinds(batch).bulk, 0u);
  EXPECT_EQ(entryIndices(batch), held);
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));

  const auto cleared = table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0}));
  EXPECT_EQ(entryIndices(cleared), held);
  for (const auto& cmd : cmdsOf(cleared)) EXPECT_EQ(cmd->data, std::vector<std::uint8_t>(12, 0));
  std::size_t left = 0;
  TarSnif::description().shadows->forEachEntry(*table, kChip0, [&](const void*) { ++left; });
  EXPECT_EQ(left, 0u);
  simulator_.execute(cleared);
  EXPECT_TRUE(chipMatches(*table, kChip0));  // the empty shadow: zeros everywhere
}

// Verifies: a register shadow downloads its stored entry with one register
// write; clearShadow writes the default entry and removes the stored one.
TEST_F(DownloadTest, RegisterDownloadAndClear) {
  auto table = make<Ttl0>();
  table->addShadow(kChip0);
  const auto batch = download(*table, kChip0, maskOf({0}));
  const auto cmds = cmdsOf(batch);
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0]->kind, SchanCmd::Kind::registerWrite);
  EXPECT_EQ(cmds[0]->data, (std::vector<std::uint8_t>{0x07, 0x36, 0x87, 0x39, 0x80, 0x40, 0x00, 0x00}));
  simulator_.execute(batch);
  EXPECT_TRUE(chipMatches(*table, kChip0));

  const auto cleared = table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0}));
  ASSERT_EQ(cleared->size(), 1u);
  EXPECT_EQ(cmdsOf(cleared)[0]->data, std::vector<std::uint8_t>(8, 0));
  EXPECT_FALSE(table->shadow(kChip0)->present(Ttl0::EntryKey(0)));
  simulator_.execute(cleared);
  EXPECT_EQ(simulator_.chip(0)->entry("ippbTtl0ActionProfile", 0, 0, 0)[1], 0);
}

class CapturedTraces {
 public:
  CapturedTraces() {
    Zev::TraceHandle::enable("*=0-9");
    Lumlog::currentSinkIs(&sink_);
    Lumlog::eventsClear();
  }
  ~CapturedTraces() {
    Lumlog::currentSinkIs(nullptr);
    Zev::TraceHandle::disableAll();
  }
  bool has(std::uint16_t level, const std::string& message) const {
    const auto records = sink_.records();
    return std::any_of(records.begin(), records.end(),
                       [&](const Lumlog::Record& r) { return r.level == level && r.message == message; });
  }
  bool hasPrefix(const std::string& prefix) const {
    const auto records = sink_.records();
    return std::any_of(records.begin(), records.end(),
                       [&](const Lumlog::Record& r) { return r.message.rfind(prefix, 0) == 0; });
  }
  std::size_t count(std::uint16_t level, const std::string& message) const {
    const auto records = sink_.records();
    return std::count_if(records.begin(), records.end(),
                         [&](const Lumlog::Record& r) { return r.level == level && r.message == message; });
  }

 private:
  Lumlog::CaptureSink sink_;
};

// Verifies: the download's event and traces, with their texts and levels.
TEST_F(DownloadTest, DownloadRecordsItsEventAndTraces) {
  pool().bufSizeIs(256 * 4);
  auto table = make<Reference>();
  table->addShadow(kChip0);
  const std::string rev = table->fapRevision().revString();
  CapturedTraces traces;
  download(*table, kChip0, maskOf({0, 3}));

  const std::string event = "fapType: bcm88490_a0, fapRevision: " + rev + ", downloadFapmask: {0,3}";
  const auto events = Lumlog::events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, event);
  EXPECT_TRUE(traces.has(8, event));
  EXPECT_TRUE(traces.has(8, " fapType: bcm88490_a0 fapRevision: " + rev + " downloadFapmask: {0,3}"));
  EXPECT_TRUE(traces.has(8, "fapRevision: " + rev + ", downloadFapmask: {0}, isDelete: false"));
  EXPECT_TRUE(traces.has(3, " Processing all keys in shadow: 0-0"));
  EXPECT_EQ(traces.count(3, "shadowKey: 0-0 queued 256 in bulk"), 2u);
  EXPECT_TRUE(traces.hasPrefix("dmaMemPoolBuffer: DmaMemPoolBuffer(dmaAddr=0x100000000 slot=0 size=1024"));
}

// Verifies: a mask without the shadow's chip gives null after the
// not-applicable trace, and no walk runs; clearShadow still empties the shadow.
TEST_F(DownloadTest, MaskWithoutTheShadowsChipGivesNull) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  {
    CapturedTraces traces;
    EXPECT_EQ(download(*table, kChip0, maskOf({5})), nullptr);
    EXPECT_TRUE(traces.has(8, " hwShadowKey: 0-0 not applicable for downloadFapmask: {5}"));
    EXPECT_FALSE(traces.hasPrefix(" Processing all keys"));
    EXPECT_FALSE(traces.hasPrefix("fapRevision:"));
  }
  EXPECT_EQ(table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({5})), nullptr);
  std::size_t left = 0;
  Reference::description().shadows->forEachEntry(*table, kChip0, [&](const void*) { ++left; });
  EXPECT_EQ(left, 0u);
}

// Verifies: a failing buffer factory's exception reaches the caller, and a
// clearShadow it interrupts leaves the shadow as it was.
TEST_F(DownloadTest, BufferFactoryFailurePropagatesAndLeavesTheShadow) {
  auto table = make<Lpm>();
  table->addShadow(kChip0);
  const Lpm::Entry before = table->getEntry(kChip0, Lpm::EntryKey(0, 44));
  pool().requestFailureIs(true);
  EXPECT_THROW(download(*table, kChip0, maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_THROW(table->shadow(kChip0)->clearShadow(table->fapRevision(), maskOf({0})), Orvel::MemoryResourceException);
  EXPECT_EQ(table->getEntry(kChip0, Lpm::EntryKey(0, 44)), before);
  std::size_t held = 0;
  Lpm::description().shadows->forEachEntry(*table, kChip0, [&](const void*) { ++held; });
  EXPECT_EQ(held, 2048u);
}

using DownloadDeathTest = DownloadTest;

// Verifies: a bulk batch asked for without a buffer ends the process.
TEST_F(DownloadDeathTest, BulkCommandWithoutBufferEndsTheProcess) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  auto shadow = table->shadow(kChip0);
  EXPECT_DEATH(shadow->enqueueBulkCmd(maskOf({0}), nullptr, 1, 2, 0), "Invalid dmaMemPoolBuffer");
}

}  // namespace
