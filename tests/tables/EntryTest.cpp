// Keys, data indices and entries of the catalogue's tables: range checks and their messages, order, hash and string
// forms, field arrays, data bytes and the value types' registration. Where each named field lies is checked in
// FieldLayoutTest.cpp, against a list written out independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Asic/GracefulAssert.h"
#include "EtppbSnoopActionTableHwReg.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppfVsiToRoutingProfileMapHwDirect.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuAsicUtils/TableDescription.h"
#include "Zev/TypeRegistry.h"
#include "shadows/ShadowTestSupport.h"

namespace {

using namespace bcm88490_a0;
using RefKey = IppaVsiToRoutingProfileMapHwDirect::EntryKey;
using TarKey = TarSnifActionTableHwDirect::EntryKey;

// The bounded types' message: "T::attr < T::min or > T::max not allowed".
std::string rangeText(const std::string& type, const char* attr, const char* min, const char* max) {
  return type + "::" + attr + " < " + type + "::" + min + " or > " + type + "::" + max + " not allowed";
}

const std::string kRef = "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect";
const std::string kTar = "bcm88490_a0::TarSnifActionTableHwDirect";
const std::string kArrayIndexMessage = rangeText(kRef + "::EntryKey", "arrayIndex", "arrayIndexMin", "arrayIndexMax");
const std::string kEntryIndexMessage = rangeText(kRef + "::EntryKey", "entryIndex", "entryIndexMin", "entryIndexMax");
const std::string kTarKeyMessage = rangeText(kTar + "::EntryKey", "value", "min", "null");

// The text of the range exception that f throws, or "no exception".
const auto rangeMessage = [](auto&& f) { return test_shadows::errorOf<Orvel::RangeException>(f); };

template <class Entry>
std::vector<std::uint8_t> bytesOf(const Entry& entry) {
  return std::vector<std::uint8_t>(entry.data(), entry.data() + Entry::entrySize);
}

// Verifies: an indexed key checks arrayIndex first, so with both out of range the arrayIndex message is the one raised;
// each alone has its own; so do the setters, which keep the key when they refuse. A value key admits null itself
// through constructor, setter and parser, and refuses null + 1 with the message naming null.
TEST(Keys, RangeChecksAndMessages) {
  EXPECT_EQ(rangeMessage([] { RefKey(4, 256); }), kArrayIndexMessage);
  EXPECT_EQ(rangeMessage([] { RefKey(1, 0); }), kArrayIndexMessage);
  EXPECT_EQ(rangeMessage([] { RefKey(3, 256); }), kEntryIndexMessage);
  EXPECT_EQ(RefKey().arrayIndex(), 2);  // the default key is (arrayIndexMin, 0)
  // The Ippf map's array indices are 0..1: 2 is refused there.
  EXPECT_THROW(IppfVsiToRoutingProfileMapHwDirect::EntryKey(2, 0), Orvel::RangeException);
  EXPECT_NO_THROW(IppfVsiToRoutingProfileMapHwDirect::EntryKey(1, 255));
  // 258 narrowed to a byte would be 2: checked in 64 bits it is refused.
  EXPECT_EQ(rangeMessage([] { RefKey::checked(258, 0); }), kArrayIndexMessage);
  EXPECT_EQ(rangeMessage([] { RefKey::checked(2, 0x100000000); }), kEntryIndexMessage);

  RefKey key(3, 17);
  EXPECT_THROW(key.arrayIndexIs(4), Orvel::RangeException);
  EXPECT_THROW(key.entryIndexIs(300), Orvel::RangeException);
  EXPECT_EQ(key, RefKey(3, 17));
  key.arrayIndexIs(2);
  key.entryIndexIs(255);
  EXPECT_EQ(key, RefKey(2, 255));

  constexpr std::uint32_t null = TarKey::null;
  TarKey value;
  value.valueIs(null);
  EXPECT_EQ(value, TarKey(null));
  EXPECT_EQ(Zev::strepToValue<TarKey>(Orvel::String(std::to_string(null))), value);
  EXPECT_EQ(rangeMessage([] { TarKey(null + 1); }), kTarKeyMessage);
  EXPECT_EQ(rangeMessage([&] { value.valueIs(null + 1); }), kTarKeyMessage);
  EXPECT_EQ(value.value(), null);
  EXPECT_EQ(rangeMessage([] { Zev::strepToValue<TarKey>(Orvel::String(kTar + "::EntryKey(value=33)")); }),
            kTarKeyMessage);
}

// Verifies: keys order arrayIndex first; equality and isEq agree. The key hash takes the seed and both attributes.
TEST(Keys, OrderEqualityAndHash) {
  EXPECT_LT(RefKey(2, 255), RefKey(3, 0));
  EXPECT_GT(RefKey(3, 0), RefKey(2, 255));
  EXPECT_LT(RefKey(2, 3), RefKey(2, 4));
  EXPECT_TRUE(RefKey::isEq(RefKey(3, 4), RefKey(3, 4)));
  EXPECT_FALSE(RefKey::isEq(RefKey(3, 4), RefKey(2, 4)));
  EXPECT_LT(TarKey(3), TarKey(10));

  EXPECT_NE(RefKey(2, 60).hash(7), RefKey(3, 60).hash(7));
  EXPECT_NE(RefKey(2, 60).hash(7), RefKey(2, 61).hash(7));
  // Pinned (so stable, and seeded: seeds 0 and 7 differ): writers and readers in other processes (and other builds)
  // must compute these exact values.
  EXPECT_EQ(RefKey(2, 60).hash(0), 0x7d6234c5u);
  EXPECT_EQ(RefKey(2, 60).hash(7), 0xdc57e52au);
  EXPECT_EQ(RefKey(3, 255).hash(0x9e3779b9), 0x10bfe8b3u);
  EXPECT_EQ(values::keyHash(TarKey(5), 7), 0x9bb18303u);
  EXPECT_EQ(values::keyHash(TarKey(5), 9), Zev::hashSingleAttr(9, 5));
  const Zev::TypeInfo* type = Zev::typeInfo(kRef + "::EntryKey");
  ASSERT_NE(type, nullptr);
  const RefKey key(3, 9);
  EXPECT_EQ(Zev::hashValue(*type, &key), key.hash(0));
}

// Verifies: every table's key prints and parses back to the same key; text after the value and a wrong type name are
// refused.
TEST(Keys, StringFormRoundTripsForEveryTable) {
  for (const auto* t : catalogue::tables()) {
    alignas(8) std::byte made[64], parsed[64];
    const auto& ops = *t->values;
    ASSERT_LE(ops.entryBytes, sizeof made);
    if (t->key.form == catalogue::KeyForm::indexed) {
      ops.entryMake(made, t->key.arrayIndexMax, t->key.entryIndexMax);
    } else {
      ops.entryMake(made, t->key.null, 0);
    }
    const std::string text = ops.keyText(made);
    EXPECT_EQ(text.rfind(std::string(t->typeName) + "::EntryKey(", 0), 0u) << text;
    ops.entryParseKey(parsed, text);
    EXPECT_EQ(ops.keyText(parsed), text);
    EXPECT_EQ(ops.keyHash(parsed, 11), ops.keyHash(made, 11)) << t->name;
    EXPECT_THROW(ops.entryParseKey(parsed, text + ")"), Zev::ParseException) << t->name;
    EXPECT_THROW(ops.entryParseKey(parsed, "bcm88490_a0::Other::EntryKey(value=1)"), Zev::ParseException);
  }
  EXPECT_EQ(RefKey(2, 60).strep(), kRef + "::EntryKey(arrayIndex=2,entryIndex=60)");
  EXPECT_EQ(fmt::format("{}", TarKey(3)), kTar + "::EntryKey(value=3)");
}

// Verifies: element i of a field array is the numbered field i, writing one element keeps the others, and an index
// outside the family is refused.
TEST(FieldArrays, ElementIsTheNumberedField) {
  EtppbSnoopActionTableHwReg::Entry a, b;
  a.snpRecycleCmdIs(0, 0xF);
  b.snoopRecycleCmd0Is(0xF);
  EXPECT_EQ(bytesOf(a), bytesOf(b));
  a.snpPriorityIs(15, 1);
  EXPECT_EQ(a.snoopPriority15(), 1);
  EXPECT_EQ(a.snpRecycleCmd(0), 0xF);

  // VSI 243 is routingProfile3 of entry (2, 60); writing it keeps the other three.
  IppaVsiToRoutingProfileMapHwDirect::Entry vsi(RefKey(2, 243 / 4));
  for (std::uint32_t v : {240u, 241u, 242u}) vsi.routingProfileIs(v % 4, 2);
  vsi.routingProfileIs(243 % 4, 5);
  EXPECT_EQ(bytesOf(vsi), (std::vector<std::uint8_t>{0x22, 0x52, 0, 0}));

  // An index outside the family is refused with the graceful assertion, and nothing is written.
  const std::string refused = test_shadows::errorOf<Asic::GracefulAssertException>([&] { vsi.routingProfileIs(4, 1); });
  EXPECT_NE(refused.find("(false) - Invalid field array index for index 4"), std::string::npos) << refused;
  EXPECT_THROW(a.snpActionValid(16), Asic::GracefulAssertException);
  EXPECT_EQ(bytesOf(vsi), (std::vector<std::uint8_t>{0x22, 0x52, 0, 0}));
}

// Verifies: a value wider than its field is refused with a message in the bounded types' form, for plain 8- and 16-bit
// fields too, and a bitmap too short for the vector with the vector range error; neither changes any data byte.
TEST(FieldLayout, RefusedValuesChangeNothing) {
  // Table, field, one past the field's largest value, message.
  for (const auto& [table, name, value, message] :
       std::vector<std::tuple<const char*, const char*, std::uint64_t, std::string>>{
           {"IppaCsInlif0ProfileMapHwDirect", "csInlif0Profile", 0x100,
            "csInlif0Profile::value < 0 or > 0xff not allowed"},
           {"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile1", 0x10000,
            "ttl0ActionProfile1::value < 0 or > 0xffff not allowed"},
           {"LpmEntryTypeMapHwDirect", "lpmEntryType", 64, "U6::value < 0 or > 0x3f not allowed"}}) {
    SCOPED_TRACE(name);
    const auto& ops = *catalogue::table(table)->values;
    const auto field = std::find_if(ops.fields.begin(), ops.fields.end(), [&](const catalogue::FieldDescription& f) {
      return std::strcmp(f.name, name) == 0;
    });
    ASSERT_NE(field, ops.fields.end());
    const auto index = static_cast<std::size_t>(field - ops.fields.begin());
    catalogue::EntryBuffer storage;
    ops.entryDefault(storage.bytes);
    EXPECT_EQ(rangeMessage([&] { ops.fieldIs(storage.bytes, index, value); }), message);
    EXPECT_EQ(ops.fieldGet(storage.bytes, index), 0u);
  }

  IppaRoutingProfileToVectorMapHwDirect::Entry entry;
  entry.routingEnableProfileIs(3);
  Wem::PerUnitBitmap shortBitmap(7);  // 224 bits for a 256-bit vector
  shortBitmap.wordIs(0, 0x12345678);
  EXPECT_THROW(entry.routingEnableVectorIs(shortBitmap), Orvel::VectorOutOfRangeException);
  std::vector<std::uint8_t> expected(32, 0);
  expected[0] = 3;
  EXPECT_EQ(bytesOf(entry), expected);
}

// Verifies: data-byte operations, equality, the string form, and the refused parse of an Entry; the data index admits
// 0 .. N - 1, names its own bounds, and parses.
TEST(EntryValue, BytesEqualityAndParse) {
  using Entry = TarSnifActionTableHwDirect::Entry;
  Entry entry(TarKey(3));
  EXPECT_EQ(entry.dataByte0Del(5), 0);
  entry.dataByte0Is(5, 0x42);
  Entry copy = entry;
  EXPECT_TRUE(Entry::isEq(copy, entry));
  copy.dataByte0Is(11, 1);
  EXPECT_FALSE(Entry::isEq(copy, entry));
  EXPECT_FALSE(Entry::isEq(Entry(TarKey(4)), Entry(TarKey(3))));
  EXPECT_EQ(entry.dataByte0Del(5), 0x42);
  EXPECT_EQ(entry.dataByte0(5), 0);
  EXPECT_THROW(entry.dataByte0Del(Entry::dataByte0End()), Orvel::RangeException);
  EXPECT_EQ(fmt::format("{}", entry),
            kTar + "::Entry(entryKey=" + kTar + "::EntryKey(value=3),dataByte0=000000000000000000000000)");
  EXPECT_EQ(test_shadows::errorOf<Zev::ParseException>([] { Zev::strepToValue<Entry>(Orvel::String("anything")); }),
            "No String constructor for Entry - has collection");

  using Index = IppaVsiToRoutingProfileMapHwDirect::Entry::DataByte0Index;
  EXPECT_NO_THROW(Index(IppaVsiToRoutingProfileMapHwDirect::Entry::entrySize - 1));
  EXPECT_EQ(rangeMessage([] { Index(IppaVsiToRoutingProfileMapHwDirect::Entry::entrySize); }),
            rangeText(kRef + "::Entry::DataByte0Index", "value", "min", "max"));
  EXPECT_EQ(Zev::strepToValue<Index>(Orvel::String(kRef + "::Entry::DataByte0Index(value=2)")).value(), 2u);
}

// Verifies: the three value types of every table are registered under their full names, and the framework refuses to
// hash an Entry.
TEST(EntryValue, RegisteredTypes) {
  for (const auto* t : catalogue::tables()) {
    for (const std::string suffix : {"::EntryKey", "::Entry", "::Entry::DataByte0Index"}) {
      EXPECT_NE(Zev::typeInfo(t->typeName + suffix), nullptr) << t->typeName << suffix;
    }
  }
  const Zev::TypeInfo* entryType = Zev::typeInfo(kRef + "::Entry");
  IppaVsiToRoutingProfileMapHwDirect::Entry entry;
  EXPECT_THROW(Zev::hashValue(*entryType, &entry), Zev::NonHashableTypeException);
  EXPECT_EQ(entryType->size, sizeof(entry));
}

}  // namespace
