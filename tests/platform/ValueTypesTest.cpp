#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "Detail/CopyBits.h"
#include "Orvel/BoundedUnsigned.h"
#include "Wem/PerUnitBitmap.h"
#include "Zev/CharRange.h"
#include "Zev/Hash.h"
#include "support/ErrorOf.h"

namespace {

template <class U>
std::string messageOf(std::int64_t v) {
  return testing_support::errorOf<Orvel::RangeException>([v] { (void)U(v); });
}

// Each bounded type admits 0 .. 2^n - 1 and refuses the next value and
// negatives (two hex digits per storage byte: one, two and four bytes).
TEST(BoundedUnsigned, LimitsAndMessages) {
  EXPECT_EQ(messageOf<Orvel::U1>(1), "no exception");
  EXPECT_EQ(messageOf<Orvel::U1>(2), "U1::value < 0 or > 0x01 not allowed");
  EXPECT_EQ(messageOf<Orvel::U4>(-1), "U4::value < 0 or > 0x0f not allowed");
  EXPECT_EQ(messageOf<Orvel::U9>(511), "no exception");
  EXPECT_EQ(messageOf<Orvel::U9>(512), "U9::value < 0 or > 0x01ff not allowed");
  EXPECT_EQ(messageOf<Orvel::U21>(0x1fffff), "no exception");
  EXPECT_EQ(messageOf<Orvel::U21>(0x200000), "U21::value < 0 or > 0x001fffff not allowed");
  // A wide unsigned value is checked whole, not narrowed first: 0x100000004 is not 4.
  EXPECT_THROW(Orvel::U4(std::uint64_t{0x100000004}), Orvel::RangeException);
}

// bitsOr replaces the run (clearing bits that were set), also across a word
// boundary and for a 32-bit run. A run touching a word past the end changes
// nothing, also when only its second word is missing.
TEST(PerUnitBitmap, BitsOrReplacesSplitsAndStaysInRange) {
  Wem::PerUnitBitmap bitmap;
  EXPECT_EQ(bitmap.bitCount(), 256u);
  bitmap.wordIs(0, 0xffffffff);
  bitmap.bitsOr(4, 0x0, 4);
  EXPECT_EQ(bitmap.word(0), 0xffffff0fu) << "replaced, not ORed";
  bitmap.bitsOr(30, 0b0110, 4);            // bits 30, 31 of word 0 and 0, 1 of word 1
  EXPECT_EQ(bitmap.word(0), 0xbfffff0fu);  // bit 30 takes value bit 0 (0), bit 31 value bit 1 (1)
  EXPECT_EQ(bitmap.word(1), 0x1u);
  bitmap.bitsOr(64, 0xdeadbeef, 32);
  EXPECT_EQ(bitmap.word(2), 0xdeadbeefu);
  bitmap.bitsOr(72, 0xcafef00d, 32);  // a 32-bit run at offset 8 spans words 2 and 3
  EXPECT_EQ(bitmap.word(2), 0xfef00defu);
  EXPECT_EQ(bitmap.word(3), 0x000000cau);

  bitmap.wordIs(7, 0x12345678);
  EXPECT_THROW(bitmap.bitsOr(256, 1, 1), Orvel::VectorOutOfRangeException);
  EXPECT_THROW(bitmap.bitsOr(252, 0xff, 8), Orvel::VectorOutOfRangeException);
  EXPECT_EQ(bitmap.word(7), 0x12345678u);
  EXPECT_EQ(testing_support::errorOf<Orvel::VectorOutOfRangeException>([&] { (void)bitmap.word(8); }),
            "vector index 8 out of range (size 8)");
}

// Reference: bit k of a buffer, one bit at a time.
bool bitAt(const std::uint8_t* buffer, std::size_t k) { return buffer[k / 8] >> (k % 8) & 1; }

// Every offset and width up to 70 bits (more than one step); the bits around
// the run stay as they were.
TEST(CopyBits, MatchesBitByBitCopy) {
  std::mt19937 random(7);
  std::array<std::uint8_t, 12> src{}, dst{}, before{};
  for (std::size_t srcOffset : {0u, 3u, 8u, 13u}) {
    for (std::size_t dstOffset : {0u, 1u, 7u, 9u, 20u}) {
      for (std::size_t bits = 1; bits <= 70 && dstOffset + bits <= 96 && srcOffset + bits <= 96; ++bits) {
        for (auto& b : src) b = static_cast<std::uint8_t>(random());
        for (auto& b : dst) b = static_cast<std::uint8_t>(random());
        before = dst;
        Detail::copyBits(dst.data(), dst.size(), src.data(), src.size(), bits, dstOffset, srcOffset);
        for (std::size_t k = 0; k < 96; ++k) {
          const bool inRun = k >= dstOffset && k < dstOffset + bits;
          const bool expected = inRun ? bitAt(src.data(), srcOffset + (k - dstOffset)) : bitAt(before.data(), k);
          ASSERT_EQ(bitAt(dst.data(), k), expected) << "bit " << k << " bits " << bits << " dst " << dstOffset;
        }
      }
    }
  }
}

// Source bits past its end read as 0; destination bits past its end are
// dropped without touching memory beyond it.
TEST(CopyBits, ClipsAtBufferEnds) {
  std::array<std::uint8_t, 3> dst{0, 0, 0xaa};
  const std::uint8_t src = 0xff;
  Detail::copyBits(dst.data(), 2, &src, 1, 16, 0, 0);
  EXPECT_EQ(dst, (std::array<std::uint8_t, 3>{0xff, 0x00, 0xaa}));
  const std::uint16_t wide = 0xffff;
  dst = {0, 0, 0xaa};
  Detail::copyBits(dst.data(), 2, &wide, 2, 16, 12, 0);
  EXPECT_EQ(dst, (std::array<std::uint8_t, 3>{0x00, 0xf0, 0xaa}));
}

// A four-byte mix is the 32-bit MurmurHash3 of those bytes (published test
// vectors), so other processes can compute the same hash; the byte count,
// the seed and the order are all part of the hash.
TEST(ZevHash, MatchesMurmur3VectorsAndMixesDiffer) {
  EXPECT_EQ(Zev::Hash(0).result(), 0u);
  EXPECT_EQ(Zev::Hash(1).result(), 0x514E28B7u);
  EXPECT_EQ(Zev::hashSingleAttr(0, 0x00000000), 0x2362F9DEu);
  EXPECT_EQ(Zev::hashSingleAttr(0, 0xffffffff), 0x76293B50u);
  EXPECT_EQ(Zev::hashSingleAttr(0, 0x87654321), 0xF55B516Bu);
  EXPECT_EQ(Zev::hashSingleAttr(0x5082EDEE, 0x87654321), 0x2362F9DEu);
  EXPECT_NE(Zev::Hash(0).mix1(5).result(), Zev::Hash(0).mix4(5).result());
  EXPECT_NE(Zev::Hash(1).mix1(5).mix4(7).result(), Zev::Hash(2).mix1(5).mix4(7).result());
  EXPECT_NE(Zev::Hash(1).mix1(5).mix4(7).result(), Zev::Hash(1).mix1(7).mix4(5).result());
}

TEST(CharRange, ParsesAttributesAndReportsErrors) {
  Zev::CharRange range("T(a=0x10,b=7)");
  EXPECT_EQ(Zev::desAttrPre(range, "T", "a"), 16u);
  EXPECT_EQ(Zev::desAttrPost(range, "b"), 7u);
  EXPECT_NO_THROW(Zev::CharRangeCheckAllDataConsumed(range));

  Zev::CharRange bare("42");
  EXPECT_EQ(Zev::deserializeAttr(bare, "T", "value"), 42u);
  Zev::CharRange full("T(value=42)x");
  EXPECT_EQ(Zev::deserializeAttr(full, "T", "value"), 42u);
  EXPECT_EQ(testing_support::errorOf<Zev::ParseException>([&] { Zev::CharRangeCheckAllDataConsumed(full); }),
            "unexpected text \"x\" at offset 11 in \"T(value=42)x\"");
  Zev::CharRange wrong("U(value=1)");
  EXPECT_THROW(Zev::deserializeAttr(wrong, "T", "value"), Zev::ParseException);
  Zev::CharRange huge("T(a=99999999999999999999999");
  EXPECT_THROW(Zev::desAttrPre(huge, "T", "a"), Zev::ParseException);
}

}  // namespace
