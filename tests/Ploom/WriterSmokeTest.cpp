#include <gtest/gtest.h>

#include "Mem/OrlRootPath.h"
#include "Ploom/PloomWriter.h"
#include "TestValues.h"
#include "support/TempBaseDir.h"

namespace {

class PloomWriterSmoke : public test_shm::TempBaseDir {};

TEST_F(PloomWriterSmoke, WriteLookupRemove) {
  Orvel::Platform::DebugHandler dh("smoke");
  Ploom::MapDescriptor d;
  d.capacity = 512;
  Ploom::PloomWriter<test_values::Value> writer(dh, "/smoke/one", d, "smoke");
  writer.initialize("smoke");
  for (std::uint32_t i = 0; i < 300; ++i) writer.write(test_values::Value{{i}, {i * 2, i * 3}}, true);
  EXPECT_EQ(writer.members(), 300u);
  bool found = false;
  const auto* v = writer.lookup(test_values::Key{77}, found, nullptr);
  ASSERT_TRUE(found);
  EXPECT_EQ(v->payload[1], 231u);
  EXPECT_TRUE(writer.validate());
  test_values::Value out;
  for (std::uint32_t i = 0; i < 290; ++i) ASSERT_TRUE(writer.remove(test_values::Key{i}, out));
  EXPECT_EQ(writer.members(), 10u);
  EXPECT_TRUE(writer.validate()) << writer.lastValidationError();
}

}  // namespace
