// Keys and data indices of the catalogue's tables.
#include <gtest/gtest.h>

#include <string>

#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppfVsiToRoutingProfileMapHwDirect.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuAsicUtils/TableDescription.h"
#include "Zev/TypeRegistry.h"

namespace {

using namespace bcm88490_a0;
using RefKey = IppaVsiToRoutingProfileMapHwDirect::EntryKey;
using TarKey = TarSnifActionTableHwDirect::EntryKey;

const std::string kRef = "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect";
const std::string kArrayIndexMessage = kRef + "::EntryKey::arrayIndex < " + kRef + "::EntryKey::arrayIndexMin or > " +
                                       kRef + "::EntryKey::arrayIndexMax not allowed";
const std::string kEntryIndexMessage = kRef + "::EntryKey::entryIndex < " + kRef + "::EntryKey::entryIndexMin or > " +
                                       kRef + "::EntryKey::entryIndexMax not allowed";
const std::string kTar = "bcm88490_a0::TarSnifActionTableHwDirect";
const std::string kTarKeyMessage =
    kTar + "::EntryKey::value < " + kTar + "::EntryKey::min or > " + kTar + "::EntryKey::null not allowed";

template <class F>
std::string rangeMessage(F&& f) {
  try {
    f();
  } catch (const Orvel::RangeException& e) {
    return e.what();
  }
  return "no exception";
}

// Verifies: an indexed key checks arrayIndex first, so with both out of
// range the arrayIndex message is the one raised; each alone has its own;
// so do the setters, which keep the key when they refuse.
TEST(IndexedKey, RangeChecksAndMessages) {
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

  // Setters validate a new value and leave the key unchanged when they refuse it.
  RefKey key(3, 17);
  EXPECT_THROW(key.arrayIndexIs(4), Orvel::RangeException);
  EXPECT_THROW(key.entryIndexIs(300), Orvel::RangeException);
  EXPECT_EQ(key, RefKey(3, 17));
  key.arrayIndexIs(2);
  key.entryIndexIs(255);
  EXPECT_EQ(key, RefKey(2, 255));
}

// Verifies: a value key admits null itself through constructor, setter and
// parser, and refuses null + 1 with the message naming null.
TEST(ValueKey, NullIsAdmittedAndNullPlusOneRefused) {
  constexpr std::uint32_t null = TarKey::null;
  TarKey key;
  key.valueIs(null);
  EXPECT_EQ(key, TarKey(null));
  EXPECT_EQ(Zev::strepToValue<TarKey>(Orvel::String(std::to_string(null))), key);
  EXPECT_EQ(rangeMessage([] { TarKey(null + 1); }), kTarKeyMessage);
  EXPECT_EQ(rangeMessage([&] { key.valueIs(null + 1); }), kTarKeyMessage);
  EXPECT_EQ(key.value(), null);
  EXPECT_EQ(rangeMessage([] { Zev::strepToValue<TarKey>(Orvel::String(kTar + "::EntryKey(value=33)")); }),
            kTarKeyMessage);
}

// Verifies: keys order arrayIndex first; equality and isEq agree.
TEST(Keys, OrderAndEquality) {
  EXPECT_LT(RefKey(2, 255), RefKey(3, 0));
  EXPECT_GT(RefKey(3, 0), RefKey(2, 255));
  EXPECT_LT(RefKey(2, 3), RefKey(2, 4));
  EXPECT_TRUE(RefKey::isEq(RefKey(3, 4), RefKey(3, 4)));
  EXPECT_FALSE(RefKey::isEq(RefKey(3, 4), RefKey(2, 4)));
  EXPECT_LT(TarKey(3), TarKey(10));
}

// Verifies: the key hash takes the seed and both attributes, and is stable
// for equal keys.
TEST(Keys, HashUsesSeedAndEveryAttribute) {
  EXPECT_EQ(RefKey(2, 60).hash(7), RefKey(2, 60).hash(7));
  EXPECT_NE(RefKey(2, 60).hash(7), RefKey(2, 60).hash(8));
  EXPECT_NE(RefKey(2, 60).hash(7), RefKey(3, 60).hash(7));
  EXPECT_NE(RefKey(2, 60).hash(7), RefKey(2, 61).hash(7));
  // Pinned: writers and readers in other processes (and other builds) must
  // compute these exact values.
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

// Verifies: every table's key prints and parses back to the same key; text
// after the value and a wrong type name are refused.
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

// Verifies: the data index admits 0 .. N - 1, names its own bounds, and parses.
TEST(DataByte0Index, RangeAndMessage) {
  using Index = IppaVsiToRoutingProfileMapHwDirect::Entry::DataByte0Index;
  EXPECT_NO_THROW(Index(IppaVsiToRoutingProfileMapHwDirect::Entry::entrySize - 1));
  EXPECT_EQ(rangeMessage([] { Index(IppaVsiToRoutingProfileMapHwDirect::Entry::entrySize); }),
            kRef + "::Entry::DataByte0Index::value < " + kRef + "::Entry::DataByte0Index::min or > " + kRef +
                "::Entry::DataByte0Index::max not allowed");
  EXPECT_EQ(Zev::strepToValue<Index>(Orvel::String(kRef + "::Entry::DataByte0Index(value=2)")).value(), 2u);
}

}  // namespace
