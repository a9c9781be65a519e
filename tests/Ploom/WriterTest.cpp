// The writer's behaviour at the edges: file formats, growth steps, table-full,
// chains and buckets, the value-write protocol, two-step writes, compaction.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "NvToggles/Toggles.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

class PloomWriterTest : public test_shm::TempBaseDir {};

// Verifies: a new collection has the minimum slot count (64 slots of 32
// bytes fit in one page after the 640-byte header), all on the free list in
// ascending order, nothing occupied, and one bucket holding "nothing".
TEST_F(PloomWriterTest, NewFileLayout) {
  WriterHandle<Value> w("/t/new", descriptor(512));
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_EQ(w->members(), 0u);
  std::vector<std::uint32_t> ascending(64);
  std::iota(ascending.begin(), ascending.end(), 0);
  EXPECT_EQ(freeList(*w.writer), ascending);
  EXPECT_EQ(w->buckets(), 1u);
  EXPECT_EQ(SlotLink::read(Access::map(*w).bucketWriter().entry(0)).link, SlotLink::kNothing);
  EXPECT_TRUE(iterate(*w.writer).empty()) << "an empty collection iterates nothing, without error";
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: the slot file doubles up to the capacity and then grows by 10 %
// in single precision: 64 -> 100 -> 110 -> 121.
TEST_F(PloomWriterTest, GrowthStepsPastCapacity) {
  WriterHandle<Value> w("/t/grow", descriptor(100));
  std::vector<std::uint32_t> sizes{w->capacity()};
  for (std::uint32_t i = 0; i < 115; ++i) {
    w->write(val(i), true);
    if (w->capacity() != sizes.back()) sizes.push_back(w->capacity());
  }
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{64, 100, 110, 121}));
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: a fixed-size table refuses the entry past its size with the
// table-full message, and leaves the collection usable and valid.
TEST_F(PloomWriterTest, FixedSizeTableFull) {
  WriterHandle<Value> w("/t/fixed", descriptor(8, true), 8);
  EXPECT_EQ(w->capacity(), 8u);
  EXPECT_THROW(w->write(val(99), true), Ploom::TableFullException);
  EXPECT_EQ(errorOf([&] { w->write(val(99), true); }), "Ploom table full (occupancy:8 tableSize:8) /t/fixed");
  EXPECT_NO_THROW(w->write(val(3, 7), true)) << "the critical section was left closed";
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: a chain that loops back on itself is reported as corruption
// after more hops than there are slots, instead of hanging.
TEST_F(PloomWriterTest, ChainCycleIsCorruption) {
  WriterHandle<Value> w("/t/cycle", descriptor(64));
  w->write(val(5), true);
  const std::uint32_t s = slotOf(*w.writer, Key{5});
  linkIs(*w, s, SlotLink{linkOf(*w, s).version, s});  // points at itself
  // A missing key that sorts after the slot walks on around the loop.
  const std::uint32_t slotR = Ploom::reverseBits(test_values::keyHash(Key{5}, w->seed()));
  std::uint32_t probe = 6;
  while (Ploom::reverseBits(test_values::keyHash(Key{probe}, w->seed())) <= slotR) ++probe;
  EXPECT_THROW(find(*w, Key{probe}), Orvel::CorruptionDetectedException);
  EXPECT_FALSE(w->validate());
}

// Verifies: removing an absent key returns false and writes nothing.
TEST_F(PloomWriterTest, RemoveMissingChangesNothing) {
  WriterHandle<Value> w("/t/missing", descriptor(64), 2);
  int stores = 0;
  StoreHook hook([&] { ++stores; });
  Value out;
  EXPECT_FALSE(w->remove(Key{2}, out));
  EXPECT_EQ(stores, 0);
}

// Verifies: compaction below the threshold it was asked for reports
// " SUPER SHRINK!" and keeps every entry.
TEST_F(PloomWriterTest, SuperShrink) {
  WriterHandle<Value> w("/t/super", descriptor(64), 300);
  Value out;
  for (std::uint32_t i = 0; i < 297; ++i) {
    if (i != 150) w->remove(Key{i}, out);
  }
  auto shrink = [&] {
    Access::slots(*w).enterCriticalSection("test");
    w->doMaybeShrinkSlots(1024);
    Access::slots(*w).leaveCriticalSection();
  };
  EXPECT_TRUE(mentions(traced(w.dh, 1u << 5, shrink), " SUPER SHRINK!"));
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_EQ(iterate(*w.writer).size(), 4u);
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// The VmFlags line of this process's mapping of `path`.
std::string vmFlagsOf(const std::string& path) {
  std::ifstream smaps("/proc/self/smaps");
  bool inMapping = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.find(path) != std::string::npos && line.find('-') < line.find(' ')) inMapping = true;
    if (inMapping && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

// Verifies: with the "FullCoreDump" toggle off the collection's mappings are
// left out of core dumps; by default they are included.
TEST_F(PloomWriterTest, CoreDumpToggle) {
  const std::string toggles = file("toggles");
  std::filesystem::create_directories(toggles);
  NvToggles::toggleDirIs(toggles);
  for (const bool dumped : {true, false}) {
    if (!dumped) std::ofstream(toggles + "/Ploom.json") << R"({"FullCoreDump": false})";
    WriterHandle<Value> w(dumped ? "/t/dump-on" : "/t/dump-off", descriptor(64));
    for (const char* name : {"/slots", "/buckets"}) {
      const std::string flags = vmFlagsOf(w->rootPath() + name);
      ASSERT_FALSE(flags.empty()) << name;
      EXPECT_EQ(flags.find(" dd") == std::string::npos, dumped) << name << ": " << flags;
    }
  }
  NvToggles::toggleDirIs("");
}

// Verifies: long passes run the critical-priority tasks when the collection
// asks for it, and never otherwise.
TEST_F(PloomWriterTest, LongPassesYieldWhenAsked) {
  for (bool check : {false, true}) {
    WriterHandle<Value> w(check ? "/t/yield" : "/t/noyield", {.capacity = 64, .criticalTaskCheck = check}, 100);
    int runs = 0;
    const auto id = Orvel::schedulerRootOrvel()->criticalPriorityTaskIs([&] { ++runs; });
    // Grow until one pass outlasts the 10 ms deadline (at the latest with a million buckets).
    while (runs == 0 && w->buckets() < (1u << 21)) Access::map(*w).growBuckets();
    Orvel::schedulerRootOrvel()->criticalPriorityTaskDel(id);
    EXPECT_EQ(runs > 0, check);
  }
}

using PloomWriterDeathTest = PloomWriterTest;

// Verifies: writes must pair directWrite with directCommit; a
// critical-priority task that writes the collection during a long pass is
// caught as reentrancy.
TEST_F(PloomWriterDeathTest, Misuse) {
  WriterHandle<Value> w("/t/misuse", {.capacity = 64, .criticalTaskCheck = true}, 200);
  EXPECT_DEATH(w->directCommit(), "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
  w->directWrite(val(1000));
  EXPECT_DEATH(w->write(val(1001), true), "unbalanced directSlot:[0-9]+ containing value:.* when writing value:");
  w->directCommit();
  EXPECT_TRUE(find(*w, Key{1000}));

  const auto id = Orvel::schedulerRootOrvel()->criticalPriorityTaskIs([&] { w->write(val(9999), true); });
  EXPECT_DEATH(
      {
        // Inside a modification, grow until one pass outlasts the 10 ms
        // yield deadline (at the latest with a million buckets).
        Access::slots(*w).enterCriticalSection("test");
        while (w->buckets() < (1u << 21)) Access::map(*w).growBuckets();
      },
      "Ploom reentrancy detected");
  Orvel::schedulerRootOrvel()->criticalPriorityTaskDel(id);
}

}  // namespace
