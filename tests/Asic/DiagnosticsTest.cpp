#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "Asic/GracefulAssert.h"
#include "support/ChildProcess.h"

namespace {

using testing_support::kUnset;
using testing_support::runProgram;

// Verifies: only the exact six characters "assert" select strict mode.
TEST(AssertionMode, OnlyExactAssertIsStrict) {
  EXPECT_EQ(Asic::modeFor(nullptr), Asic::Mode::graceful);
  for (const char* value : {"", "Assert", "asserts", "ASSERT", " assert", "assert "}) {
    EXPECT_EQ(Asic::modeFor(value), Asic::Mode::graceful) << '"' << value << '"';
  }
  EXPECT_EQ(Asic::modeFor("assert"), Asic::Mode::strict);
}

// Verifies: the mode comes from GRACEFUL_ASSERT_MODE at load (a fresh process
// each). Strict mode ends the process with the text unless the condition, tried
// again, then holds (why conditions must be free of side effects); graceful
// mode throws to the caller.
TEST(GracefulAssertion, ModeReadAtLoadDecidesTheFailure) {
  for (const std::string& value : {kUnset, std::string("Assert"), std::string("assert")}) {
    SCOPED_TRACE("GRACEFUL_ASSERT_MODE=" + value);
    const bool strict = value == "assert";
    const auto check = runProgram(ASIC_PROBE_PATH, {"check"}, {{"GRACEFUL_ASSERT_MODE", value}});
    EXPECT_EQ(std::tuple(check.signal, check.exitCode), strict ? std::tuple(SIGABRT, -1) : std::tuple(0, 0));
    EXPECT_NE(check.output.find(strict ? "AssertionError at " : "caught: AssertionError at "), std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("(entries < 2) - too many entries: 3"), std::string::npos) << check.output;
  }
  EXPECT_EQ(runProgram(ASIC_PROBE_PATH, {"check-twice"}, {{"GRACEFUL_ASSERT_MODE", "assert"}}).output,
            "continued after 2 evaluations\n");
  EXPECT_NE(runProgram(ASIC_PROBE_PATH, {"check-twice"}, {{"GRACEFUL_ASSERT_MODE", kUnset}}).output.find("caught: "),
            std::string::npos);
}

// The descriptors of a ".nevask_logmsg" section image, sorted: each as its
// name, format, explanation and action texts, its severity and its zero word.
// A record holds the four texts' offsets from its start, the severity and the
// zero word, then the texts; zero words pad between records.
std::vector<std::vector<std::string>> logMessages(const std::string& image) {
  std::vector<std::vector<std::string>> result;
  const auto word = [&](std::size_t offset) {
    std::uint32_t w;
    std::memcpy(&w, image.data() + offset, 4);
    return w;
  };
  for (std::size_t at = 0; at + 24 <= image.size();) {
    if (word(at) == 0) {
      at += 4;
      continue;
    }
    const auto text = [&](std::size_t field) { return std::string(image.c_str() + at + word(at + 4 * field)); };
    result.push_back(
        {text(0), text(1), text(2), text(3), std::to_string(word(at + 16)), std::to_string(word(at + 20))});
    at = (at + word(at + 12) + result.back()[3].size() + 1 + 3) / 4 * 4;
  }
  std::sort(result.begin(), result.end());
  return result;
}

// Verifies: the plug-in's ".nevask_logmsg" section holds exactly the three
// descriptors, once each although every table unit declares them.
TEST(LogMessages, SectionHoldsTheThreeDescriptors) {
  const std::string image = ::testing::TempDir() + "nevask_logmsg.bin";
  auto objcopy = runProgram("/usr/bin/objcopy", {"-O", "binary", "--only-section=.nevask_logmsg", PLUGIN_PATH, image});
  ASSERT_EQ(objcopy.exitCode, 0) << objcopy.output;
  std::ifstream in(image, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(image.c_str());
  EXPECT_EQ(logMessages(bytes),
            (std::vector<std::vector<std::string>>{
                {"HW_ABSTRACTION_ERROR", "Hardware abstraction error: unable to load item: %s",
                 "Hardware abstraction error: unable to load some persistent items. Some agents will be restarted",
                 "\x01", "3", "0"},
                {"HW_ABSTRACTION_EXCEPTION", "%s", "Exception", "\x01", "3", "0"},
                {"HW_ABSTRACTION_RELAUNCH_ERROR", "%s", "Duplicate Writer Detected, ploom path not cleaned up", "\x01",
                 "3", "0"}}));
}

}  // namespace
