// Entries: field arrays, range checks of the field setters, data bytes and
// the value types' registration. Where each named field lies is checked in
// FieldLayoutTest.cpp, against a list written out independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Asic/GracefulAssert.h"
#include "EtppbSnoopActionTableHwReg.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuAsicUtils/TableDescription.h"
#include "Zev/TypeRegistry.h"

namespace {

using namespace bcm88490_a0;

template <class Entry>
std::vector<std::uint8_t> bytesOf(const Entry& entry) {
  return std::vector<std::uint8_t>(entry.data(), entry.data() + Entry::entrySize);
}

// Verifies: element i of a field array is the numbered field i, writing one
// element keeps the others, and an index outside the family is refused.
TEST(FieldArrays, ElementIsTheNumberedField) {
  EtppbSnoopActionTableHwReg::Entry a, b;
  a.snpRecycleCmdIs(0, 0xF);
  b.snoopRecycleCmd0Is(0xF);
  EXPECT_EQ(bytesOf(a), bytesOf(b));
  a.snpPriorityIs(15, 1);
  EXPECT_EQ(a.snoopPriority15(), 1);
  EXPECT_EQ(a.snpRecycleCmd(0), 0xF);

  // VSI 243 is routingProfile3 of entry (2, 60); writing it keeps the other three.
  IppaVsiToRoutingProfileMapHwDirect::Entry vsi(IppaVsiToRoutingProfileMapHwDirect::EntryKey(2, 243 / 4));
  for (std::uint32_t v : {240u, 241u, 242u}) vsi.routingProfileIs(v % 4, 2);
  vsi.routingProfileIs(243 % 4, 5);
  EXPECT_EQ(bytesOf(vsi), (std::vector<std::uint8_t>{0x22, 0x52, 0, 0}));

  // An index outside the family is refused with the graceful assertion, and nothing is written.
  try {
    vsi.routingProfileIs(4, 1);
    FAIL() << "index 4 accepted";
  } catch (const Asic::GracefulAssertException& e) {
    EXPECT_NE(std::string(e.what()).find("(false) - Invalid field array index for index 4"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(a.snpActionValid(16), Asic::GracefulAssertException);
  EXPECT_EQ(bytesOf(vsi), (std::vector<std::uint8_t>{0x22, 0x52, 0, 0}));
}

// Verifies: a bitmap too short for the vector raises the vector range error
// and leaves every data byte as it was.
TEST(FieldLayout, ShortBitmapChangesNothing) {
  IppaRoutingProfileToVectorMapHwDirect::Entry entry;
  entry.routingEnableProfileIs(3);
  Wem::PerUnitBitmap shortBitmap(7);  // 224 bits for a 256-bit vector
  shortBitmap.wordIs(0, 0x12345678);
  EXPECT_THROW(entry.routingEnableVectorIs(shortBitmap), Orvel::VectorOutOfRangeException);
  std::vector<std::uint8_t> expected(32, 0);
  expected[0] = 3;
  EXPECT_EQ(bytesOf(entry), expected);
}

// Verifies: a value wider than its field is refused with a message in the
// bounded types' form, for plain 8- and 16-bit fields too, and changes nothing.
TEST(FieldLayout, FieldDispatchChecksRange) {
  struct Case {
    const char* table;
    const char* field;
    std::uint64_t value;  // one past the field's largest value
    const char* message;
  };
  for (const Case& c : {Case{"IppaCsInlif0ProfileMapHwDirect", "csInlif0Profile", 0x100,
                             "csInlif0Profile::value < 0 or > 0xff not allowed"},
                        Case{"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile1", 0x10000,
                             "ttl0ActionProfile1::value < 0 or > 0xffff not allowed"},
                        Case{"LpmEntryTypeMapHwDirect", "lpmEntryType", 64, "U6::value < 0 or > 0x3f not allowed"}}) {
    SCOPED_TRACE(c.field);
    const auto& ops = *catalogue::table(c.table)->values;
    const auto field = std::find_if(ops.fields.begin(), ops.fields.end(), [&](const catalogue::FieldDescription& f) {
      return std::strcmp(f.name, c.field) == 0;
    });
    ASSERT_NE(field, ops.fields.end());
    const auto index = static_cast<std::size_t>(field - ops.fields.begin());
    catalogue::EntryBuffer storage;
    ops.entryDefault(storage.bytes);
    try {
      ops.fieldIs(storage.bytes, index, c.value);
      ADD_FAILURE() << "took " << c.value;
    } catch (const Orvel::RangeException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(ops.fieldGet(storage.bytes, index), 0u);
  }
}

// Verifies: data-byte operations, equality, the string form, and the refused
// parse of an Entry.
TEST(EntryValue, BytesEqualityAndParse) {
  using Entry = TarSnifActionTableHwDirect::Entry;
  Entry entry(TarSnifActionTableHwDirect::EntryKey(3));
  EXPECT_EQ(entry.dataByte0Del(5), 0);
  entry.dataByte0Is(5, 0x42);
  Entry copy = entry;
  EXPECT_TRUE(Entry::isEq(copy, entry));
  copy.dataByte0Is(11, 1);
  EXPECT_FALSE(Entry::isEq(copy, entry));
  EXPECT_FALSE(
      Entry::isEq(Entry(TarSnifActionTableHwDirect::EntryKey(4)), Entry(TarSnifActionTableHwDirect::EntryKey(3))));
  EXPECT_EQ(entry.dataByte0Del(5), 0x42);
  EXPECT_EQ(entry.dataByte0(5), 0);
  EXPECT_THROW(entry.dataByte0Del(Entry::dataByte0End()), Orvel::RangeException);
  EXPECT_EQ(fmt::format("{}", entry),
            "bcm88490_a0::TarSnifActionTableHwDirect::Entry(entryKey="
            "bcm88490_a0::TarSnifActionTableHwDirect::EntryKey(value=3),"
            "dataByte0=000000000000000000000000)");
  try {
    Zev::strepToValue<Entry>(Orvel::String("anything"));
    FAIL();
  } catch (const Zev::ParseException& e) {
    EXPECT_STREQ(e.what(), "No String constructor for Entry - has collection");
  }
}

// Verifies: the three value types of every table are registered under their
// full names, and the framework refuses to hash an Entry.
TEST(EntryValue, RegisteredTypes) {
  for (const auto* t : catalogue::tables()) {
    for (const std::string suffix : {"::EntryKey", "::Entry", "::Entry::DataByte0Index"}) {
      EXPECT_NE(Zev::typeInfo(t->typeName + suffix), nullptr) << t->typeName << suffix;
    }
  }
  const Zev::TypeInfo* entryType = Zev::typeInfo("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Entry");
  IppaVsiToRoutingProfileMapHwDirect::Entry entry;
  EXPECT_THROW(Zev::hashValue(*entryType, &entry), Zev::NonHashableTypeException);
  EXPECT_EQ(entryType->size, sizeof(entry));
}

}  // namespace
