// The write path: what setEntry and deleteEntry leave in a shadow and the batch schanCmds then returns, addressed as
// the catalogue says (the simulator's tests check the reference table's address independently).
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "EtppbSnoopActionTableHwReg.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "ShadowTestSupport.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using namespace test_shadows;
namespace catalogue = bcm88490_a0::catalogue;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using Snoop = bcm88490_a0::EtppbSnoopActionTableHwReg;
using SchanAccel::SchanCmd;
using VovuAsicUtils::HwShadowKey;
using Bytes = std::vector<std::uint8_t>;

const HwShadowKey kChip0(0, 0);
const HwShadowKey kChip1(1, 0);

class WritePathTest : public ShadowTest {};

// Verifies: in every table, schanCmds writes the entry held, or the default one, as the catalogue addresses it.
TEST_F(WritePathTest, EveryTableWritesTheEntryItHolds) {
  for (const catalogue::TableDescription* t : catalogue::tables()) {
    SCOPED_TRACE(t->name);
    auto table = make(*t);
    table->addShadow(kChip1);
    // The last key of the table's range, holding data that differs from byte to byte.
    catalogue::EntryBuffer entry;
    const bool indexed = t->key.form == catalogue::KeyForm::indexed;
    t->values->entryMake(entry.bytes, indexed ? t->key.arrayIndexMax : t->key.max, indexed ? t->key.entryIndexMax : 0);
    std::uint8_t* data = t->values->mutableData(entry.bytes);
    for (std::uint32_t b = 0; b < t->entrySize; ++b) data[b] = static_cast<std::uint8_t>(b * 7 + 1);
    const Bytes bytes(data, data + t->entrySize);
    const auto [first, second] = t->values->keyParts(entry.bytes);
    const auto expectWrites = [&](const Bytes& expected) {
      const auto cmds = cmdsOf(t->shadows->schanCmds(*table, kChip1, entry.bytes));
      ASSERT_EQ(cmds.size(), t->memories.size());
      for (std::size_t i = 0; i < cmds.size(); ++i) {
        const catalogue::MemoryDescription& m = t->memories[i];
        const SchanCmd& c = *cmds[i];
        EXPECT_EQ(c.kind,
                  t->kind == catalogue::TableKind::reg ? SchanCmd::Kind::registerWrite : SchanCmd::Kind::memoryWrite);
        EXPECT_EQ(c.fapmask, maskOf({1}));
        EXPECT_EQ(c.name, m.name);
        EXPECT_EQ((std::vector<std::uint64_t>{c.block, c.baseAddress, c.firstInstance, c.instanceCount, c.arrayIndex,
                                              c.entryIndex}),
                  (std::vector<std::uint64_t>{m.block, m.baseAddress, m.firstInstanceId, m.instanceCount,
                                              indexed ? first : 0, indexed ? second : first}));
        EXPECT_EQ(c.data, expected);
      }
    };
    t->shadows->setEntry(*table, kChip1, entry.bytes);
    expectWrites(bytes);
    t->shadows->deleteEntry(*table, kChip1, entry.bytes);
    expectWrites(Bytes(t->entrySize, 0));
    catalogue::EntryBuffer read;
    t->shadows->getEntry(*table, kChip1, entry.bytes, read.bytes);
    EXPECT_EQ(Bytes(t->values->data(read.bytes), t->values->data(read.bytes) + t->entrySize), Bytes(t->entrySize, 0));
  }
}

// Verifies: deletes count held or not; schanCmds writes to the shadow's own chip only, and to none outside.
TEST_F(WritePathTest, DeleteCountsAndMasks) {
  auto table = make<Reference>();
  table->addShadow(kChip1);
  table->setEntry(kChip1, Reference::Entry{Reference::EntryKey(3, 200)});
  table->deleteEntry(kChip1, Reference::EntryKey(3, 200));
  table->deleteEntry(kChip1, Reference::EntryKey(2, 7));  // absent: nothing happens
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), 2u);

  auto shadow = table->shadow(kChip1);
  EXPECT_FALSE(shadow->schanCmds(maskOf({0, 2}), kRev25, Reference::EntryKey(2, 60), false));
  EXPECT_FALSE(shadow->schanCmds(SchanAccel::Fapmask(), kRev25, Reference::EntryKey(2, 60), false));
  const auto cmd = onlyCmd(shadow->schanCmds(maskOf({0, 1}), kRev25, Reference::EntryKey(2, 60), true));
  EXPECT_EQ(cmd->fapmask, maskOf({1}));
  EXPECT_EQ(cmd->data, Bytes(4, 0)) << "a delete writes the default entry";
}

// Verifies: a value key equal to the memory's null is storable and addressed as such.
TEST_F(WritePathTest, ValueKeyAtTheNull) {
  using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
  auto tarSnif = make<TarSnif>();
  tarSnif->addShadow(kChip0);
  TarSnif::Entry atNull{TarSnif::EntryKey(TarSnif::EntryKey::null)};
  atNull.tcIs(5);
  tarSnif->setEntry(kChip0, atNull);
  const auto nullCmd = onlyCmd(tarSnif->schanCmds(kChip0, TarSnif::EntryKey(32)));
  EXPECT_EQ(std::tuple(nullCmd->arrayIndex, nullCmd->entryIndex), std::tuple(0, 32u));
  EXPECT_EQ(tarSnif->getEntry(kChip0, TarSnif::EntryKey(32)), atNull);
}

// Verifies: a register table keeps one entry per chip in the manager's register storage and refuses its null key.
TEST_F(WritePathTest, RegisterTables) {
  auto table = make<Snoop>();
  table->addShadow(kChip0);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 1u);

  const std::string text =
      errorOf<Asic::GracefulAssertException>([&] { table->setEntry(kChip0, Snoop::Entry{Snoop::EntryKey(1)}); });
  EXPECT_EQ(text.rfind("AssertionError at VovuAsicUtils/ShadowAccessor.h:", 0), 0u) << text;
  EXPECT_NE(text.find(" (entry.entryKey().entryIndex() < entry.entryKey().null()) - EntryKey out of bounds: "
                      "bcm88490_a0::EtppbSnoopActionTableHwReg::EntryKey(value=1)"),
            std::string::npos)
      << text;

  table->addShadow(kChip1);
  Snoop::Entry changed{Snoop::EntryKey(0)};
  changed.snoopRecycleCmd3Is(7);
  table->setEntry(kChip1, changed);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 2u);
  EXPECT_EQ(table->getEntry(kChip1, Snoop::EntryKey(0)), changed);
  EXPECT_NE(table->getEntry(kChip0, Snoop::EntryKey(0)), changed);

  table->delShadow(kChip1);
  EXPECT_EQ(manager_->regShadowEntryStorage()->entries().size(), 1u) << "a dropped shadow takes its entry along";
}

}  // namespace
