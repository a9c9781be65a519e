// Read-back: the readers' requests, the decoding of DMA buffers, and the audit that compares a chip with its shadow
// and repairs it. Every table's clean audit, registers and value keys included, is EndToEndTest's.
#include <map>
#include <set>
#include <tuple>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "EtppcMtuMapTableHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "Orvel/Exception.h"
#include "VovuAsicUtils/ShadowAudit.h"
#include "download/DownloadTestSupport.h"

namespace {

using namespace test_download;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using ReferenceReader = bcm88490_a0::HwTableIppaVsiToRoutingProfileMapHwDirectReader;
using Mtu = bcm88490_a0::EtppcMtuMapTableHwDirect;
using Ttl0 = bcm88490_a0::IppbTtl0ActionProfileHwReg;
using SchanAccel::SchanCmd;
using namespace VovuAsicUtils;

const HwShadowKey kChip0(0, 0);

class ReadBackTest : public DownloadTest {
 protected:
  Orvel::Ptr<ReadTableManager> readManager_{new ReadTableManager};
  Orvel::Ptr<HwTableReadResultContainer> container_{new HwTableReadResultContainer};

  CommandExecutor executor() {
    return [this](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) { simulator_.execute(batch); };
  }

  // Decodes a completed bulk read of the reference table on `chip`: `count` elements of 4 bytes from (arrayIndex,
  // first), all zero but for the first bytes in `nonZero` (element: byte). Returns the number of entries stored.
  int decode(std::uint8_t arrayIndex, std::uint32_t first, std::uint32_t count,
             const std::map<std::uint32_t, std::uint8_t>& nonZero, std::uint8_t chip = 0) {
    auto buffer = readManager_->dmaMemPoolManager()->buffer(count * 4);
    for (const auto& [element, byte] : nonZero) buffer->va()[element * 4] = byte;
    const Orvel::Ptr<HwReadBulkCmdInfo> info(new HwReadBulkCmdInfo(chip, 0, kRev25, buffer, arrayIndex, first, count));
    return processReadDmaComplete<ReferenceReader::HwInstanceReadResult, Reference::EntryKey, Reference::Entry, true>(
        info, container_);
  }

  const ReferenceReader::HwInstanceReadResult& resultOf(const HwShadowKey& key) {
    return static_cast<const ReferenceReader::HwInstanceReadResult&>(*container_->perInstanceReadResult(key));
  }
};

using Request = Orvel::Ptr<const HwReadRequestParameterBase>;
Request request(std::uint8_t fapId, std::uint8_t type) {
  return Request(new HwReadRequestParameterBase(fapId, 0, type));
}

// Verifies: each request type builds the bulk reads of its chips and array indices, or none with a trace.
TEST_F(ReadBackTest, RequestsBuildBulkReadsForTheirChipsAndIndices) {
  auto reader = ReferenceReader::factory(kRev25, readManager_);
  reader->fapmaskIs(maskOf({0, 3, 5}));
  auto all = cmdsOf(reader->tableReadSchanCmds(request(128, 0), container_));
  ASSERT_EQ(all.size(), 3u * 2u);  // three chips, array indices 2 and 3
  std::set<std::pair<int, int>> read;
  for (const auto& cmd : all) {
    const auto* cmdlet = dynamic_cast<const GenericBulkReadCmdlet*>(cmd.ptr());
    ASSERT_NE(cmdlet, nullptr);
    EXPECT_EQ(std::tuple(cmd->kind, cmd->fapmask.count(), cmd->entryCount, cmdlet->container(),
                         cmdlet->bulkInfo()->arrayIndex()),
              std::tuple(SchanCmd::Kind::memoryBulkRead, 1u, 256u, container_, cmd->arrayIndex));
    read.insert({cmdlet->bulkInfo()->fapId(), cmd->arrayIndex});
  }
  EXPECT_EQ(read, (std::set<std::pair<int, int>>{{0, 2}, {0, 3}, {3, 2}, {3, 3}, {5, 2}, {5, 3}}));

  const auto chip3 = cmdsOf(reader->tableReadSchanCmds(request(3, 0), container_));
  ASSERT_EQ(chip3.size(), 2u);
  for (const auto& cmd : chip3) EXPECT_EQ(cmd->fapmask, maskOf({3}));

  const auto one = cmdsOf(reader->tableReadSchanCmds(Request(new HwTableArrayIndexRead(128, 0, 3)), container_));
  ASSERT_EQ(one.size(), 3u);
  for (const auto& cmd : one) EXPECT_EQ(cmd->arrayIndex, 3);

  reader->processReadComplete(SchanAccel::schanCmdFactory());  // not a bulk read: ignored
  reader->processReadComplete(nullptr);
  EXPECT_TRUE(container_->perInstanceReadResultColl().empty());

  TraceCapture traces("IppaVsiToRoutingProfileMapHwDirect=3");
  const auto notYet = reader->tableReadSchanCmds(request(0, 2), container_);
  const auto invalid = reader->tableReadSchanCmds(request(0, 7), container_);
  ASSERT_TRUE(notYet && invalid);
  EXPECT_TRUE(notYet->empty() && invalid->empty());
  EXPECT_EQ(traces.messages(),
            (std::vector<std::string>{" request: 2 not implemented yet", "Invalid request type: 7 not handled"}));
}

// Verifies: a bulk read decodes its non-zero elements into the result, stopping at a key out of range.
TEST_F(ReadBackTest, DecodingStoresTheNonZeroElementsInRange) {
  EXPECT_EQ(decode(2, 0, 256, {{0, 0x11}, {5, 0x55}}), 2);
  const auto& result = resultOf(kChip0);
  ASSERT_EQ(result.entries().size(), 2u);
  ASSERT_NE(result.entry(Reference::EntryKey(2, 0)), nullptr);
  EXPECT_EQ(result.entry(Reference::EntryKey(2, 5))->data()[0], 0x55);

  EXPECT_EQ(decode(3, 0, 16, {}, 1), 0);
  EXPECT_NE(container_->perInstanceReadResult(HwShadowKey(1, 0)), nullptr);

  auto& mutableResult = const_cast<ReferenceReader::HwInstanceReadResult&>(result);
  Reference::Entry entry{Reference::EntryKey(2, 5)};
  entry.routingProfile1Is(3);
  mutableResult.entryIs(entry);
  entry.routingProfile1Is(9);
  mutableResult.entryIs(entry);
  EXPECT_EQ(result.entries().size(), 2u);
  EXPECT_EQ(result.entry(Reference::EntryKey(2, 5))->routingProfile1(), 9);
  EXPECT_EQ(mutableResult.entryDel(Reference::EntryKey(3, 3)), Reference::Entry());

  // Elements 2 and 7 are entries 252 and 257, past entryIndexMax 255; entry 256 (element 6) is zero.
  EXPECT_EQ(errorOf<Orvel::RangeException>([&] {
              decode(2, 250, 10, {{2, 1}, {7, 1}}, 2);
            }),
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndex < "
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndexMin or > "
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndexMax not allowed");
  const auto& stopped = resultOf(HwShadowKey(2, 0));
  ASSERT_EQ(stopped.entries().size(), 1u);
  EXPECT_NE(stopped.entry(Reference::EntryKey(2, 252)), nullptr);
}

// Verifies: the audit finds exactly the injected differences, and a repair rewrites only those keys.
TEST_F(ReadBackTest, AuditFindsInjectedDifferencesAndRepairFixesThem) {
  auto table = make<Mtu>();
  table->addShadow(kChip0);
  table->deleteEntry(kChip0, Mtu::EntryKey(100));
  simulator_.execute(download(*table, kChip0, maskOf({0})));
  sim::Chip& chip = *simulator_.chip(0);
  // Entry 5 is gone from the first memory: the chip reads zeros.
  for (unsigned bit = 0; bit < 32; ++bit) {
    if ((chip.entry("etppcMtuMapTable", 0, 0, 5)[bit / 8] >> (bit % 8)) & 1u)
      chip.flipBit("etppcMtuMapTable", 0, 0, 5, bit);
  }
  chip.flipBit("etppcMtuMapTable", 0, 0, 100, 0);  // the shadow holds no entry 100
  chip.flipBit("etppbMtuMapTable", 0, 0, 7, 14);   // mtuActionProfileIdx, second memory
  const auto& t = Mtu::description();
  const AuditReport found = t.audit(*table, kChip0, readManager_, executor(), false);
  EXPECT_EQ((std::array<std::uint64_t, 3>{found.missing, found.extra, found.differing}),
            (std::array<std::uint64_t, 3>{1, 1, 1}));
  // Each difference as "key kind memory fields, whether the chip's data is empty, whether the shadow's is".
  std::set<std::string> differences;
  const char* const kinds[] = {"missing", "extra", "differing"};  // AuditDifference::Kind, in its order
  for (const AuditDifference& d : found.differences) {
    differences.insert(fmt::format("{} {} {} {} {} {}", d.key[0], kinds[static_cast<int>(d.kind)], d.memory,
                                   fmt::join(d.fields, ","), d.chip.empty(), d.shadow.empty()));
  }
  EXPECT_EQ(differences, (std::set<std::string>{"5 missing etppcMtuMapTable mtuByteSize true false",
                                                "100 extra etppcMtuMapTable mtuByteSize false true",
                                                "7 differing etppbMtuMapTable mtuActionProfileIdx false false"}));
  EXPECT_EQ(found.remaining, 3u);

  const sim::ChipCounters before = chip.counters();
  const AuditReport repaired = t.audit(*table, kChip0, readManager_, executor(), true);
  EXPECT_EQ(std::tuple(repaired.repaired, repaired.remaining), std::tuple(3u, 0u));
  // Three keys, each a single write to both memories.
  EXPECT_EQ(chip.counters().singleWrites - before.singleWrites, 6u);
  EXPECT_EQ(t.audit(*table, kChip0, readManager_, executor(), false).found(), 0u);

  // A register that differs is found and repaired the same way.
  auto reg = make<Ttl0>();
  reg->addShadow(kChip0);
  simulator_.execute(download(*reg, kChip0, maskOf({0})));
  chip.flipBit("ippbTtl0ActionProfile", 0, 0, 0, 20);
  const AuditReport regReport = Ttl0::description().audit(*reg, kChip0, readManager_, executor(), true);
  EXPECT_EQ(std::tuple(regReport.differing, regReport.remaining), std::tuple(1u, 0u));
}

}  // namespace
