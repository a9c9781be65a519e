#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "NvToggles/Toggles.h"

namespace {

class TogglesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("toggles-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    NvToggles::toggleDirIs(dir_.string());
  }
  void TearDown() override {
    NvToggles::toggleDirIs("");
    std::filesystem::remove_all(dir_);
  }
  void write(const std::string& file, const std::string& text) { std::ofstream(dir_ / file) << text; }
  std::filesystem::path dir_;
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
