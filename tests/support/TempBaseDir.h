// A private base directory for shared-memory files, one per test, removed
// afterwards. Lives on /dev/shm when it is there, like the real files.
//
// A death test in the "threadsafe" style runs the test again in a fresh
// process that sets the fixture up and then dies, so its TearDown never runs.
// That process makes its directory inside the directory of the test that
// started it (named in kOuterBaseDirVariable), which removes both.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Mem/OrlRootPath.h"

namespace test_shm {

inline constexpr const char* kOuterBaseDirVariable = "VOVU_TEST_OUTER_BASE_DIR";

class TempBaseDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::path parent = "/dev/shm";
    if (::access(parent.c_str(), W_OK) != 0) parent = std::filesystem::temp_directory_path();
    const char* outer = ::getenv(kOuterBaseDirVariable);
    const bool deathTestChild = !GTEST_FLAG_GET(internal_run_death_test).empty();
    if (deathTestChild && outer != nullptr) parent = outer;
    std::string name = (parent / "vovu-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    base_ = name;
    Mem::baseDirIs(base_.string());
    if (!deathTestChild) ::setenv(kOuterBaseDirVariable, name.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv(kOuterBaseDirVariable);
    Mem::baseDirIs("");
    std::filesystem::remove_all(base_);
  }
  std::string file(const std::string& name) const { return (base_ / name).string(); }

  std::filesystem::path base_;
};

}  // namespace test_shm
