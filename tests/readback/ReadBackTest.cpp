// Hardware read-back: the readers' requests and commands, the decoding of DMA buffers into per-instance results, and
// the audit that compares a chip with its shadow and repairs it. Every table's clean audit is EndToEndTest's.
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "EtppcMtuMapTableHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "Orvel/Exception.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuAsicUtils/ShadowAudit.h"
#include "download/DownloadTestSupport.h"

namespace {

using namespace test_download;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using ReferenceReader = bcm88490_a0::HwTableIppaVsiToRoutingProfileMapHwDirectReader;
using Mtu = bcm88490_a0::EtppcMtuMapTableHwDirect;
using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
using TarSnifReader = bcm88490_a0::HwTableTarSnifActionTableHwDirectReader;
using Ttl0 = bcm88490_a0::IppbTtl0ActionProfileHwReg;
using Ttl0Reader = bcm88490_a0::HwTableIppbTtl0ActionProfileHwRegReader;
using SchanAccel::SchanCmd;
using VovuAsicUtils::AuditDifference;
using VovuAsicUtils::AuditReport;
using VovuAsicUtils::GenericBulkReadCmdlet;
using VovuAsicUtils::HwReadBulkCmdInfo;
using VovuAsicUtils::HwReadRequestParameterBase;
using VovuAsicUtils::HwShadowKey;
using VovuAsicUtils::HwTableReadResultContainer;

const HwShadowKey kChip0(0, 0);

class ReadBackTest : public DownloadTest {
 protected:
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager_{new VovuAsicUtils::ReadTableManager};
  Orvel::Ptr<HwTableReadResultContainer> container_{new HwTableReadResultContainer};

  VovuAsicUtils::CommandExecutor executor() {
    return [this](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) { simulator_.execute(batch); };
  }

  // Decodes a completed bulk read of the reference table on `chip`: elements of 4 bytes from (arrayIndex, first),
  // element i holding `bytes[i]` in its first byte. Returns the number of entries stored.
  int decode(std::uint8_t arrayIndex, std::uint32_t first, const std::vector<std::uint8_t>& bytes,
             std::uint8_t chip = 0) {
    auto buffer = readManager_->dmaMemPoolManager()->buffer(static_cast<std::uint32_t>(bytes.size() * 4));
    for (std::size_t i = 0; i < bytes.size(); ++i) buffer->va()[i * 4] = bytes[i];
    const Orvel::Ptr<HwReadBulkCmdInfo> info(new HwReadBulkCmdInfo(chip, 0, test_shadows::kRev25, buffer, arrayIndex,
                                                                   first, static_cast<std::uint32_t>(bytes.size())));
    return VovuAsicUtils::processReadDmaComplete<ReferenceReader::HwInstanceReadResult, Reference::EntryKey,
                                                 Reference::Entry, true>(info, container_);
  }

  const ReferenceReader::HwInstanceReadResult& resultOf(const HwShadowKey& key) {
    return static_cast<const ReferenceReader::HwInstanceReadResult&>(*container_->perInstanceReadResult(key));
  }
};

using Request = Orvel::Ptr<const HwReadRequestParameterBase>;
Request request(std::uint8_t fapId, std::uint8_t type) {
  return Request(new HwReadRequestParameterBase(fapId, 0, type));
}

// Verifies: type 0 for chip 128 reads every chip of the reader's mask, for chip 3 only chip 3 (every array index, every
// instance); type 1 one array index; types 2 and 7 give empty batches with their traces.
TEST_F(ReadBackTest, RequestsBuildBulkReadsForTheirChipsAndIndices) {
  auto reader = ReferenceReader::factory(test_shadows::kRev25, readManager_);
  reader->fapmaskIs(maskOf({0, 3, 5}));
  auto all = cmdsOf(reader->tableReadSchanCmds(request(128, 0), container_));
  ASSERT_EQ(all.size(), 3u * 2u);  // three chips, array indices 2 and 3
  std::set<std::pair<int, int>> read;
  for (const auto& cmd : all) {
    EXPECT_EQ(cmd->kind, SchanCmd::Kind::memoryBulkRead);
    EXPECT_EQ(cmd->fapmask.count(), 1u);
    EXPECT_EQ(cmd->entryCount, 256u);
    const auto* cmdlet = dynamic_cast<const GenericBulkReadCmdlet*>(cmd.ptr());
    ASSERT_NE(cmdlet, nullptr);
    EXPECT_EQ(cmdlet->container(), container_);
    EXPECT_EQ(cmdlet->bulkInfo()->arrayIndex(), cmd->arrayIndex);
    read.insert({cmdlet->bulkInfo()->fapId(), cmd->arrayIndex});
  }
  EXPECT_EQ(read, (std::set<std::pair<int, int>>{{0, 2}, {0, 3}, {3, 2}, {3, 3}, {5, 2}, {5, 3}}));

  const auto chip3 = cmdsOf(reader->tableReadSchanCmds(request(3, 0), container_));
  ASSERT_EQ(chip3.size(), 2u);
  for (const auto& cmd : chip3) EXPECT_EQ(cmd->fapmask, maskOf({3}));

  const auto one =
      cmdsOf(reader->tableReadSchanCmds(Request(new VovuAsicUtils::HwTableArrayIndexRead(128, 0, 3)), container_));
  ASSERT_EQ(one.size(), 3u);
  for (const auto& cmd : one) EXPECT_EQ(cmd->arrayIndex, 3);

  test_shadows::TraceCapture traces("IppaVsiToRoutingProfileMapHwDirect=3");
  const auto notYet = reader->tableReadSchanCmds(request(0, 2), container_);
  const auto invalid = reader->tableReadSchanCmds(request(0, 7), container_);
  ASSERT_TRUE(notYet && invalid);
  EXPECT_TRUE(notYet->empty() && invalid->empty());
  EXPECT_EQ(traces.messages(),
            (std::vector<std::string>{" request: 2 not implemented yet", "Invalid request type: 7 not handled"}));
}

// Verifies: 256 elements from index 0 of array index 2 with elements 0 and 5 non-zero store exactly (2, 0) and (2, 5)
// and count 2; the result exists even when a read stores nothing; entryIs with one key twice keeps the second. A key
// past the maximum raises the key's range exception at the first such non-zero element (an all-zero one before it is
// skipped), the entries decoded before it staying stored.
TEST_F(ReadBackTest, DecodingStoresTheNonZeroElementsInRange) {
  std::vector<std::uint8_t> bytes(256, 0);
  bytes[0] = 0x11;
  bytes[5] = 0x55;
  EXPECT_EQ(decode(2, 0, bytes), 2);
  const auto& result = resultOf(kChip0);
  ASSERT_EQ(result.entries().size(), 2u);
  ASSERT_NE(result.entry(Reference::EntryKey(2, 0)), nullptr);
  EXPECT_EQ(result.entry(Reference::EntryKey(2, 5))->data()[0], 0x55);

  EXPECT_EQ(decode(3, 0, std::vector<std::uint8_t>(16, 0), 1), 0);
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

  std::vector<std::uint8_t> pastTheEnd(10, 0);
  pastTheEnd[2] = 1;  // entry 252
  pastTheEnd[7] = 1;  // entry 257, past entryIndexMax 255 (entry 256, element 6, is zero)
  EXPECT_EQ(test_shadows::errorOf<Orvel::RangeException>([&] { decode(2, 250, pastTheEnd, 2); }),
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndex < "
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndexMin or > "
            "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey::entryIndexMax not allowed");
  const auto& stopped = resultOf(HwShadowKey(2, 0));
  ASSERT_EQ(stopped.entries().size(), 1u);
  EXPECT_NE(stopped.entry(Reference::EntryKey(2, 252)), nullptr);
}

// Verifies: a completed command that is not a bulk read changes nothing; a bulk read executed by the simulator decodes
// keys without an array index from the entry index alone.
TEST_F(ReadBackTest, ProcessReadCompleteDecodesBulkReadsOnly) {
  auto tarTable = make<TarSnif>();
  tarTable->addShadow(kChip0);
  simulator_.execute(download(*tarTable, kChip0, maskOf({0})));
  auto reader = TarSnifReader::factory(test_shadows::kRev25, readManager_);
  reader->fapmaskIs(maskOf({0}));
  reader->processReadComplete(SchanAccel::schanCmdFactory());
  reader->processReadComplete(nullptr);
  EXPECT_TRUE(container_->perInstanceReadResultColl().empty());

  const auto batch = reader->tableReadSchanCmds(request(0, 0), container_);
  simulator_.execute(batch);
  for (const auto& cmd : batch->cmds()) reader->processReadComplete(cmd);
  const auto& result =
      static_cast<const TarSnifReader::HwInstanceReadResult&>(*container_->perInstanceReadResult(kChip0));
  std::set<KeyParts> keys;
  for (const auto& entry : result.entries()) {
    keys.insert({entry.entryKey().value(), 0});
    EXPECT_EQ(entry, tarTable->getEntry(kChip0, entry.entryKey()));
  }
  EXPECT_EQ(keys, kTarSnifDefaults);
}

// Verifies: the audit finds exactly the injected differences (an entry the chip lost, one it holds that the shadow does
// not, one bit flipped in the second memory of a two-memory table) with the fields that differ, and a repair writes
// only those keys, after which none remain.
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
  for (const AuditDifference& d : found.differences) {
    const char* kind = d.kind == AuditDifference::Kind::missing ? "missing"
                       : d.kind == AuditDifference::Kind::extra ? "extra"
                                                                : "differing";
    differences.insert(fmt::format("{} {} {} {} {} {}", d.key[0], kind, d.memory, fmt::join(d.fields, ","),
                                   d.chip.empty(), d.shadow.empty()));
  }
  EXPECT_EQ(differences, (std::set<std::string>{"5 missing etppcMtuMapTable mtuByteSize true false",
                                                "100 extra etppcMtuMapTable mtuByteSize false true",
                                                "7 differing etppbMtuMapTable mtuActionProfileIdx false false"}));
  EXPECT_EQ(found.remaining, 3u);

  const sim::ChipCounters before = chip.counters();
  const AuditReport repaired = t.audit(*table, kChip0, readManager_, executor(), true);
  EXPECT_EQ(repaired.repaired, 3u);
  EXPECT_EQ(repaired.remaining, 0u);
  // Three keys, each a single write to both memories.
  EXPECT_EQ(chip.counters().singleWrites - before.singleWrites, 6u);
  EXPECT_EQ(t.audit(*table, kChip0, readManager_, executor(), false).found(), 0u);
}

// Verifies: a register's read-back equals its shadow entry, and the audit sees a register that differs.
TEST_F(ReadBackTest, RegisterReadBackAndAudit) {
  auto table = make<Ttl0>();
  table->addShadow(kChip0);
  simulator_.execute(download(*table, kChip0, maskOf({0})));
  auto reader = Ttl0Reader::factory(test_shadows::kRev25, readManager_);
  reader->fapmaskIs(maskOf({0}));
  const auto batch = reader->regReadSchanCmds(kChip0, true, 0, container_);
  ASSERT_EQ(batch->size(), 1u);
  EXPECT_EQ(batch->cmds().front()->kind, SchanCmd::Kind::registerRead);
  simulator_.execute(batch);
  reader->processReadComplete(batch->cmds().front());
  const auto& result = static_cast<const Ttl0Reader::HwInstanceReadResult&>(*container_->perInstanceReadResult(kChip0));
  ASSERT_NE(result.entry(Ttl0::EntryKey(0)), nullptr);
  EXPECT_EQ(*result.entry(Ttl0::EntryKey(0)), table->getEntry(kChip0, Ttl0::EntryKey(0)));

  simulator_.chip(0)->flipBit("ippbTtl0ActionProfile", 0, 0, 0, 20);
  const AuditReport report = Ttl0::description().audit(*table, kChip0, readManager_, executor(), true);
  EXPECT_EQ(report.differing, 1u);
  EXPECT_EQ(report.remaining, 0u);
}

}  // namespace
