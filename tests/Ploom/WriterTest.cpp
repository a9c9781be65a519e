// The writer's behaviour at the edges: file formats, growth steps, table-full,
// chains and buckets, the value-write protocol, two-step writes, compaction.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "Lumlog/Sink.h"
#include "NvToggles/Toggles.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using test_values::GroupKey;
using test_values::GroupValue;
using Ploom::SlotLink;

class PloomWriterTest : public test_shm::TempBaseDir {};

Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

// Verifies: a new collection has the minimum slot count (64 slots of 32
// bytes fit in one page after the 640-byte header), all on the free list in
// ascending order, nothing occupied, and one bucket holding "nothing".
TEST_F(PloomWriterTest, NewFileLayout) {
  WriterHandle<Value> w("/t/new", descriptor(512));
  EXPECT_EQ(Ploom::SlotLayout<Value>::kHeaderSize, 640u);
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_EQ(w->members(), 0u);
  std::vector<std::uint32_t> ascending(64);
  std::iota(ascending.begin(), ascending.end(), 0);
  EXPECT_EQ(freeList(*w.writer), ascending);
  EXPECT_EQ(w->buckets(), 1u);
  EXPECT_EQ(bucketEntry(*w.writer, 0).link, SlotLink::kNothing);
  Value out;
  Ploom::IterHint hint;
  EXPECT_FALSE(w->first(out, hint)) << "an empty collection iterates nothing, without error";
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

// Verifies: 2048 entries into a collection of capacity 512 (the LPM map's
// defaults) grow the slots 64 -> ... -> 512 -> 564 -> ... -> 2158 and the
// buckets to 2048, and every entry stays reachable.
TEST_F(PloomWriterTest, LpmDefaultsGrowth) {
  WriterHandle<Value> w("/t/lpm", descriptor(512));
  for (std::uint32_t i = 0; i < 2048; ++i) w->write(val(i), true);
  EXPECT_EQ(w->capacity(), 2158u);
  EXPECT_EQ(w->buckets(), 2048u);
  EXPECT_EQ(iterate(*w.writer).size(), 2048u);
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: a fixed-size table refuses the entry past its size with the
// table-full message, and leaves the collection usable and valid.
TEST_F(PloomWriterTest, FixedSizeTableFull) {
  WriterHandle<Value> w("/t/fixed", descriptor(8, true));
  EXPECT_EQ(w->capacity(), 8u);
  for (std::uint32_t i = 0; i < 8; ++i) w->write(val(i), true);
  try {
    w->write(val(99), true);
    FAIL() << "the ninth entry was accepted";
  } catch (const Ploom::TableFullException& e) {
    EXPECT_STREQ(e.what(), "Ploom table full (occupancy:8 tableSize:8) /t/fixed");
  }
  EXPECT_NO_THROW(w->write(val(3, 7), true)) << "the critical section was left closed";
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: purging the free list above 8 on a 16-slot file whose free slots
// are 3, 9 and 12 leaves only 3 (3 walked + 13 occupied = 16).
TEST_F(PloomWriterTest, PurgeFreeSlots) {
  WriterHandle<Value> w("/t/purge", descriptor(16, true));
  std::map<std::uint32_t, std::uint32_t> keyOfSlot;
  for (std::uint32_t i = 0; i < 16; ++i) {
    w->write(val(i), true);
    keyOfSlot[slotOf(*w.writer, Key{i})] = i;
  }
  Value out;
  for (std::uint32_t slot : {3u, 9u, 12u}) ASSERT_TRUE(w->remove(Key{keyOfSlot[slot]}, out));
  EXPECT_EQ(freeList(*w.writer), (std::vector<std::uint32_t>{12, 9, 3}));
  Ploom::Testing::Access::slots(*w).purgeFreeSlots(8);
  EXPECT_EQ(freeList(*w.writer), (std::vector<std::uint32_t>{3}));
}

// Verifies: growing from one bucket to two splits the chain at the first odd
// hash: bucket 0 ends with marker 1, bucket 1 with "no bucket".
TEST_F(PloomWriterTest, OneBucketSplitsIntoTwo) {
  WriterHandle<Value> w("/t/split", descriptor(64));
  w->write(val(1), true);
  EXPECT_EQ(w->buckets(), 1u);
  w->write(val(2), true);
  ASSERT_EQ(w->buckets(), 2u);
  auto endOf = [&](std::uint32_t b) {
    SlotLink link = bucketEntry(*w.writer, b);
    while (!link.endOfChain()) link = SlotLink::read(Ploom::Testing::Access::slots(*w)[link.index()]);
    return link.link;
  };
  EXPECT_EQ(endOf(0), SlotLink::kEndOfChain | 1);
  EXPECT_EQ(endOf(1), SlotLink::kNothing);
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
}

// Verifies: keys with equal hashes stay in key order and are all found.
TEST_F(PloomWriterTest, EqualReversedHashesInKeyOrder) {
  WriterHandle<GroupValue> w("/t/groups", descriptor(64));
  for (std::uint32_t id : {6u, 1u, 4u, 3u, 0u, 7u, 2u, 5u}) w->write(GroupValue{GroupKey{id}, id}, true);
  const auto seen = iterate(*w.writer);
  ASSERT_EQ(seen.size(), 8u);
  for (std::size_t i = 0; i + 1 < seen.size(); ++i) {
    if (seen[i].key.id / 4 == seen[i + 1].key.id / 4) {
      EXPECT_LT(seen[i].key.id, seen[i + 1].key.id);
    }
  }
  for (std::uint32_t id = 0; id < 8; ++id) {
    bool found = false;
    w->lookup(GroupKey{id}, found, nullptr);
    EXPECT_TRUE(found) << id;
  }
}

// Verifies: a chain that loops back on itself is reported as corruption
// after more hops than there are slots, instead of hanging.
TEST_F(PloomWriterTest, ChainCycleIsCorruption) {
  WriterHandle<Value> w("/t/cycle", descriptor(64));
  w->write(val(5), true);
  const std::uint32_t s = slotOf(*w.writer, Key{5});
  const SlotLink link = SlotLink::read(Ploom::Testing::Access::slots(*w)[s]);
  SlotLink::write(Ploom::Testing::Access::slots(*w)[s], SlotLink{link.version, s});  // points at itself
  // A missing key that sorts after the slot walks on around the loop.
  const std::uint32_t slotR = Ploom::reverseBits(test_values::keyHash(Key{5}, w->seed()));
  std::uint32_t probe = 6;
  while (Ploom::reverseBits(test_values::keyHash(Key{probe}, w->seed())) <= slotR) ++probe;
  bool found = false;
  EXPECT_THROW(w->lookup(Key{probe}, found, nullptr), Orvel::CorruptionDetectedException);
  EXPECT_FALSE(w->validate());
}

// Verifies: a mark survives bucket growth and shrinking, slot growth and
// compaction (which moves its entry), and changes of its neighbours.
TEST_F(PloomWriterTest, MarkSurvivesResizes) {
  WriterHandle<Value> w("/t/mark", descriptor(64));
  w->write(val(1000), true);
  ASSERT_TRUE(w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::set));
  for (std::uint32_t i = 0; i < 600; ++i) w->write(val(i), true);
  EXPECT_TRUE(w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::read));
  Value out;
  for (std::uint32_t i = 0; i < 600; ++i) w->remove(Key{i}, out);
  EXPECT_EQ(w->capacity(), 64u);
  EXPECT_EQ(w->buckets(), 4u) << "one entry keeps four buckets (the shrink threshold is 4 >> 2)";
  EXPECT_TRUE(w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::read));
  EXPECT_TRUE(w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::clear));
  EXPECT_FALSE(w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::read));
  EXPECT_FALSE(w->markAndSweepFlag(Key{1}, Ploom::MarkAndSweepOperation::read)) << "absent key";
}

// Verifies the value-write protocol: while bit 1 of the slot version is set
// the lookaside image holds the previous value and reversed hash; afterwards
// the slot holds the new value, bit 1 clear.
TEST_F(PloomWriterTest, OverwriteUsesLookaside) {
  WriterHandle<Value> w("/t/lookaside", descriptor(64));
  w->write(val(9, 111), true);
  const std::uint32_t s = slotOf(*w.writer, Key{9});
  auto& slots = Ploom::Testing::Access::slots(*w);
  const std::uint32_t rhash = Ploom::Words::load<std::uint32_t>(slots[s] + Ploom::SlotLayout<Value>::kRhashOffset);
  int checks = 0;
  {
    StoreHook hook([&] {
      if (!SlotLink::read(slots[s]).writing()) return;
      Value previous;
      std::memcpy(&previous, slots.lookaside() + 8, sizeof(Value));
      EXPECT_EQ(previous, val(9, 111));
      EXPECT_EQ(Ploom::Words::load<std::uint32_t>(slots.lookaside() + Ploom::SlotLayout<Value>::kRhashOffset), rhash);
      ++checks;
    });
    w->write(val(9, 222), true);
  }
  EXPECT_GT(checks, 0) << "stores happened while the slot was being rewritten";
  EXPECT_FALSE(SlotLink::read(slots[s]).writing());
  bool found = false;
  EXPECT_EQ(w->lookup(Key{9}, found, nullptr)->payload[0], 222u);
  w->write(val(9, 333), false);
  EXPECT_EQ(w->lookup(Key{9}, found, nullptr)->payload[0], 222u) << "no overwrite when not asked";
}

// Verifies: every intermediate state of a bucket grow and shrink lets a
// reader using the published bucket count find every entry (pass 1 leaves
// old chains whole until the doubled count is published; shrinking joins
// chains before the halved count is published).
TEST_F(PloomWriterTest, EveryEntryReachableDuringBucketResizes) {
  WriterHandle<Value> w("/t/resize", descriptor(64));
  std::vector<Key> keys;
  for (std::uint32_t i = 0; i < 64; ++i) {
    w->write(val(i), true);
    keys.push_back(Key{i});
  }
  auto everyKeyReachable = [&] {
    const std::uint8_t* buckets = Ploom::Testing::Access::map(*w).bucketWriter().base();
    const std::uint32_t published = SlotLink::read(buckets + 16).link;
    for (const Key& k : keys) {
      ASSERT_TRUE(rawFind<Value>(buckets, Ploom::Testing::Access::slots(*w).base(), published, k, w->seed())) << k.id;
    }
  };
  int states = 0;
  {
    StoreHook hook([&] {
      everyKeyReachable();
      ++states;
    });
    Ploom::Testing::Access::map(*w).growBuckets();
    Ploom::Testing::Access::map(*w).shrinkBuckets();
    Ploom::Testing::Access::map(*w).shrinkBuckets();
  }
  EXPECT_GT(states, 3 * 64);
  everyKeyReachable();
}

// Verifies: removing an absent key returns false and writes nothing.
TEST_F(PloomWriterTest, RemoveMissingChangesNothing) {
  WriterHandle<Value> w("/t/missing", descriptor(64));
  w->write(val(1), true);
  int stores = 0;
  StoreHook hook([&] { ++stores; });
  Value out;
  EXPECT_FALSE(w->remove(Key{2}, out));
  EXPECT_EQ(stores, 0);
}

// Verifies: compaction below the threshold it was asked for reports
// " SUPER SHRINK!" and keeps every entry.
TEST_F(PloomWriterTest, SuperShrink) {
  WriterHandle<Value> w("/t/super", descriptor(64));
  for (std::uint32_t i = 0; i < 300; ++i) w->write(val(i), true);
  Value out;
  for (std::uint32_t i = 0; i < 297; ++i) {
    if (i != 150) w->remove(Key{i}, out);
  }
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  w.dh.levelMaskIs(1u << 5);
  Ploom::Testing::Access::slots(*w).enterCriticalSection("test");
  w->doMaybeShrinkSlots(1024);
  Ploom::Testing::Access::slots(*w).leaveCriticalSection();
  Lumlog::currentSinkIs(nullptr);
  bool reported = false;
  for (const auto& r : sink.records()) reported |= r.message.find(" SUPER SHRINK!") != std::string::npos;
  EXPECT_TRUE(reported);
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
  {
    WriterHandle<Value> w("/t/dump-on", descriptor(64));
    const std::string flags = vmFlagsOf(w->rootPath() + "/slots");
    ASSERT_FALSE(flags.empty());
    EXPECT_EQ(flags.find(" dd"), std::string::npos) << flags;
  }
  std::ofstream(toggles + "/Ploom.json") << R"({"FullCoreDump": false})";
  {
    WriterHandle<Value> w("/t/dump-off", descriptor(64));
    EXPECT_NE(vmFlagsOf(w->rootPath() + "/slots").find(" dd"), std::string::npos);
    EXPECT_NE(vmFlagsOf(w->rootPath() + "/buckets").find(" dd"), std::string::npos);
  }
  NvToggles::toggleDirIs("");
}

// Verifies: long passes run the critical-priority tasks when the collection
// asks for it, and never otherwise.
TEST_F(PloomWriterTest, LongPassesYieldWhenAsked) {
  for (bool check : {false, true}) {
    Ploom::MapDescriptor d = descriptor(64);
    d.criticalTaskCheck = check;
    WriterHandle<Value> w(check ? "/t/yield" : "/t/noyield", d);
    for (std::uint32_t i = 0; i < 100; ++i) w->write(val(i), true);
    int runs = 0;
    const auto id = Orvel::schedulerRootOrvel()->criticalPriorityTaskIs([&] { ++runs; });
    // Grow until one pass outlasts the 10 ms deadline (at the latest with a million buckets).
    while (runs == 0 && w->buckets() < (1u << 21)) Ploom::Testing::Access::map(*w).growBuckets();
    Orvel::schedulerRootOrvel()->criticalPriorityTaskDel(id);
    EXPECT_EQ(runs > 0, check);
  }
}

using PloomWriterDeathTest = PloomWriterTest;

// Verifies: writes must pair directWrite with directCommit.
TEST_F(PloomWriterDeathTest, UnbalancedDirectWrites) {
  WriterHandle<Value> w("/t/direct", descriptor(64));
  EXPECT_DEATH(w->directCommit(), "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
  w->directWrite(val(4));
  EXPECT_DEATH(w->write(val(5), true), "unbalanced directSlot:[0-9]+ containing value:.* when writing value:");
  w->directCommit();
  bool found = false;
  EXPECT_TRUE(w->lookup(Key{4}, found, nullptr) != nullptr);
}

// Verifies: a critical-priority task that writes the collection during a
// long pass is caught as reentrancy.
TEST_F(PloomWriterDeathTest, CriticalTaskMayNotWrite) {
  Ploom::MapDescriptor d = descriptor(64);
  d.criticalTaskCheck = true;
  WriterHandle<Value> w("/t/reentrant", d);
  for (std::uint32_t i = 0; i < 200; ++i) w->write(val(i), true);
  const auto id = Orvel::schedulerRootOrvel()->criticalPriorityTaskIs([&] { w->write(val(9999), true); });
  EXPECT_DEATH(
      {
        // Inside a modification, grow until one pass outlasts the 10 ms
        // yield deadline (at the latest with a million buckets).
        Ploom::Testing::Access::slots(*w).enterCriticalSection("test");
        while (w->buckets() < (1u << 21)) Ploom::Testing::Access::map(*w).growBuckets();
      },
      "Ploom reentrancy detected");
  Orvel::schedulerRootOrvel()->criticalPriorityTaskDel(id);
}

}  // namespace
