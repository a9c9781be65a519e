#include <gtest/gtest.h>

#include <fstream>

#include "NvToggles/Toggles.h"
#include "support/TempBaseDir.h"

namespace {

using TogglesTest = test_shm::TempBaseDir;

// A toggle takes the caller's default when it, its file, or a usable value
// is missing.
TEST_F(TogglesTest, StoredStateOrDefault) {
  NvToggles::toggleDirIs(base_.string());
  const auto write = [&](const char* name, const char* text) { std::ofstream(file(name)) << text; };
  EXPECT_TRUE(getToggleState("V6LinkLocalSrcPuntToCpu", "Vovu.json", true));
  EXPECT_FALSE(getToggleState("V6LinkLocalSrcPuntToCpu", "Vovu.json", false));

  write("Vovu.json", R"({"V6LinkLocalSrcPuntToCpu": false, "Other": true, "Bad": "yes"})");
  EXPECT_FALSE(getToggleState("V6LinkLocalSrcPuntToCpu", "Vovu.json", true));
  EXPECT_TRUE(getToggleState("Other", "Vovu.json", false));
  EXPECT_TRUE(getToggleState("Absent", "Vovu.json", true));
  EXPECT_FALSE(getToggleState("Bad", "Vovu.json", false));
  // The same name in another file is another toggle.
  EXPECT_TRUE(getToggleState("V6LinkLocalSrcPuntToCpu", "Ploom.json", true));

  write("Ploom.json", "not json");
  EXPECT_TRUE(getToggleState("FullCoreDump", "Ploom.json", true));
  write("Ploom.json", "[true]");
  EXPECT_FALSE(getToggleState("FullCoreDump", "Ploom.json", false));
  NvToggles::toggleDirIs("");
}

}  // namespace
