// The writer's behaviour at the edges: file formats, growth steps, table-full,
// chains and buckets, the value-write protocol, two-step writes, compaction;
// and the writer against a model: long random sequences of every
// modification, across the grow and shrink thresholds of buckets and slots,
// checked against std::map after every batch (validation, contents,
// split-order iteration, mark bits).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <random>

#include "NvToggles/Toggles.h"
#include "PloomTestSupport.h"
#include "support/Knobs.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

class PloomWriterTest : public test_shm::TempBaseDir {};

// Verifies: a new collection has the minimum slot count (64 slots of 32
// bytes fit in one page after the 640-byte header), all on the free list in
// ascending order, nothing occupied, and one bucket holding "nothing"; the
// slot file doubles up to the capacity and then grows by 10 % in single
// precision: 64 -> 100 -> 110 -> 121.
TEST_F(PloomWriterTest, NewFileLayoutAndGrowthSteps) {
  WriterHandle<Value> w("/t/grow", descriptor(100));
  EXPECT_EQ(w->members(), 0u);
  std::vector<std::uint32_t> ascending(64);
  std::iota(ascending.begin(), ascending.end(), 0);
  EXPECT_EQ(freeList(*w.writer), ascending);
  EXPECT_EQ(w->buckets(), 1u);
  EXPECT_EQ(SlotLink::read(Access::map(*w).bucketWriter().entry(0)).link, SlotLink::kNothing);
  EXPECT_TRUE(iterate(*w.writer).empty()) << "an empty collection iterates nothing, without error";
  std::vector<std::uint32_t> sizes{w->capacity()};
  for (std::uint32_t i = 0; i < 115; ++i) {
    w->write(val(i), true);
    if (w->capacity() != sizes.back()) sizes.push_back(w->capacity());
  }
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{64, 100, 110, 121}));
}

// Verifies: a fixed-size table refuses the entry past its size with the
// table-full message, and leaves the collection usable and valid; removing an
// absent key returns false and writes nothing.
TEST_F(PloomWriterTest, FixedSizeTableFullAndRemoveMissing) {
  WriterHandle<Value> w("/t/fixed", descriptor(8, true), 8);
  EXPECT_EQ(w->capacity(), 8u);
  EXPECT_EQ(errorOf<Ploom::TableFullException>([&] { w->write(val(99), true); }),
            "Ploom table full (occupancy:8 tableSize:8) /t/fixed");
  EXPECT_NO_THROW(w->write(val(3, 7), true)) << "the critical section was left closed";
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
  int stores = 0;
  StoreHook hook([&] { ++stores; });
  Value out;
  EXPECT_FALSE(w->remove(Key{99}, out));
  EXPECT_EQ(stores, 0);
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
  EXPECT_PRED_FORMAT2(testing::IsSubstring, " SUPER SHRINK!\n", traced(w.dh, 1u << 5, shrink));
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

// The `version`-th value written for `key`.
test_values::Value valueFor(const test_values::Key& key, std::uint32_t version) {
  return ploom_test::valueFor(key.id, version);
}
test_values::GroupValue valueFor(const test_values::GroupKey& key, std::uint32_t version) {
  return test_values::GroupValue{key, version ^ key.id};
}

template <class V>
class PloomModel : public test_shm::TempBaseDir {};

using ValueTypes = ::testing::Types<test_values::Value, test_values::GroupValue>;
TYPED_TEST_SUITE(PloomModel, ValueTypes);

// Verifies: after every batch of random operations the collection validates,
// holds exactly the model's entries with their values, iterates them in split
// order (reversed hash, then key), and keeps the mark bits the model set.
TYPED_TEST(PloomModel, RandomOperationsMatchStdMap) {
  using V = TypeParam;
  using K = typename V::EntryKey;
  using Mark = Ploom::MarkAndSweepOperation;
  WriterHandle<V> w("/model/random", descriptor(64));
  std::mt19937 random(20261205);
  std::map<K, V> model;
  std::map<K, bool> marks;  // keys whose mark the test set or cleared
  std::uint32_t version = 0;
  std::uint32_t largestCapacity = 0, largestBuckets = 0, smallestDrainedCapacity = ~0u;

  const std::uint64_t rounds = testing_support::scaled(6);
  for (std::uint64_t round = 0; round < rounds; ++round) {
    // Alternate between filling (past 2048 slots and buckets) and draining to empty.
    const bool filling = round % 2 == 0;
    // Enough operations to reach the equilibrium from the other phase's size.
    const int batches = filling ? 24 : 48;
    for (int batch = 0; batch < batches; ++batch) {
      for (int op = 0; op < 250; ++op) {
        const K key{static_cast<std::uint32_t>(random() % 3000)};
        const int dice = static_cast<int>(random() % 100);
        // Equilibrium sizes: about 2300 entries while filling, about 70 while draining.
        const int insertShare = filling ? 70 : 2;
        if (dice < insertShare) {
          const V value = valueFor(key, ++version);
          if (dice % 7 == 0 && model.count(key)) {
            w->write(value, false);  // not overwriting leaves the stored value as it was
            continue;
          }
          if (dice % 5 == 0) {
            w->directWrite(value);
            w->directCommit();
          } else {
            w->write(value, true);
          }
          if (!model.count(key)) marks.erase(key);
          model[key] = value;
        } else if (dice < 90) {
          V out;
          const bool removed = w->remove(key, out);
          ASSERT_EQ(removed, model.count(key) == 1);
          if (removed) {
            ASSERT_TRUE(out == model[key]);
            model.erase(key);
            marks.erase(key);
          }
        } else {
          const bool set = dice % 2 == 0;
          const bool present = w->markAndSweepFlag(key, set ? Mark::set : Mark::clear);
          ASSERT_EQ(present, model.count(key) == 1);
          if (present) marks[key] = set;
        }
      }
      ASSERT_TRUE(w->validate()) << w->lastValidationError();
      ASSERT_EQ(w->members(), model.size());
      std::vector<K> keys;
      for (const auto& [k, v] : model) keys.push_back(k);
      std::vector<V> expected;
      for (const K& k : splitOrder(keys, w->seed())) expected.push_back(model[k]);
      ASSERT_TRUE(iterate(*w.writer) == expected) << "not the model's entries in split order";
      for (const auto& [k, marked] : marks) ASSERT_EQ(w->markAndSweepFlag(k, Mark::read), marked);
    }
    if (filling) {
      largestCapacity = std::max(largestCapacity, w->capacity());
      largestBuckets = std::max(largestBuckets, w->buckets());
    } else {
      smallestDrainedCapacity = std::min(smallestDrainedCapacity, w->capacity());
    }
  }
  // The run crossed the thresholds it is meant to cross.
  EXPECT_GT(largestCapacity, 2048u) << "slots grew past the nominal capacity (10 % steps)";
  EXPECT_GE(largestBuckets, 2048u);
  EXPECT_LE(smallestDrainedCapacity, 256u) << "draining compacted the slot file";
}

}  // namespace
