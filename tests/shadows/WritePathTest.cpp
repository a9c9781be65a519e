// The write path: what setEntry and deleteEntry leave in a shadow and the S-channel batch schanCmds then returns, for
// memory and register tables.
#include <gtest/gtest.h>

#include <vector>

#include "EtppbSnoopActionTableHwReg.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "ShadowTestSupport.h"
#include "TarSnifActionTableHwDirect.h"

namespace {

using namespace test_shadows;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using Snoop = bcm88490_a0::EtppbSnoopActionTableHwReg;
using SchanAccel::SchanCmd;
using VovuAsicUtils::HwShadowKey;
using Bytes = std::vector<std::uint8_t>;

const HwShadowKey kChip0(0, 0);
const HwShadowKey kChip1(1, 0);

class WritePathTest : public ShadowTest {};

// Verifies: a set entry's bytes travel in the single write, addressed to its memory (name, block, base address), its
// chip, every instance of the memory, and the key's array and entry index; a delete, and a key never set, write the
// default entry (zeros), which getEntry also returns for a key never set.
TEST_F(WritePathTest, SetDeleteAndDefaults) {
  auto table = make<Reference>();
  table->addShadow(kChip1);
  Reference::Entry entry{Reference::EntryKey(3, 200)};
  entry.routingProfile2Is(9);
  entry.eccIs(0x21);
  table->setEntry(kChip1, entry);

  const auto cmd = onlyCmd(table->schanCmds(kChip1, Reference::EntryKey(3, 200)));
  EXPECT_EQ(cmd->kind, SchanCmd::Kind::memoryWrite);
  EXPECT_EQ(cmd->fapmask, maskOf({1}));
  EXPECT_EQ(cmd->name, "ippaRoutingProfileTable");
  EXPECT_EQ((std::vector<std::uint32_t>{cmd->block, cmd->baseAddress, cmd->firstInstance, cmd->instanceCount,
                                        cmd->arrayIndex, cmd->entryIndex}),
            (std::vector<std::uint32_t>{38, 0x8d0200, 0, 1, 3, 200}));
  EXPECT_EQ(cmd->data, (Bytes{0x00, 0x09, 0x21, 0x00}));

  table->deleteEntry(kChip1, Reference::EntryKey(3, 200));
  EXPECT_EQ(onlyCmd(table->schanCmds(kChip1, Reference::EntryKey(3, 200)))->data, Bytes(4, 0));
  EXPECT_EQ(onlyCmd(table->schanCmds(kChip1, Reference::EntryKey(2, 7)))->data, Bytes(4, 0));
  EXPECT_EQ(table->getEntry(kChip1, Reference::EntryKey(2, 7)), Reference::Entry{Reference::EntryKey(2, 7)});
  table->deleteEntry(kChip1, Reference::EntryKey(2, 7));  // absent: nothing happens
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), 2u);
  // The default contents went through the same path: entry (2, 60).
  EXPECT_EQ(onlyCmd(table->schanCmds(kChip1, Reference::EntryKey(2, 60)))->data, (Bytes{0x22, 0x02, 0x00, 0x00}));
}

// Verifies: a write covers every instance of a memory with several, a 32-byte entry travels whole, and a value key
// equal to the memory's null is storable and addressed as such.
TEST_F(WritePathTest, InstancesWideEntriesAndNullKeys) {
  using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
  auto lpm = make<Lpm>();
  lpm->addShadow(kChip0);
  const auto lpmCmd = onlyCmd(lpm->schanCmds(kChip0, Lpm::EntryKey(1, 44)));
  EXPECT_EQ(lpmCmd->firstInstance, 0);
  EXPECT_EQ(lpmCmd->instanceCount, 2);
  EXPECT_EQ(lpmCmd->data, (Bytes{46, 0, 0, 0}));

  using Vector = bcm88490_a0::IppaRoutingProfileToVectorMapHwDirect;
  auto vector = make<Vector>();
  vector->addShadow(kChip0);
  const Bytes vectorData = onlyCmd(vector->schanCmds(kChip0, Vector::EntryKey(2, 2)))->data;
  ASSERT_EQ(vectorData.size(), 32u);
  EXPECT_EQ(vectorData[0], 0x30);   // bits 4, 5
  EXPECT_EQ(vectorData[31], 0x30);  // bits 252, 253

  using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
  auto tarSnif = make<TarSnif>();
  tarSnif->addShadow(kChip0);
  TarSnif::Entry atNull{TarSnif::EntryKey(TarSnif::EntryKey::null)};
  atNull.tcIs(5);
  tarSnif->setEntry(kChip0, atNull);
  const auto nullCmd = onlyCmd(tarSnif->schanCmds(kChip0, TarSnif::EntryKey(32)));
  EXPECT_EQ(nullCmd->entryIndex, 32u);
  EXPECT_EQ(nullCmd->arrayIndex, 0);
  EXPECT_EQ(tarSnif->getEntry(kChip0, TarSnif::EntryKey(32)), atNull);
}

// Verifies: a shadow asked for chips it does not cover returns no batch; a mask that includes its chip gets a write for
// that chip alone.
TEST_F(WritePathTest, MaskOutsideTheShadowsChips) {
  auto table = make<Reference>();
  table->addShadow(kChip1);
  auto shadow = table->shadow(kChip1);
  EXPECT_FALSE(shadow->schanCmds(maskOf({0, 2}), kRev25, Reference::EntryKey(2, 60), false));
  EXPECT_FALSE(shadow->schanCmds(SchanAccel::Fapmask(), kRev25, Reference::EntryKey(2, 60), false));
  const auto cmd = onlyCmd(shadow->schanCmds(maskOf({0, 1}), kRev25, Reference::EntryKey(2, 60), true));
  EXPECT_EQ(cmd->fapmask, maskOf({1}));
  EXPECT_EQ(cmd->data, Bytes(4, 0)) << "a delete writes the default entry";
}

// Verifies: a register table keeps its one entry per chip in the manager's register storage, writes it as a register
// write of entry 0, refuses key 1 (its null) with the graceful assertion, writes zeros once the entry is deleted, and a
// dropped shadow takes its storage entry along.
TEST_F(WritePathTest, RegisterTables) {
  auto table = make<Snoop>();
  table->addShadow(kChip0);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 1u);
  const auto cmd = onlyCmd(table->schanCmds(kChip0, Snoop::EntryKey(0)));
  EXPECT_EQ(cmd->kind, SchanCmd::Kind::registerWrite);
  EXPECT_EQ(cmd->name, "etppbSnoopActionTable");
  EXPECT_EQ(cmd->entryIndex, 0u);
  const Snoop::Entry held = table->getEntry(kChip0, Snoop::EntryKey(0));
  EXPECT_EQ(cmd->data, Bytes(held.data(), held.data() + 24));

  try {
    table->setEntry(kChip0, Snoop::Entry{Snoop::EntryKey(1)});
    ADD_FAILURE() << "key 1 was stored";
  } catch (const Asic::GracefulAssertException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("AssertionError at VovuAsicUtils/ShadowAccessor.h:", 0), 0u) << text;
    EXPECT_NE(text.find(" (entry.entryKey().entryIndex() < entry.entryKey().null()) - EntryKey out of bounds: "
                        "bcm88490_a0::EtppbSnoopActionTableHwReg::EntryKey(value=1)"),
              std::string::npos)
        << text;
  }

  table->addShadow(kChip1);
  Snoop::Entry changed{Snoop::EntryKey(0)};
  changed.snoopRecycleCmd3Is(7);
  table->setEntry(kChip1, changed);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 2u);
  EXPECT_EQ(table->getEntry(kChip1, Snoop::EntryKey(0)), changed);
  EXPECT_NE(table->getEntry(kChip0, Snoop::EntryKey(0)), changed);

  table->deleteEntry(kChip0, Snoop::EntryKey(0));
  EXPECT_EQ(onlyCmd(table->schanCmds(kChip0, Snoop::EntryKey(0)))->data, Bytes(24, 0));
  table->delShadow(kChip1);
  EXPECT_TRUE(manager_->regShadowEntryStorage()->entries().empty()) << "a dropped shadow takes its entry along";
}

}  // namespace
