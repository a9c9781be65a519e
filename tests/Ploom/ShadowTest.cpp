// The local shadow: a local index that follows the writer's changes, and the
// index's own growth and shrinking.
#include <gtest/gtest.h>

#include <set>

#include "Ploom/PloomShadow.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;

class PloomShadowTest : public test_shm::TempBaseDir {};

// A local shadow of the collection at `path`, initialised, that records the
// keys it reports changed and removed.
struct ShadowHandle {
  Orvel::Platform::DebugHandler dh{"shadow-test"};
  Ploom::PloomShadow<Value> shadow;
  std::vector<std::uint32_t> changed, removed;
  explicit ShadowHandle(const std::string& path) : shadow(dh, path, path) {
    shadow.keyChangedIs([this](const Key& k) { changed.push_back(k.id); });
    shadow.keyRemovedIs([this](const Key& k) { removed.push_back(k.id); });
    EXPECT_TRUE(shadow.initialize(path));
  }
};

// Verifies: after each sync the shadow holds exactly the writer's entries,
// finds each through its local index and iterates them in the writer's
// order; when compaction moves keys to other slots it re-links their records
// in place, and its local store and index grow and shrink with the shared one.
TEST_F(PloomShadowTest, FollowsTheWriter) {
  WriterHandle<Value> w("/s/follow", descriptor(64), 500);
  ShadowHandle s("/s/follow");
  s.shadow.sync();
  EXPECT_EQ(s.shadow.members(), 500u);
  EXPECT_EQ(s.changed.size(), 500u);
  for (std::uint32_t i = 0; i < 500; ++i) ASSERT_EQ(find<Value>(s.shadow, Key{i}), val(i, i)) << i;
  EXPECT_EQ(iterate<Value>(s.shadow), iterate(*w.writer));

  Value out;
  for (std::uint32_t i = 0; i < 100; ++i) w->remove(Key{i}, out);
  for (std::uint32_t i = 100; i < 150; ++i) w->write(val(i, 7), true);
  for (std::uint32_t i = 1000; i < 1100; ++i) w->write(val(i, i), true);
  s.shadow.sync();
  EXPECT_EQ(std::set<std::uint32_t>(s.removed.begin(), s.removed.end()).size(), 100u);
  EXPECT_EQ(s.shadow.members(), w->members());
  EXPECT_EQ(iterate<Value>(s.shadow), iterate(*w.writer));
  EXPECT_FALSE(find<Value>(s.shadow, Key{5}));
  EXPECT_EQ(find<Value>(s.shadow, Key{120}), val(120, 7));

  // Compaction: the ten keys left move down.
  for (std::uint32_t i = 100; i < 490; ++i) w->remove(Key{i}, out);
  for (std::uint32_t i = 1000; i < 1100; ++i) w->remove(Key{i}, out);
  ASSERT_EQ(w->capacity(), 64u);
  // Records that point past the shared slot table are looked up by key.
  for (std::uint32_t i = 490; i < 500; ++i) EXPECT_EQ(find<Value>(s.shadow, Key{i}), val(i, i)) << "before the sync";
  s.shadow.sync();
  EXPECT_EQ(s.shadow.members(), 10u);
  for (std::uint32_t i = 490; i < 500; ++i) EXPECT_EQ(find<Value>(s.shadow, Key{i}), val(i, i)) << i;
  EXPECT_LE(s.shadow.localCapacity(), w->capacity()) << "the local store shrank with the shared one";
  using C = Ploom::Reader::Counters;
  for (C::Index i : {C::relinks, C::shadowGrows, C::shadowShrinks, C::indexUpdates, C::indexGrows, C::indexShrinks}) {
    EXPECT_GT(s.shadow.readerCounters()[i], 0u) << "counter " << i;
  }
}

// Verifies: notifications for slots past both tables, or for the same key in
// the same slot again, change nothing; directLookup reads the shared files
// past the local index (a key written since the last sync); the local store
// refuses a size no notification can need.
TEST_F(PloomShadowTest, NotificationEdgesDirectLookupAndResizeRefusal) {
  WriterHandle<Value> w("/s/edges", descriptor(64), 1);
  ShadowHandle s("/s/edges");
  s.shadow.sync();
  const std::uint32_t slot = slotOf(*w.writer, Key{0});
  s.changed.clear();
  const std::string messages = traced(s.dh, (1u << 5) | (1u << 8), [&] {
    EXPECT_TRUE(s.shadow.doSlot(100000, Brask::BraskReader::kNoSequence, 0));
    EXPECT_TRUE(s.shadow.doSlot(slot, Brask::BraskReader::kNoSequence, 0));
  });
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      "skip growing of shadow table to accomodate slotIndex:100000 because shared memory has shrunk "
                      "to 64 slots\n",
                      messages);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "no index update needed", messages);
  EXPECT_TRUE(s.changed.empty());
  EXPECT_EQ(s.shadow.members(), 1u);

  w->write(val(1000, 7), true);
  EXPECT_FALSE(find<Value>(s.shadow, Key{1000}));
  bool found = false;
  EXPECT_EQ(s.shadow.directLookup(Key{1000}, found, nullptr)->payload[0], 7u);
  EXPECT_TRUE(found);
  EXPECT_EQ(errorOf<Orvel::MemoryResourceException>([&] { s.shadow.resize(std::uint64_t{1} << 31); }),
            fmt::format("failed to resize /s/edges from {} to 2147483648 slots - HEAP", s.shadow.localCapacity()));
}

// Verifies the shadow's lifecycle: synchronised after a sync; a flush applies
// every slot again and completes at once, or (asynchronously) at the next
// sync, and only a forced detach is allowed while it runs; a transport
// disconnect returns it to synchronising, and is traced when notification
// processing is off.
TEST_F(PloomShadowTest, Lifecycle) {
  WriterHandle<Value> w("/s/life", descriptor(64), 20);
  ShadowHandle s("/s/life");
  EXPECT_FALSE(s.shadow.synchronised());
  // Every slot is notified once at the first sync: the next sequence follows them.
  EXPECT_PRED_FORMAT2(testing::IsSubstring, fmt::format("Synchronization complete, seq:{}\n", 1 + s.shadow.capacity()),
                      traced(s.dh, 1u << 5, [&] { s.shadow.sync(); }));
  EXPECT_TRUE(s.shadow.synchronised());

  const auto updates = s.shadow.readerCounters()[Ploom::Reader::Counters::indexUpdates];
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Flush complete", traced(s.dh, 1u << 5, [&] { s.shadow.flush(false); }));
  EXPECT_EQ(s.shadow.readerCounters()[Ploom::Reader::Counters::indexUpdates], updates + 20) << "every slot again";
  s.shadow.flush(true);
  EXPECT_EQ(s.shadow.syncerMode(), Ploom::PloomShadow<Value>::SyncerMode::flush);
  EXPECT_DEATH(s.shadow.detach(false), "expected only forced detach during asynchronous flush");
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "Flush complete", traced(s.dh, 1u << 5, [&] { s.shadow.sync(); }));
  EXPECT_EQ(s.shadow.syncerMode(), Ploom::PloomShadow<Value>::SyncerMode::sync);

  s.shadow.handleDisconnect();
  EXPECT_FALSE(s.shadow.synchronised());
  s.shadow.flush(true);
  s.shadow.detach(true);
  EXPECT_EQ(s.shadow.mountStatus(), 0u);
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "disconnected while zuvo processing is disabled, syncer mode:0 done:false",
                      traced(s.dh, 1u << 1, [&] { s.shadow.handleDisconnect(); }));
}

}  // namespace
