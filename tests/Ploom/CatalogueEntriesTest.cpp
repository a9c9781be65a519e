// The collection with the catalogue's own entries: every direct table's Entry
// is stored, found, iterated and validated.
#include <gtest/gtest.h>

#include <type_traits>

#include "CatalogueTables.h"
#include "PloomTestSupport.h"

namespace {

using namespace bcm88490_a0;
using ploom_test::descriptor;
using ploom_test::WriterHandle;

class CatalogueEntries : public test_shm::TempBaseDir {};

// Every key of the table's range, in order.
template <class Table>
std::vector<typename Table::EntryKey> allKeys() {
  using Key = typename Table::EntryKey;
  std::vector<Key> keys;
  if constexpr (Key::kIndexed) {
    for (unsigned a = Key::arrayIndexMin; a <= Key::arrayIndexMax; ++a) {
      for (std::uint32_t e = Key::entryIndexMin; e <= Key::entryIndexMax; ++e) keys.emplace_back(a, e);
    }
  } else {
    for (std::uint32_t v = Key::min; v <= Key::max; ++v) keys.emplace_back(v);
  }
  return keys;
}

// A collection of capacity 512 of the direct table's entries, holding every
// key of the table with its data: each is found, iteration returns exactly
// the stored entries, the collection validates and names the entry type.
template <class Table>
requires(!Table::kRegisterTable) void storeEveryKey() {
  using Entry = typename Table::Entry;
  static_assert(sizeof(Entry) == 8 || sizeof(Entry) == 12 || sizeof(Entry) == 16 || sizeof(Entry) == 40);
  SCOPED_TRACE(Table::tableName());
  WriterHandle<Entry> w(std::string("/catalogue/") + Table::tableName(), descriptor(512));
  const auto keys = allKeys<Table>();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    Entry entry(keys[i]);
    entry.dataByte0Is(0, static_cast<unsigned char>(i));
    w->write(entry, true);
  }
  EXPECT_EQ(w->members(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto stored = ploom_test::find(*w.writer, keys[i]);
    ASSERT_TRUE(stored) << i;
    EXPECT_EQ(stored->dataByte0(0), static_cast<unsigned char>(i));
  }
  EXPECT_EQ(ploom_test::iterate(*w.writer).size(), keys.size());
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
  EXPECT_EQ(Ploom::SlotHeaderCommon::typeName(Ploom::Testing::Access::slots(*w).base()),
            std::string(Table::tableTypeName()) + "::Entry");
  if constexpr (std::is_same_v<Table, LpmEntryTypeMapHwDirect>) {
    // The LPM map's 2048 defaults grow the collection the way its shadow
    // will: slots 64 -> ... -> 512 -> 564 -> ... -> 2158, buckets to 2048.
    EXPECT_EQ(w->capacity(), 2158u);
    EXPECT_EQ(w->buckets(), 2048u);
  }
}
// Register tables keep their entries outside collections.
template <class Table>
void storeEveryKey() {}

// Verifies, for every direct table of the catalogue (the value sizes are those
// the slot layout expects: 8, 12, 16 or 40 bytes), what storeEveryKey says.
TEST_F(CatalogueEntries, StoreEveryKeyOfEveryDirectTable) {
#define VOVU_STORE_EVERY_KEY(Table) storeEveryKey<Table>();
  VOVU_FOR_EACH_TABLE(VOVU_STORE_EVERY_KEY)
#undef VOVU_STORE_EVERY_KEY
}

}  // namespace
