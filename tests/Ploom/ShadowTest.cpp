// The local shadow: a local index that follows the writer's changes, and the
// index's own growth and shrinking.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "Lumlog/Sink.h"
#include "Ploom/PloomMap.h"
#include "Ploom/PloomShadow.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;

class PloomShadowTest : public test_shm::TempBaseDir {};

Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

struct ShadowHandle {
  Orvel::Platform::DebugHandler dh{"shadow-test"};
  Ploom::PloomShadow<Value> shadow;
  std::vector<std::uint32_t> changed, removed;
  explicit ShadowHandle(const std::string& path) : shadow(dh, path, path) {
    shadow.keyChangedIs([this](const Key& k) { changed.push_back(k.id); });
    shadow.keyRemovedIs([this](const Key& k) { removed.push_back(k.id); });
  }
};

// Verifies: after a sync the shadow holds exactly the writer's entries, finds
// each through its local index, and iterates them in the writer's order; the
// callbacks heard of every key.
TEST_F(PloomShadowTest, FollowsTheWriter) {
  WriterHandle<Value> w("/s/follow", descriptor(64));
  for (std::uint32_t i = 0; i < 500; ++i) w->write(val(i, i), true);
  ShadowHandle s("/s/follow");
  ASSERT_TRUE(s.shadow.initialize("/s/follow"));
  s.shadow.sync();
  EXPECT_EQ(s.shadow.members(), 500u);
  EXPECT_EQ(s.changed.size(), 500u);
  for (std::uint32_t i = 0; i < 500; ++i) {
    bool found = false;
    const Value* v = s.shadow.lookup(Key{i}, found, nullptr);
    ASSERT_TRUE(found) << i;
    EXPECT_EQ(v->payload[0], i);
  }
  EXPECT_EQ(iterate<Value>(s.shadow), iterate(*w.writer));

  // Removals, rewrites and additions.
  Value out;
  for (std::uint32_t i = 0; i < 100; ++i) w->remove(Key{i}, out);
  for (std::uint32_t i = 100; i < 150; ++i) w->write(val(i, 7), true);
  for (std::uint32_t i = 1000; i < 1100; ++i) w->write(val(i, i), true);
  s.changed.clear();
  s.shadow.sync();
  EXPECT_EQ(std::set<std::uint32_t>(s.removed.begin(), s.removed.end()).size(), 100u);
  EXPECT_EQ(s.shadow.members(), w->members());
  EXPECT_EQ(iterate<Value>(s.shadow), iterate(*w.writer));
  bool found = true;
  s.shadow.lookup(Key{5}, found, nullptr);
  EXPECT_FALSE(found);
  EXPECT_EQ(s.shadow.lookup(Key{120}, found, nullptr)->payload[0], 7u);
}

// Verifies: when compaction moves keys to other slots, the shadow re-links
// their records in place ("value updated"): the occupied count stays, every
// key is still found.
TEST_F(PloomShadowTest, KeysMovedByCompaction) {
  WriterHandle<Value> w("/s/moved", descriptor(64));
  for (std::uint32_t i = 0; i < 400; ++i) w->write(val(i, i), true);
  ShadowHandle s("/s/moved");
  ASSERT_TRUE(s.shadow.initialize("/s/moved"));
  s.shadow.sync();
  Value out;
  for (std::uint32_t i = 0; i < 390; ++i) w->remove(Key{i}, out);  // compacts: the ten left move down
  s.shadow.sync();
  EXPECT_EQ(s.shadow.members(), 10u);
  for (std::uint32_t i = 390; i < 400; ++i) {
    bool found = false;
    EXPECT_EQ(s.shadow.lookup(Key{i}, found, nullptr)->payload[0], i);
    EXPECT_TRUE(found);
  }
  EXPECT_GT(s.shadow.readerCounters()[Ploom::Reader::Counters::relinks], 0u);
  EXPECT_LE(s.shadow.localCapacity(), w->capacity()) << "the local store shrank with the shared one";
}

// Verifies: notifications for slots past both tables are consumed without
// change; the same key in the same slot twice changes the index once.
TEST_F(PloomShadowTest, NotificationEdges) {
  WriterHandle<Value> w("/s/edges", descriptor(64));
  w->write(val(1), true);
  ShadowHandle s("/s/edges");
  ASSERT_TRUE(s.shadow.initialize("/s/edges"));
  s.shadow.sync();
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  s.dh.levelMaskIs((1u << 5) | (1u << 8));
  EXPECT_TRUE(s.shadow.doSlot(100000, Brask::BraskReader::kNoSequence, 0));
  const std::uint32_t slot = slotOf(*w.writer, Key{1});
  s.changed.clear();
  EXPECT_TRUE(s.shadow.doSlot(slot, Brask::BraskReader::kNoSequence, 0));
  Lumlog::currentSinkIs(nullptr);
  bool skipped = false, unchanged = false;
  for (const auto& r : sink.records()) {
    skipped |= r.message ==
               "skip growing of shadow table to accomodate slotIndex:100000 because shared memory has shrunk to 64 "
               "slots";
    unchanged |= r.message == "no index update needed";
  }
  EXPECT_TRUE(skipped);
  EXPECT_TRUE(unchanged);
  EXPECT_TRUE(s.changed.empty());
  EXPECT_EQ(s.shadow.members(), 1u);
}

// Verifies: a value whose record points past the shared slot table is looked
// up by key instead.
TEST_F(PloomShadowTest, ValueByKeyWhenTheSlotIsGone) {
  WriterHandle<Value> w("/s/gone", descriptor(64));
  for (std::uint32_t i = 0; i < 300; ++i) w->write(val(i, i), true);
  ShadowHandle s("/s/gone");
  ASSERT_TRUE(s.shadow.initialize("/s/gone"));
  s.shadow.sync();
  const std::uint32_t high = slotOf(*w.writer, Key{299});
  ASSERT_GE(high, 64u);
  Value out;
  for (std::uint32_t i = 0; i < 298; ++i) w->remove(Key{i}, out);  // compaction: 299 moves below 64
  bool found = false;
  EXPECT_EQ(s.shadow.lookup(Key{299}, found, nullptr)->payload[0], 299u) << "before the shadow synced";
  EXPECT_TRUE(found);
}

// Verifies: a map in shadow mode attaches a local shadow.
TEST_F(PloomShadowTest, ShadowModeOfTheMap) {
  WriterHandle<Value> w("/s/map", descriptor(64));
  w->write(val(3, 33), true);
  Ploom::MapDescriptor d;
  d.mode = Ploom::MapMode::keyShadow;
  Ploom::PloomMap<Value> map("/s/map");
  map.init(d);
  ASSERT_TRUE(map.attach("/s/map"));
  ASSERT_EQ(map.endpoint()->type(), Ploom::EndpointType::shadow);
  auto* shadow = static_cast<Ploom::PloomShadow<Value>*>(map.endpoint());
  shadow->sync();
  bool found = false;
  EXPECT_EQ(map.endpoint()->lookup(Key{3}, found, nullptr)->payload[0], 33u);
  EXPECT_TRUE(found);
}

// The messages traced at `level` while `fn` runs.
template <class F>
std::vector<std::string> tracedAt(Orvel::Platform::DebugHandler& dh, unsigned level, F&& fn) {
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  dh.levelMaskIs(1u << level);
  fn();
  dh.levelMaskIs(0);
  Lumlog::currentSinkIs(nullptr);
  std::vector<std::string> messages;
  for (const auto& r : sink.records()) messages.push_back(r.message);
  return messages;
}

bool contains(const std::vector<std::string>& messages, const std::string& text) {
  return std::find(messages.begin(), messages.end(), text) != messages.end();
}

// Verifies the shadow's lifecycle: synchronised after a sync; a flush applies
// every slot again and completes at once, or (asynchronously) at the next
// sync; a transport disconnect returns it to synchronising, and is traced
// when notification processing is off.
TEST_F(PloomShadowTest, Lifecycle) {
  WriterHandle<Value> w("/s/life", descriptor(64));
  for (std::uint32_t i = 0; i < 20; ++i) w->write(val(i, i), true);
  ShadowHandle s("/s/life");
  ASSERT_TRUE(s.shadow.initialize("/s/life"));
  EXPECT_FALSE(s.shadow.synchronised());
  // Every slot is notified once at the first sync: the next sequence follows them.
  EXPECT_TRUE(contains(tracedAt(s.dh, 5, [&] { s.shadow.sync(); }),
                       "Synchronization complete, seq:" + std::to_string(1 + s.shadow.capacity())));
  EXPECT_TRUE(s.shadow.synchronised());

  const auto updates = s.shadow.readerCounters()[Ploom::Reader::Counters::indexUpdates];
  EXPECT_TRUE(contains(tracedAt(s.dh, 5, [&] { s.shadow.flush(false); }), "Flush complete"));
  EXPECT_EQ(s.shadow.readerCounters()[Ploom::Reader::Counters::indexUpdates], updates + 20) << "every slot again";
  s.shadow.flush(true);
  EXPECT_EQ(s.shadow.syncerMode(), Ploom::PloomShadow<Value>::SyncerMode::flush);
  EXPECT_TRUE(contains(tracedAt(s.dh, 5, [&] { s.shadow.sync(); }), "Flush complete"));
  EXPECT_EQ(s.shadow.syncerMode(), Ploom::PloomShadow<Value>::SyncerMode::sync);

  s.shadow.handleDisconnect();
  EXPECT_FALSE(s.shadow.synchronised());
  s.shadow.detach(false);
  EXPECT_TRUE(contains(tracedAt(s.dh, 1, [&] { s.shadow.handleDisconnect(); }),
                       "disconnected while zuvo processing is disabled, syncer mode:0 done:false"));
}

// Verifies: directLookup reads the shared files past the local index (a key
// written since the last sync is there, not yet in the index); the local
// store refuses a size no notification can need, naming the sizes and the
// memory kind; the local store's and index's counters are in the reader's
// counter block.
TEST_F(PloomShadowTest, DirectLookupResizeAndCounters) {
  WriterHandle<Value> w("/s/direct", descriptor(64));
  for (std::uint32_t i = 0; i < 300; ++i) w->write(val(i, i), true);
  ShadowHandle s("/s/direct");
  ASSERT_TRUE(s.shadow.initialize("/s/direct"));
  s.shadow.sync();
  w->write(val(1000, 7), true);
  bool found = true;
  s.shadow.lookup(Key{1000}, found, nullptr);
  EXPECT_FALSE(found);
  EXPECT_EQ(s.shadow.directLookup(Key{1000}, found, nullptr)->payload[0], 7u);
  EXPECT_TRUE(found);

  try {
    s.shadow.resize(std::uint64_t{1} << 31);
    FAIL() << "a local store of 2^31 records";
  } catch (const Orvel::MemoryResourceException& e) {
    EXPECT_EQ(std::string(e.what()),
              fmt::format("failed to resize /s/direct from {} to 2147483648 slots - HEAP", s.shadow.localCapacity()));
  }

  Value out;
  for (std::uint32_t i = 0; i < 300; ++i) w->remove(Key{i}, out);
  s.shadow.sync();
  const auto& counters = s.shadow.readerCounters();
  using C = Ploom::Reader::Counters;
  for (C::Index i : {C::shadowGrows, C::shadowShrinks, C::indexUpdates, C::indexGrows, C::indexShrinks}) {
    EXPECT_GT(counters[i], 0u) << "counter " << i;
  }
}

using PloomShadowDeathTest = PloomShadowTest;

// Verifies: during an asynchronous flush only a forced detach is allowed.
TEST_F(PloomShadowDeathTest, DetachDuringAsynchronousFlush) {
  WriterHandle<Value> w("/s/flush", descriptor(64));
  ShadowHandle s("/s/flush");
  ASSERT_TRUE(s.shadow.initialize("/s/flush"));
  s.shadow.flush(true);
  EXPECT_DEATH(s.shadow.detach(false), "expected only forced detach during asynchronous flush");
  s.shadow.detach(true);
  EXPECT_EQ(s.shadow.mountStatus(), 0u);
}

// Verifies the local index's own resizes: with 2 buckets and factor 1 the
// fifth record doubles the buckets, chains stay sorted and every key is
// found; removing records halves them again, never below 2.
TEST(ShadowHashMap, GrowsAndShrinks) {
  Orvel::Platform::DebugHandler dh("index");
  std::uint32_t seed = 99;
  using Record = Ploom::ShadowRecord<Key>;
  std::vector<Record> records(64);
  auto hash = [&](const Key& k) { return test_values::keyHash(k, seed); };
  Ploom::Reader::Counters counters;
  Ploom::ShadowHashMap<Key, decltype(hash)> index(dh, "index", hash, records, counters, 1);
  index.reset();
  for (std::uint32_t s = 0; s < 5; ++s) {
    records[s].key = Key{s * 7};
    index.write(s, true);
  }
  EXPECT_EQ(index.numBuckets(), 4u);
  for (std::uint32_t s = 5; s < 40; ++s) {
    records[s].key = Key{s * 7};
    index.write(s, true);
  }
  EXPECT_EQ(index.occupied(), 40u);
  // Iteration visits keys in (reversed hash, key) order and finds each.
  std::vector<std::uint64_t> order;
  for (std::uint32_t at = index.firstFrom(0); at != Record::kNone; at = index.next(at)) {
    order.push_back(std::uint64_t{records[at].rhash} << 32 | records[at].key.id);
  }
  EXPECT_EQ(order.size(), 40u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  for (std::uint32_t s = 0; s < 40; ++s) EXPECT_EQ(index.find(Key{s * 7}), s);
  for (std::uint32_t s = 0; s < 39; ++s) index.remove(s);
  EXPECT_EQ(index.numBuckets(), 2u);
  EXPECT_EQ(index.find(Key{39 * 7}), 39u);
  EXPECT_EQ(index.largestOccupied(), 64u);
}

}  // namespace
