// Another process reads a shadow's collection while the table's process changes it, and finds the defaults whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "LpmEntryTypeMapHwDirect.h"
#include "Ploom/PloomReader.h"
#include "ShadowTestSupport.h"

namespace {

using Lpm = bcm88490_a0::LpmEntryTypeMapHwDirect;
using VovuAsicUtils::HwShadowKey;

constexpr const char* kPath = "ShadowTbl/bcm88490_a0/bcm88490_a0/LpmEntryTypeMapHwDirect/0-0/entryColl";

// Entries the writer never touches, with their default entry types.
constexpr std::pair<std::uint32_t, std::uint8_t> kStable[] = {{44, 46}, {45, 45}, {46, 44},
                                                              {47, 43}, {300, 2}, {1000, 0}};

// The reader: every stable entry found with its default value, in both arrays, at every look-up; a full iteration
// sees at least the entries the writer never deletes. Returns what went wrong, or an empty string.
std::string readWhileWritten(int readyFd) {
  char ready;
  if (::read(readyFd, &ready, 1) != 1) return "writer never got ready";
  Orvel::Platform::DebugHandler dh("cross-process-reader");
  Ploom::PloomReader<Lpm::Entry> reader(dh, kPath, kPath);
  if (!reader.initialize(kPath)) return "cannot attach";
  for (int round = 0; round < 3000; ++round) {
    for (std::uint8_t array = 0; array < 2; ++array) {
      for (const auto& [index, type] : kStable) {
        bool found = false;
        alignas(Lpm::Entry) unsigned char buffer[sizeof(Lpm::Entry)];
        const Lpm::Entry* e = reader.lookup(Lpm::EntryKey(array, index), found, buffer);
        const std::string where = "entry (" + std::to_string(array) + ", " + std::to_string(index) + ")";
        if (!found) return where + " missing";
        if (e->lpmEntryType().value() != type || e->ecc().value() != 0) return where + " torn";
      }
    }
    if (round % 50 == 0) {
      std::size_t seen = 0;
      Lpm::Entry value;
      Ploom::IterHint hint{};
      for (bool more = reader.first(value, hint); more; more = reader.next(value.entryKey(), value, hint)) ++seen;
      if (seen < 2048 - 51) return "iteration saw only " + std::to_string(seen);
    }
  }
  return "";
}

class CrossProcessShadowTest : public test_shadows::ShadowTest {};

// Verifies: a forked reader reads the LPM map's defaults whole while the writer changes other entries.
TEST_F(CrossProcessShadowTest, ReaderSeesTheDefaultsWhileTheWriterChanges) {
  int ready[2];
  int result[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string failure = readWhileWritten(ready[0]);
    (void)!::write(result[1], failure.data(), failure.size());
    std::_Exit(failure.empty() ? 0 : 1);
  }
  ::close(result[1]);

  auto table = make<Lpm>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);  // at kPath, where the reader attaches
  ASSERT_EQ(::write(ready[1], "x", 1), 1);

  int status = 0;
  for (std::uint32_t round = 0; ::waitpid(child, &status, WNOHANG) == 0; ++round) {
    for (std::uint32_t index = 500; index < 550; ++index) {
      Lpm::Entry e{Lpm::EntryKey(0, index)};
      e.lpmEntryTypeIs(round % 64);
      e.eccIs(round % 32);
      table->setEntry(key, e);
    }
    for (std::uint32_t index = 900; index < 951; ++index) {
      if (round % 2 == 0) table->deleteEntry(key, Lpm::EntryKey(1, index));
      if (round % 2 == 1) table->setEntry(key, Lpm::Entry{Lpm::EntryKey(1, index)});
    }
  }
  char text[256] = {};
  (void)!::read(result[0], text, sizeof text - 1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
}

}  // namespace
