// A private base directory for shared-memory files, one per test, removed
// afterwards. Lives on /dev/shm when it is there, like the real files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "Mem/OrlRootPath.h"

namespace test_shm {

class TempBaseDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::path parent = "/dev/shm";
    if (::access(parent.c_str(), W_OK) != 0) parent = std::filesystem::temp_directory_path();
    std::string name = (parent / "vovu-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    base_ = name;
    Mem::baseDirIs(base_.string());
  }
  void TearDown() override {
    Mem::baseDirIs("");
    std::filesystem::remove_all(base_);
  }
  std::string file(const std::string& name) const { return (base_ / name).string(); }

  std::filesystem::path base_;
};

}  // namespace test_shm
