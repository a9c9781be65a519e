#include <gtest/gtest.h>

#include <array>

#include "Asic/FieldAccessor.h"

namespace {

// Verifies: a field in pieces reads and writes like the direct bit copy of
// the same bits; a piece that starts past the data reads nothing, one that
// runs past its end reads only the bits inside.
TEST(FieldAccessor, PiecesMatchDirectCopyAndClipReads) {
  std::array<std::uint8_t, 3> data{0x5a, 0xc3, 0x81};
  const Asic::SubField whole[] = {{12, 0, 6}};
  std::uint16_t direct = 0;
  Detail::copyBits(&direct, 2, data.data(), 3, 12, 0, 6);
  EXPECT_EQ(Asic::FieldAccessor(whole).get(data.data(), 3), direct);

  // Two pieces that swap the halves of a byte.
  const Asic::SubField swapped[] = {{4, 0, 4}, {4, 4, 0}};
  EXPECT_EQ(Asic::FieldAccessor(swapped).get(data.data(), 3), 0xa5u);
  Asic::FieldAccessor(swapped).set(data.data(), 3, 0x21);
  EXPECT_EQ(data[0], 0x12);
  EXPECT_EQ(data[1], 0xc3);

  const Asic::SubField outside[] = {{4, 0, 24}};
  EXPECT_EQ(Asic::FieldAccessor(outside).get(data.data(), 3), 0u);
  const Asic::SubField straddling[] = {{8, 0, 20}};  // bits 20..23 inside, 24..27 past the end
  EXPECT_EQ(Asic::FieldAccessor(straddling).get(data.data(), 3), 0x8u);
  Asic::FieldAccessor(straddling).set(data.data(), 3, 0xff);
  EXPECT_EQ(data[2], 0xf1);
}

}  // namespace
