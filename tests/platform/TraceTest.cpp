#include <gtest/gtest.h>

#include <tuple>

#include "Lumlog/Sink.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Zev/TraceHandle.h"

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zev::TraceHandle::disableAll();
    Lumlog::currentSinkIs(&sink_);
  }
  void TearDown() override {
    Lumlog::currentSinkIs(nullptr);
    Zev::TraceHandle::disableAll();
  }
  Lumlog::CaptureSink sink_;
};

int evaluations = 0;
int counted(int v) {
  ++evaluations;
  return v;
}

TEST_F(TraceTest, DisabledLevelEvaluatesNoArgument) {
  Zev::TraceHandle handle("TraceTestHandle");
  Zev::TraceHandle::enable("TraceTestHandle=3");
  evaluations = 0;
  ORVEL_TRACE(handle, 8, "Shadow", "value {}", counted(1));
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(sink_.records().empty());

  ORVEL_TRACE(handle, 3, "Shadow", "value {}", counted(5));
  EXPECT_EQ(evaluations, 1);
  const auto records = sink_.records();
  ASSERT_EQ(records.size(), 1u);
  const Lumlog::Record& r = records[0];
  EXPECT_EQ(std::tie(r.handle, r.level, r.tag, r.message),
            std::make_tuple("TraceTestHandle", std::uint16_t{3}, "Shadow", "value 5"));
}

// Rules add up, and reach handles created after the rule.
TEST_F(TraceTest, RulesMatchHandlesAndLevels) {
  Zev::TraceHandle ippa("IppaCsInlif0ProfileMapHwDirect");
  Zev::TraceHandle other("LpmEntryTypeMapHwDirect");
  Zev::TraceHandle::enable("Ippa*=2,8;Lpm*Direct=0-1");
  EXPECT_EQ(ippa.levelMask(), (1u << 2) | (1u << 8));
  EXPECT_EQ(other.levelMask(), 0b11u);
  Zev::TraceHandle::enable("Ippa*=9");
  EXPECT_TRUE(ippa.enabled(9));
  EXPECT_TRUE(ippa.enabled(2));

  Zev::TraceHandle later("IppaVsiToRoutingProfileMapHwDirect");
  EXPECT_EQ(later.levelMask(), (1u << 2) | (1u << 8) | (1u << 9));
  Zev::TraceHandle::enable("*");
  EXPECT_EQ(other.levelMask(), Zev::TraceHandle::kAllLevels);
  EXPECT_FALSE(other.enabled(10));
}

// A malformed rule is refused whole.
TEST_F(TraceTest, MalformedRulesAreRefused) {
  Zev::TraceHandle handle("Refused");
  for (const char* rules : {"Refused=10", "Refused=a", "Refused=5-3", "=3", "Refused=", "Refused=1;Other=x"}) {
    EXPECT_THROW(Zev::TraceHandle::enable(rules), Orvel::InvalidInitializeException) << rules;
  }
  EXPECT_EQ(handle.levelMask(), 0u);
}

}  // namespace
