// A table added from nothing but its description and its default contents (tables/added/), generated and built by the
// same CMake function as the plug-in's own tables: it registers with the host when its unit loads, its fields encode at
// their offsets (a 13-bit one among them, a width no other table uses), and it gets a shadow that downloads to a
// simulated chip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ExampleProfileMapHwDirect.h"
#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/TableManager.h"
#include "shadows/ShadowTestSupport.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"
#include "sim/ShadowImage.h"

namespace {

using Table = bcm88490_a0::ExampleProfileMapHwDirect;
using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwShadowKey;
using VovuAsicUtils::HwTableHolderContext;
using VovuAsicUtils::HwTableKey;

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const Table::Entry& entry) { return Bytes(entry.data(), entry.data() + Table::Entry::entrySize); }
Bytes bytesOf(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

const FapRevision kRev0 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
const FapRevision kRev1 = FapRevision::of(Hardware::ChipType::bcm88490_a0, 1);

// Verifies: once the loader has run, the host creates the added table and its reader through the factories its unit
// registered for each chip-type-25 revision of the default list. (When, and for which revisions, a table's unit
// registers: PluginLoadTest.cpp, for every table of the plug-in.)
TEST(AddedTable, RegistersWithTheHost) {
  VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
  auto* context = HwTableHolderContext::singleton();
  Orvel::Ptr<VovuAsicUtils::TableManager> manager(new VovuAsicUtils::TableManager());
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager(new VovuAsicUtils::ReadTableManager());
  for (const FapRevision& revision : {kRev0, kRev1}) {
    const HwTableKey key(Table::tableName(), revision);
    EXPECT_NE(dynamic_cast<Table*>(context->hwTableCreate(key, manager, nullptr).ptr()), nullptr);
    auto reader = context->hwReaderCreate(key, readManager);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->hwTableKey(), key);
  }
  EXPECT_EQ(Table::description().source, std::string("tests/tables/added/ExampleProfileMapHwDirect.toml"));
}

// Verifies: the fields land at their offsets (bit k = bit k mod 8 of byte k div 8): the 13-bit profile in bits 0-12,
// valid in bit 13, weight in byte 2; setting one field keeps the others; the 13-bit type refuses 0x2000 with the
// bounded types' message; the key admits null (64) and refuses 65.
TEST(AddedTable, FieldsEncodeAtTheirOffsets) {
  Table::Entry entry{Table::EntryKey(5)};
  entry.profileIs(0x1abc);
  entry.validIs(1);
  entry.weightIs(0x5a);
  EXPECT_EQ(bytesOf(entry), (Bytes{0xbc, 0x3a, 0x5a, 0x00}));
  EXPECT_EQ(entry.profile().value(), 0x1abc);
  entry.profileIs(0);
  EXPECT_EQ(bytesOf(entry), (Bytes{0x00, 0x20, 0x5a, 0x00}));

  EXPECT_EQ(test_shadows::errorOf<Orvel::RangeException>([&] { entry.profileIs(0x2000); }),
            "U13::value < 0 or > 0x1fff not allowed");
  EXPECT_EQ(bytesOf(entry), (Bytes{0x00, 0x20, 0x5a, 0x00}));
  EXPECT_NO_THROW(Table::EntryKey(64));
  EXPECT_THROW(Table::EntryKey(65), Orvel::RangeException);
}

class AddedTableShadow : public test_shadows::ShadowTest {
 protected:
  static constexpr std::uint8_t kChips[] = {0};
  const bcm88490_a0::catalogue::TableDescription* const descriptions_[1] = {&Table::description()};
  sim::ChipSimulator simulator_{sim::memoryMapOf(descriptions_), kChips};
};

// Verifies: addShadow gives the table a shadow with its default contents under the usual state path; setEntry and
// schanCmds write one entry to the simulated chip at its key; a download makes the whole chip match the shadow.
TEST_F(AddedTableShadow, ShadowHoldsTheDefaultsAndDownloads) {
  auto table = make<Table>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);
  ASSERT_TRUE(table->shadow(key));
  EXPECT_EQ(Table::description().shadows->path(*table, key),
            "ShadowTbl/bcm88490_a0/bcm88490_a0/ExampleProfileMapHwDirect/0-0");
  std::vector<std::uint32_t> held;
  Table::description().shadows->forEachEntry(
      *table, key, [&](const void* e) { held.push_back(static_cast<const Table::Entry*>(e)->entryKey().value()); });
  std::sort(held.begin(), held.end());
  EXPECT_EQ(held, (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(table->getEntry(key, Table::EntryKey(2)).profile().value(), 0x1002);

  Table::Entry entry{Table::EntryKey(40)};
  entry.profileIs(0x0abc);
  entry.weightIs(7);
  table->setEntry(key, entry);
  simulator_.execute(table->schanCmds(key, Table::EntryKey(40)));
  EXPECT_EQ(bytesOf(simulator_.chip(0)->entry("exampleProfileMap", 0, 0, 40)), (Bytes{0xbc, 0x0a, 0x07, 0x00}));

  simulator_.execute(table->hwShadowColl(key)->download("bcm88490_a0", kRev0, test_shadows::maskOf({0})));
  EXPECT_TRUE(sim::compareChipWithShadow(Table::description(), *table, key, *simulator_.chip(0)).matches());
  // Key 2's default: profile 0x1002 with valid (bit 13) set.
  EXPECT_EQ(bytesOf(simulator_.chip(0)->entry("exampleProfileMap", 0, 0, 2)), (Bytes{0x02, 0x30, 0x00, 0x00}));
}

}  // namespace
