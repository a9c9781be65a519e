#include <gtest/gtest.h>

#include <vector>

#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/Exception.h"
#include "VovuAsicUtils/SupportedFapRevList.h"

namespace {

using Hardware::ChipType;
using Hardware::Vovu::FapRevision;
using VovuAsicUtils::SupportedFapRevList;

// Revisions order by (major, minor), so a chip type's revisions sort
// together. The revision text drops the five-character prefix of both names;
// minor 0 contributes nothing; a chip type without a name is numbered.
TEST(FapRevision, OrderChipTypeAndText) {
  const FapRevision j3ai = FapRevision::of(ChipType::j3ai, 3);
  const FapRevision a0 = FapRevision::of(ChipType::bcm88490_a0, 0);
  const FapRevision a1 = FapRevision::of(ChipType::bcm88490_a0, 1);
  const FapRevision stepped = FapRevision::of(ChipType::bcm88490_a0, 0, 1);
  EXPECT_LT(j3ai, a0);
  EXPECT_LT(a0, a1);
  EXPECT_LT(a1, stepped);
  EXPECT_EQ(j3ai.chipType(), ChipType::j3ai);
  EXPECT_EQ(a1.chipType(), ChipType::bcm88490_a0);
  EXPECT_EQ(stepped.chipType(), ChipType::bcm88490_a0);

  EXPECT_EQ(Hardware::Vovu::stringValueOfMajor(a0.major()), "FRMJ_bcm88490_a0");
  EXPECT_EQ(Hardware::Vovu::stringValueOfMinor(0), "FRMN_");
  EXPECT_EQ(a0.revString(), "bcm88490_a0");
  EXPECT_EQ(fmt::format("{}", a1), "bcm88490_a0r1");
  EXPECT_EQ(FapRevision::of(static_cast<ChipType>(99), 2).revString(), "chip99r2");
}

TEST(SupportedFapRevList, ParsesRevisionText) {
  auto list = SupportedFapRevList::parse("25.1,12.0,25.0");
  EXPECT_EQ(list, (std::set<FapRevision>{FapRevision::of(ChipType::j3ai, 0), FapRevision::of(ChipType::bcm88490_a0, 0),
                                         FapRevision::of(ChipType::bcm88490_a0, 1)}));
  for (const char* bad : {"25", "25.", ".1", "25.1,", "x.1", "25.1.2", "-1.0"}) {
    EXPECT_THROW(SupportedFapRevList::parse(bad), Orvel::InvalidInitializeException) << bad;
  }
}

// A revision added ahead of the walk is visited, one removed ahead is not,
// and removing the current one does not lose the place.
TEST(SupportedFapRevList, WalkToleratesChangingList) {
  const auto saved = SupportedFapRevList::fapRevisionList();
  SupportedFapRevList::fapRevisionListIs({FapRevision::of(ChipType::bcm88490_a0, 0), FapRevision::of(ChipType::j3ai, 0),
                                          FapRevision::of(ChipType::bcm88490_a0, 2),
                                          FapRevision::of(ChipType::bcm88490_a0, 4)});
  std::vector<std::uint32_t> minors;
  SupportedFapRevList::forEachRevisionOf(ChipType::bcm88490_a0, [&](const FapRevision& r) {
    minors.push_back(r.minor());
    if (r.minor() == 0) {
      SupportedFapRevList::fapRevisionDel(r);  // the current one
      SupportedFapRevList::fapRevisionIs(FapRevision::of(ChipType::bcm88490_a0, 1));
      SupportedFapRevList::fapRevisionDel(FapRevision::of(ChipType::bcm88490_a0, 4));
    }
  });
  EXPECT_EQ(minors, (std::vector<std::uint32_t>{0, 1, 2}));
  SupportedFapRevList::fapRevisionListIs(saved);
}

}  // namespace
