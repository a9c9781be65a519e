// The writer against a model: long random sequences of every modification,
// across the grow and shrink thresholds of buckets and slots, checked against
// std::map after every batch (validation, contents, split-order iteration,
// mark bits).
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "PloomTestSupport.h"
#include "support/Knobs.h"

namespace {

using namespace ploom_test;

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
