// The write path: what setEntry and deleteEntry leave in a shadow and the
// S-channel batch schanCmds then returns, for memory and register tables.
#include <gtest/gtest.h>

#include <vector>

#include "EtppbSnoopActionTableHwReg.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "ShadowTestSupport.h"
#include "TarSnifActionTableHwDirect.h"

namespace {

using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
using Snoop = bcm88490_a0::EtppbSnoopActionTableHwReg;
using SchanAccel::SchanCmd;
using VovuAsicUtils::HwShadowKey;

std::vector<Orvel::Ptr<SchanCmd>> cmdsOf(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  EXPECT_TRUE(batch);
  if (!batch) return {};
  return {batch->cmds().begin(), batch->cmds().end()};
}

SchanAccel::Fapmask chips(std::initializer_list<std::uint8_t> ids) {
  SchanAccel::Fapmask mask;
  for (std::uint8_t id : ids) mask.fapIdIs(id);
  return mask;
}

class WritePathTest : public test_shadows::ShadowTest {};

// Verifies: a set entry's bytes travel in the single write, addressed to its
// memory (name, block, base address), its chip, every instance of the memory,
// and the key's array and entry index; a delete, and a key never set, write
// the default entry (zeros), which getEntry also returns for a key never set.
TEST_F(WritePathTest, SetDeleteAndDefaults) {
  auto table = make<Reference>();
  const HwShadowKey key(1, 0);
  table->addShadow(key);
  Reference::Entry entry{Reference::EntryKey(3, 200)};
  entry.routingProfile2Is(9);
  entry.eccIs(0x21);
  table->setEntry(key, entry);

  auto cmds = cmdsOf(table->schanCmds(key, Reference::EntryKey(3, 200)));
  ASSERT_EQ(cmds.size(), 1u);
  const SchanCmd& cmd = *cmds[0];
  EXPECT_EQ(cmd.kind, SchanCmd::Kind::memoryWrite);
  EXPECT_EQ(cmd.fapmask, chips({1}));
  EXPECT_EQ(cmd.name, "ippaRoutingProfileTable");
  EXPECT_EQ(cmd.block, 38u);
  EXPECT_EQ(cmd.baseAddress, 0x8d0200u);
  EXPECT_EQ(cmd.firstInstance, 0);
  EXPECT_EQ(cmd.instanceCount, 1);
  EXPECT_EQ(cmd.arrayIndex, 3);
  EXPECT_EQ(cmd.entryIndex, 200u);
  EXPECT_EQ(cmd.data, (std::vector<std::uint8_t>{0x00, 0x09, 0x21, 0x00}));

  table->deleteEntry(key, Reference::EntryKey(3, 200));
  EXPECT_EQ(cmdsOf(table->schanCmds(key, Reference::EntryKey(3, 200)))[0]->data, std::vector<std::uint8_t>(4, 0));
  EXPECT_EQ(cmdsOf(table->schanCmds(key, Reference::EntryKey(2, 7)))[0]->data, std::vector<std::uint8_t>(4, 0));
  EXPECT_EQ(table->getEntry(key, Reference::EntryKey(2, 7)), Reference::Entry{Reference::EntryKey(2, 7)});
  table->deleteEntry(key, Reference::EntryKey(2, 7));  // absent: nothing happens
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), 2u);

  // The default contents went through the same path: entry (2, 60).
  EXPECT_EQ(cmdsOf(table->schanCmds(key, Reference::EntryKey(2, 60)))[0]->data,
            (std::vector<std::uint8_t>{0x22, 0x02, 0x00, 0x00}));
}

// Verifies: a write covers every instance of a memory with several, a 32-byte
// entry travels whole, and a value key equal to the memory's null is storable
// and addressed as such.
TEST_F(WritePathTest, InstancesWideEntriesAndNullKeys) {
  auto lpm = make<Lpm>();
  lpm->addShadow(HwShadowKey(0, 0));
  const auto lpmCmd = cmdsOf(lpm->schanCmds(HwShadowKey(0, 0), Lpm::EntryKey(1, 44)))[0];
  EXPECT_EQ(lpmCmd->firstInstance, 0);
  EXPECT_EQ(lpmCmd->instanceCount, 2);
  EXPECT_EQ(lpmCmd->data, (std::vector<std::uint8_t>{46, 0, 0, 0}));

  using Vector = bcm88490_a0::IppaRoutingProfileToVectorMapHwDirect;
  auto vector = make<Vector>();
  vector->addShadow(HwShadowKey(0, 0));
  const auto vectorCmd = cmdsOf(vector->schanCmds(HwShadowKey(0, 0), Vector::EntryKey(2, 2)))[0];
  ASSERT_EQ(vectorCmd->data.size(), 32u);
  EXPECT_EQ(vectorCmd->data[0], 0x30);   // bits 4, 5
  EXPECT_EQ(vectorCmd->data[31], 0x30);  // bits 252, 253

  auto tarSnif = make<TarSnif>();
  tarSnif->addShadow(HwShadowKey(0, 0));
  TarSnif::Entry atNull{TarSnif::EntryKey(TarSnif::EntryKey::null)};
  atNull.tcIs(5);
  tarSnif->setEntry(HwShadowKey(0, 0), atNull);
  const auto nullCmd = cmdsOf(tarSnif->schanCmds(HwShadowKey(0, 0), TarSnif::EntryKey(32)))[0];
  EXPECT_EQ(nullCmd->entryIndex, 32u);
  EXPECT_EQ(nullCmd->arrayIndex, 0);
  EXPECT_EQ(tarSnif->getEntry(HwShadowKey(0, 0), TarSnif::EntryKey(32)), atNull);
}

// Verifies: a shadow asked for chips it does not cover returns no batch.
TEST_F(WritePathTest, MaskOutsideTheShadowsChips) {
  auto table = make<Reference>();
  table->addShadow(HwShadowKey(1, 0));
  auto shadow = table->shadow(HwShadowKey(1, 0));
  EXPECT_FALSE(shadow->schanCmds(chips({0, 2}), test_shadows::kRev25, Reference::EntryKey(2, 60), false));
  EXPECT_FALSE(shadow->schanCmds(SchanAccel::Fapmask(), test_shadows::kRev25, Reference::EntryKey(2, 60), false));
  const auto cmds = cmdsOf(shadow->schanCmds(chips({0, 1}), test_shadows::kRev25, Reference::EntryKey(2, 60), true));
  EXPECT_EQ(cmds[0]->fapmask, chips({1}));
  EXPECT_EQ(cmds[0]->data, std::vector<std::uint8_t>(4, 0)) << "a delete writes the default entry";
}

// Verifies: a register table keeps its one entry in the manager's register
// storage, writes it as a register write of entry 0, refuses key 1 (its null)
// with the graceful assertion, and writes zeros once the entry is deleted.
TEST_F(WritePathTest, RegisterTables) {
  auto table = make<Snoop>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 1u);

  auto cmds = cmdsOf(table->schanCmds(key, Snoop::EntryKey(0)));
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0]->kind, SchanCmd::Kind::registerWrite);
  EXPECT_EQ(cmds[0]->name, "etppbSnoopActionTable");
  EXPECT_EQ(cmds[0]->entryIndex, 0u);
  const Snoop::Entry held = table->getEntry(key, Snoop::EntryKey(0));
  EXPECT_EQ(cmds[0]->data, std::vector<std::uint8_t>(held.data(), held.data() + 24));

  try {
    table->setEntry(key, Snoop::Entry{Snoop::EntryKey(1)});
    ADD_FAILURE() << "key 1 was stored";
  } catch (const Asic::GracefulAssertException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("AssertionError at VovuAsicUtils/ShadowAccessor.h:", 0), 0u) << text;
    EXPECT_NE(text.find(" (entry.entryKey().entryIndex() < entry.entryKey().null()) - EntryKey out of bounds: "
                        "bcm88490_a0::EtppbSnoopActionTableHwReg::EntryKey(value=1)"),
              std::string::npos)
        << text;
  }

  // Two chips: two storage entries, each shadow reads its own.
  table->addShadow(HwShadowKey(1, 0));
  Snoop::Entry changed{Snoop::EntryKey(0)};
  changed.snoopRecycleCmd3Is(7);
  table->setEntry(HwShadowKey(1, 0), changed);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 2u);
  EXPECT_EQ(table->getEntry(HwShadowKey(1, 0), Snoop::EntryKey(0)), changed);
  EXPECT_NE(table->getEntry(key, Snoop::EntryKey(0)), changed);

  table->deleteEntry(key, Snoop::EntryKey(0));
  EXPECT_EQ(cmdsOf(table->schanCmds(key, Snoop::EntryKey(0)))[0]->data, std::vector<std::uint8_t>(24, 0));
  table->delShadow(HwShadowKey(1, 0));
  EXPECT_TRUE(manager_->regShadowEntryStorage()->entries().empty()) << "a dropped shadow takes its entry along";
}

}  // namespace
