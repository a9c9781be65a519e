// Entries: data bytes, named fields and their exact bit positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "Asic/GracefulAssert.h"
#include "EtppbSnoopActionTableHwReg.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbFlpInlifProfile0MapHwDirect.h"
#include "IppbIpv4ActionProfilesCfgHwReg.h"
#include "IppbIpv6ActionProfiles0CfgHwReg.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "TarSnifActionTableHwDirect.h"
#include "Zev/TypeRegistry.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using namespace bcm88490_a0;

// Bit k of the data: bit (k mod 8) of byte (k div 8).
bool bitAt(const std::uint8_t* data, std::size_t k) { return data[k / 8] >> (k % 8) & 1; }

template <class Entry>
std::vector<std::size_t> setBits(const Entry& entry) {
  std::vector<std::size_t> bits;
  for (std::size_t k = 0; k < Entry::entrySizeBits; ++k) {
    if (bitAt(entry.data(), k)) bits.push_back(k);
  }
  return bits;
}

// Verifies: the TTL register's first profile reads 0x3607 from its three
// sub-fields, and the trap code moves only bits 7..15.
TEST(FieldLayout, TtlActionProfile) {
  IppbTtl0ActionProfileHwReg::Entry entry;
  entry.ttl0FwdStrengthIs(7);
  entry.ttl0SnpStrengthIs(0);
  entry.ttl0TrapCodeIs(108);
  EXPECT_EQ(entry.ttl0ActionProfile0(), 0x3607);
  entry.ttl0ActionProfile1Is(0x3987);
  entry.ttl0TrapCodeIs(0);
  EXPECT_EQ(entry.ttl0ActionProfile0(), 0x0007);
  EXPECT_EQ(entry.ttl0ActionProfile1(), 0x3987);
}

// Verifies: snoop-action entry 1 of the snoop register lands in bytes 1 and 2
// (0x10, 0x1B), reads back as 0x1B1 at bit 12, and shows in the whole-register
// vector as bits 12, 16, 17, 19 and 20.
TEST(FieldLayout, SnoopActionEntryOne) {
  EtppbSnoopActionTableHwReg::Entry entry;
  entry.snoopActionValid1Is(1);
  entry.snoopProbabilityIdx1Is(0);
  entry.snoopPriority1Is(1);
  entry.snoopAppendOriginalFtmh1Is(1);
  entry.snoopCropPacket1Is(1);
  entry.snoopRecycleCmd1Is(1);
  std::vector<std::uint8_t> expected(24, 0);
  expected[1] = 0x10;
  expected[2] = 0x1B;
  EXPECT_EQ(std::vector<std::uint8_t>(entry.data(), entry.data() + 24), expected);
  std::uint16_t entryOne = 0;
  Detail::copyBits(&entryOne, 2, entry.data(), 24, 12, 0, 12);
  EXPECT_EQ(entryOne, 0x1B1);
  const Wem::PerUnitBitmap vector = entry.trapSnoopActionTableVector();
  std::vector<std::size_t> vectorBits;
  for (std::size_t p = 0; p < 192; ++p) {
    if (vector.bit(p)) vectorBits.push_back(p);
  }
  EXPECT_EQ(vectorBits, (std::vector<std::size_t>{12, 16, 17, 19, 20}));
}

// Verifies: bit positions of the kind-indexed action profiles.
TEST(FieldLayout, ActionProfileKinds) {
  IppbIpv4ActionProfilesCfgHwReg::Entry v4;
  v4.actionProfileIpv4SipIsMcSnpIs(7);
  EXPECT_EQ(setBits(v4), (std::vector<std::size_t>{53, 54, 55}));
  IppbIpv6ActionProfiles0CfgHwReg::Entry v6;
  v6.actionProfileIpv6SiteLocalSourceFwdIs(1);
  v6.actionProfileIpv6SiteLocalSourceSnpIs(1);
  EXPECT_EQ(setBits(v6), (std::vector<std::size_t>{63, 67}));
}

// Verifies: cropNwkHeaderSize spans bytes 6 and 7 (bits 52..60) and
// destination leaves its neighbours destinationOw and lagLbKey alone.
TEST(FieldLayout, SnifActionFields) {
  TarSnifActionTableHwDirect::Entry entry;
  entry.cropNwkHeaderSizeIs(0x1FF);
  std::vector<std::size_t> expected;
  for (std::size_t k = 52; k <= 60; ++k) expected.push_back(k);
  EXPECT_EQ(setBits(entry), expected);
  EXPECT_EQ(entry.dataByte0(6), 0xF0);
  EXPECT_EQ(entry.dataByte0(7), 0x1F);

  entry.dataByte0DelAll();
  entry.destinationOwIs(1);
  entry.lagLbKeyIs(0xBEEF);
  entry.destinationIs(0x1FFFFF);
  EXPECT_EQ(entry.destinationOw(), 1);
  EXPECT_EQ(entry.lagLbKey(), 0xBEEF);
  entry.destinationIs(0);
  EXPECT_EQ(entry.destinationOw(), 1);
  EXPECT_EQ(entry.lagLbKey(), 0xBEEF);
  EXPECT_THROW(entry.destinationIs(0x200000), Orvel::RangeException);
}

// Verifies: routingEnableProfile is the first two bits of the vector, and
// setting it changes nothing else.
TEST(FieldLayout, ProfileInsideVector) {
  IppaRoutingProfileToVectorMapHwDirect::Entry entry;
  Wem::PerUnitBitmap all;
  for (std::size_t w = 0; w < 8; ++w) all.wordIs(w, 0xffffffff);
  entry.routingEnableVectorIs(all);
  entry.routingEnableProfileIs(2);
  const Wem::PerUnitBitmap vector = entry.routingEnableVector();
  EXPECT_EQ(vector.word(0), 0xfffffffeu);
  for (std::size_t w = 1; w < 8; ++w) EXPECT_EQ(vector.word(w), 0xffffffffu);
  EXPECT_EQ(entry.routingEnableProfile(), 2);
}

// Verifies: aliases and field arrays reach the same bits as the fields they name.
TEST(FieldLayout, AliasesAndFieldArrays) {
  IppbFlpInlifProfile0MapHwDirect::Entry inlif;
  inlif.inlifProfile0Is(0xA5);
  EXPECT_EQ(inlif.csInlifProfile0(), 0xA5);
  inlif.csInlifProfile0Is(0x3C);
  EXPECT_EQ(inlif.inlifProfile0(), 0x3C);

  EtppbSnoopActionTableHwReg::Entry a, b;
  a.snpRecycleCmdIs(0, 0xF);
  b.snoopRecycleCmd0Is(0xF);
  EXPECT_EQ(setBits(a), (std::vector<std::size_t>{8, 9, 10, 11}));
  EXPECT_EQ(setBits(a), setBits(b));
  EXPECT_EQ(a.snoopRecycleCmd(), 0xF);
  a.snpPriorityIs(15, 1);
  EXPECT_EQ(a.snoopPriority15(), 1);

  // VSI 243 is routingProfile3 of entry (2, 60); writing it keeps the other three.
  IppaVsiToRoutingProfileMapHwDirect::Entry vsi(IppaVsiToRoutingProfileMapHwDirect::EntryKey(2, 243 / 4));
  for (std::uint32_t v : {240u, 241u, 242u}) vsi.routingProfileIs(v % 4, 2);
  vsi.routingProfileIs(243 % 4, 5);
  EXPECT_EQ(vsi.routingProfile0(), 2);
  EXPECT_EQ(vsi.routingProfile1(), 2);
  EXPECT_EQ(vsi.routingProfile2(), 2);
  EXPECT_EQ(vsi.routingProfile3(), 5);
}

// Verifies: a field array refuses an index outside its family with the
// graceful assertion.
TEST(FieldLayout, FieldArrayIndexOutOfRange) {
  IppaVsiToRoutingProfileMapHwDirect::Entry entry;
  try {
    entry.routingProfileIs(4, 1);
    FAIL() << "index 4 accepted";
  } catch (const Asic::GracefulAssertException& e) {
    EXPECT_NE(std::string(e.what()).find("(false) - Invalid field array index for index 4"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(EtppbSnoopActionTableHwReg::Entry().snpActionValid(16), Asic::GracefulAssertException);
  EXPECT_EQ(setBits(entry), std::vector<std::size_t>{});
}

// Verifies: a bitmap too short for the vector raises the vector range error
// and leaves every data byte as it was.
TEST(FieldLayout, ShortBitmapChangesNothing) {
  IppaRoutingProfileToVectorMapHwDirect::Entry entry;
  entry.routingEnableProfileIs(3);
  Wem::PerUnitBitmap shortBitmap(7);  // 224 bits for a 256-bit vector
  shortBitmap.wordIs(0, 0x12345678);
  EXPECT_THROW(entry.routingEnableVectorIs(shortBitmap), Orvel::VectorOutOfRangeException);
  EXPECT_EQ(setBits(entry), (std::vector<std::size_t>{0, 1}));
}

// Verifies, for every field of every table through its generated accessor:
// setting it writes exactly its description's bits and no other, and the
// getter reads the value back. Register fields reached through the field
// accessor are included, so it gives the same bits as the direct copy.
TEST(FieldLayout, EveryFieldTouchesOnlyItsBits) {
  std::mt19937_64 random(1234);
  std::size_t checked = 0;
  for (const auto* t : catalogue::tables()) {
    const auto& ops = *t->values;
    for (std::size_t f = 0; f < ops.fields.size(); ++f) {
      const auto& field = ops.fields[f];
      alignas(8) std::byte storage[64];
      ops.entryDefault(storage);
      std::uint8_t* data = ops.mutableData(storage);
      for (std::uint32_t i = 0; i < t->entrySize; ++i) data[i] = static_cast<std::uint8_t>(random());
      const std::vector<std::uint8_t> before(data, data + t->entrySize);

      std::vector<bool> expectedField(field.width);
      if (field.vector) {
        Wem::PerUnitBitmap bitmap;
        for (std::size_t w = 0; w < bitmap.wordCount(); ++w) bitmap.wordIs(w, static_cast<std::uint32_t>(random()));
        ops.vectorIs(storage, f, bitmap);
        const Wem::PerUnitBitmap readBack = ops.vectorGet(storage, f);
        for (std::uint32_t k = 0; k < field.width; ++k) {
          expectedField[k] = bitmap.bit(k);
          ASSERT_EQ(readBack.bit(k), bitmap.bit(k)) << t->name << "." << field.name << " bit " << k;
        }
      } else {
        const std::uint64_t mask = (std::uint64_t{1} << field.width) - 1;
        std::uint64_t value = random() & mask;
        if (value == 0) value = mask;  // a zero could leave zero bits unchanged by accident
        ops.fieldIs(storage, f, value);
        EXPECT_EQ(ops.fieldGet(storage, f), value) << t->name << "." << field.name;
        for (std::uint32_t k = 0; k < field.width; ++k) expectedField[k] = value >> k & 1;
      }
      for (std::size_t k = 0; k < t->entrySize * 8; ++k) {
        const bool inField = k >= field.offset && k < field.offset + field.width;
        const bool expected = inField ? expectedField[k - field.offset] : bitAt(before.data(), k);
        ASSERT_EQ(bitAt(data, k), expected) << t->name << "." << field.name << " bit " << k;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 190u);
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
                             "ttl0ActionProfile1::value < 0 or > 0xffff not allowed"}}) {
    const auto* table = catalogue::table(c.table);
    const auto& fields = table->values->fields;
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [&](const catalogue::FieldDescription& f) { return std::strcmp(f.name, c.field) == 0; });
    ASSERT_NE(field, fields.end()) << c.field;
    const std::size_t index = static_cast<std::size_t>(field - fields.begin());
    alignas(8) std::byte storage[64];
    table->values->entryDefault(storage);
    try {
      table->values->fieldIs(storage, index, c.value);
      ADD_FAILURE() << c.field << " took " << c.value;
    } catch (const Orvel::RangeException& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(table->values->fieldGet(storage, index), 0u) << c.field;
  }
  alignas(8) std::byte storage[64];
  const auto* lpm = catalogue::table("LpmEntryTypeMapHwDirect");
  lpm->values->entryDefault(storage);
  EXPECT_THROW(lpm->values->fieldIs(storage, 0, 64), Orvel::RangeException);
  EXPECT_EQ(lpm->values->fieldGet(storage, 0), 0u);
}

// Verifies: data-byte operations, equality, and the refused parse of an Entry.
TEST(EntryValue, BytesEqualityAndParse) {
  using Entry = TarSnifActionTableHwDirect::Entry;
  Entry entry(TarSnifActionTableHwDirect::EntryKey(3));
  EXPECT_EQ(entry.dataByte0Del(5), 0);
  entry.dataByte0Is(5, 0x42);
  Entry copy = entry;
  EXPECT_TRUE(Entry::isEq(copy, entry));
  EXPECT_TRUE(Entry::isEq(entry, entry));
  copy.dataByte0Is(11, 1);
  EXPECT_FALSE(Entry::isEq(copy, entry));
  EXPECT_FALSE(Entry::isEq(Entry(TarSnifActionTableHwDirect::EntryKey(4)), Entry(TarSnifActionTableHwDirect::EntryKey(3))));
  EXPECT_EQ(entry.dataByte0Del(5), 0x42);
  EXPECT_EQ(entry.dataByte0(5), 0);
  EXPECT_EQ(Entry::dataByte0Size(), 12u);
  EXPECT_THROW(entry.dataByte0Del(Entry::dataByte0End()), Orvel::RangeException);
  EXPECT_EQ(fmt::format("{}", entry), "bcm88490_a0::TarSnifActionTableHwDirect::Entry(entryKey="
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
    const std::string base = t->typeName;
    for (const std::string suffix : {"::EntryKey", "::Entry", "::Entry::DataByte0Index"}) {
      EXPECT_NE(Zev::typeInfo(base + suffix), nullptr) << base + suffix;
    }
  }
  const Zev::TypeInfo* entryType = Zev::typeInfo("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Entry");
  IppaVsiToRoutingProfileMapHwDirect::Entry entry;
  EXPECT_THROW(Zev::hashValue(*entryType, &entry), Zev::NonHashableTypeException);
  EXPECT_EQ(entryType->size, 12u);
}

}  // namespace
