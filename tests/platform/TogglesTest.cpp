#include <gtest/gtest.h>

#include <fstream>

#include "NvToggles/Toggles.h"
#include "support/TempBaseDir.h"

namespace {

class TogglesTest : public test_shm::TempBaseDir {
 protected:
  void SetUp() override {
    TempBaseDir::SetUp();
    NvToggles::toggleDirIs(base_.string());
  }
  void TearDown() override {
    NvToggles::toggleDirIs("");
    TempBaseDir::TearDown();
  }
  void write(const std::string& name, const std::string& text) { std::ofstream(file(name)) << text; }
};

// Verifies: a toggle reads its stored state, and takes the caller's default
// when it, its file, or a usable value is missing.
TEST_F(TogglesTest, StoredStateOrDefault) {
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
}

}  // namespace
