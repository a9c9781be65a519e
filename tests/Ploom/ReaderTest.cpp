// The reader: look-ups and iteration from another mapping of the writer's
// files, across resizes, rewrites and re-formats.
#include <gtest/gtest.h>

#include "Lumlog/Sink.h"
#include "Ploom/PloomMap.h"
#include "Ploom/PloomReader.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

class PloomReaderTest : public test_shm::TempBaseDir {};

Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

struct ReaderHandle {
  Orvel::Platform::DebugHandler dh{"reader-test"};
  Ploom::PloomReader<Value> reader;
  explicit ReaderHandle(const std::string& path) : reader(dh, path, path) {}
};

// Verifies: a reader attached to an empty collection finds nothing without
// error; after the writer grows it, the reader follows and finds every entry
// and iterates them in the writer's order.
TEST_F(PloomReaderTest, FollowsTheWriter) {
  WriterHandle<Value> w("/r/follow", descriptor(64));
  ReaderHandle r("/r/follow");
  ASSERT_TRUE(r.reader.initialize("/r/follow"));
  bool found = true;
  EXPECT_EQ(*r.reader.lookup(Key{1}, found, nullptr), Value{});
  EXPECT_FALSE(found);
  Value out;
  Ploom::IterHint hint;
  EXPECT_FALSE(r.reader.first(out, hint));

  for (std::uint32_t i = 0; i < 3000; ++i) w->write(val(i, i * 3), true);
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const Value* v = r.reader.lookup(Key{i}, found, nullptr);
    ASSERT_TRUE(found) << i;
    EXPECT_EQ(v->payload[0], i * 3);
  }
  EXPECT_EQ(r.reader.capacity(), w->capacity());
  EXPECT_EQ(r.reader.buckets(), w->buckets());
  EXPECT_EQ(r.reader.members(), 3000u);
  const auto fromReader = iterate<Value>(r.reader);
  const auto fromWriter = iterate(*w.writer);
  ASSERT_EQ(fromReader.size(), fromWriter.size());
  for (std::size_t i = 0; i < fromReader.size(); ++i) ASSERT_EQ(fromReader[i], fromWriter[i]);

  Value removed;
  for (std::uint32_t i = 0; i < 2990; ++i) w->remove(Key{i}, removed);
  EXPECT_EQ(iterate<Value>(r.reader).size(), 10u);
  EXPECT_FALSE((r.reader.lookup(Key{5}, found, nullptr), found));
  EXPECT_TRUE((r.reader.lookup(Key{2995}, found, nullptr), found));
  EXPECT_EQ(r.reader.capacity(), w->capacity()) << "the reader follows compaction";
}

// Verifies: a reader looking at a slot in the middle of a rewrite takes the
// lookaside image (the old value, whole) and counts it.
TEST_F(PloomReaderTest, RewriteSeenThroughTheLookaside) {
  WriterHandle<Value> w("/r/rewrite", descriptor(64));
  w->write(val(7, 100), true);
  ReaderHandle r("/r/rewrite");
  ASSERT_TRUE(r.reader.initialize("/r/rewrite"));
  const std::uint32_t s = slotOf(*w.writer, Key{7});
  std::vector<std::uint32_t> seen;
  {
    StoreHook hook([&] {
      if (!SlotLink::read(Ploom::Testing::Access::slots(*w)[s]).writing()) return;
      bool found = false;
      const Value* v = r.reader.lookup(Key{7}, found, nullptr);
      ASSERT_TRUE(found);
      seen.push_back(v->payload[0]);
      EXPECT_EQ(v->payload[1], 7u);
    });
    w->write(val(7, 200), true);
  }
  ASSERT_FALSE(seen.empty());
  for (std::uint32_t p : seen) EXPECT_EQ(p, 100u) << "the old value while the rewrite is under way";
  EXPECT_GT(r.reader.readerCounters()[Ploom::Reader::Counters::rewriteCopies], 0u);
  bool found = false;
  EXPECT_EQ(r.reader.lookup(Key{7}, found, nullptr)->payload[0], 200u);
}

// Verifies: at every store of a bucket grow and shrink, a reader finds every
// entry (tolerating the walk that overlaps the resize, retrying after it).
TEST_F(PloomReaderTest, EveryEntryDuringBucketResizes) {
  WriterHandle<Value> w("/r/resize", descriptor(64));
  for (std::uint32_t i = 0; i < 60; ++i) w->write(val(i), true);
  ReaderHandle r("/r/resize");
  ASSERT_TRUE(r.reader.initialize("/r/resize"));
  int states = 0;
  {
    StoreHook hook([&] {
      for (std::uint32_t i = 0; i < 60; ++i) {
        bool found = false;
        r.reader.lookup(Key{i}, found, nullptr);
        ASSERT_TRUE(found) << i;
      }
      ++states;
    });
    Ploom::Testing::Access::map(*w).growBuckets();
    Ploom::Testing::Access::map(*w).shrinkBuckets();
  }
  EXPECT_GT(states, 60);
}

// Verifies: a next() whose hint slot was rewritten since takes the slow path
// and still returns the right successor.
TEST_F(PloomReaderTest, StaleHintTakesTheSlowPath) {
  WriterHandle<Value> w("/r/hint", descriptor(64));
  for (std::uint32_t i = 0; i < 40; ++i) w->write(val(i), true);
  ReaderHandle r("/r/hint");
  ASSERT_TRUE(r.reader.initialize("/r/hint"));
  Value first;
  Ploom::IterHint hint;
  ASSERT_TRUE(r.reader.first(first, hint));
  w->write(val(first.key.id, 999), true);  // rewrites the hint's slot
  const auto slowBefore = r.reader.readerCounters()[Ploom::Reader::Counters::slowPaths];
  Value second;
  ASSERT_TRUE(r.reader.next(first.key, second, hint));
  EXPECT_EQ(second, iterate(*w.writer)[1]);
  EXPECT_EQ(r.reader.readerCounters()[Ploom::Reader::Counters::slowPaths], slowBefore + 1);
}

// Verifies: when the writer re-formats the collection (new files), a reader
// that still maps the old ones notices and reads the new collection.
TEST_F(PloomReaderTest, FollowsAReformat) {
  auto w = std::make_unique<WriterHandle<Value>>("/r/reformat", descriptor(64));
  for (std::uint32_t i = 0; i < 20; ++i) (*w)->write(val(i), true);
  ReaderHandle r("/r/reformat");
  ASSERT_TRUE(r.reader.initialize("/r/reformat"));
  Ploom::SlotHeader::runtimeFlagsIs(Ploom::Testing::Access::slots(**w).base(), Ploom::SlotHeader::kInCriticalSection);
  w.reset();
  w = std::make_unique<WriterHandle<Value>>("/r/reformat", descriptor(64));  // re-formats
  (*w)->write(val(500), true);
  bool found = false;
  r.reader.lookup(Key{500}, found, nullptr);
  EXPECT_TRUE(found);
  r.reader.lookup(Key{3}, found, nullptr);
  EXPECT_FALSE(found);
  EXPECT_EQ(r.reader.readerCounters()[Ploom::Reader::Counters::reattaches], 1u);
}

// Verifies the last slot read and the version anchors made of it: an anchor
// validates while its slot is unchanged, not after the value is rewritten
// nor after the slot table changed (slots re-initialised by a cut and a
// regrow start their versions over); a next() that finds nothing forgets the
// last slot; following a resize traces the header at level 3.
TEST_F(PloomReaderTest, LastSlotReadAndAnchors) {
  WriterHandle<Value> w("/r/anchor", descriptor(64));
  for (std::uint32_t i = 0; i < 10; ++i) w->write(val(i, i), true);
  ReaderHandle r("/r/anchor");
  ASSERT_TRUE(r.reader.initialize("/r/anchor"));
  bool found = false;
  r.reader.lookup(Key{3}, found, nullptr);
  ASSERT_TRUE(found);
  const Ploom::VersionAnchor anchor = r.reader.getCacheVersionAnchor();
  EXPECT_EQ(anchor.offset, Ploom::SlotLayout<Value>::kHeaderSize + slotOf(*w.writer, Key{3}) * Ploom::SlotLayout<Value>::kSlotSize);
  EXPECT_TRUE(r.reader.validateVersionAnchor(anchor));
  w->write(val(4, 44), true);
  EXPECT_TRUE(r.reader.validateVersionAnchor(anchor)) << "another key changed";
  w->write(val(3, 33), true);
  EXPECT_FALSE(r.reader.validateVersionAnchor(anchor));

  r.reader.lookup(Key{3}, found, nullptr);
  const Ploom::VersionAnchor again = r.reader.getCacheVersionAnchor();
  EXPECT_TRUE(r.reader.validateVersionAnchor(again));
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  r.dh.levelMaskIs(1u << 3);
  for (std::uint32_t i = 100; i < 200; ++i) w->write(val(i), true);  // grows the slot table
  r.reader.lookup(Key{1000}, found, nullptr);  // a miss re-maps what changed (a hit need not)
  r.dh.levelMaskIs(0);
  Lumlog::currentSinkIs(nullptr);
  EXPECT_FALSE(r.reader.validateVersionAnchor(again)) << "the slot table changed since";
  bool headerTraced = false;
  for (const auto& record : sink.records()) headerTraced |= record.message.find("test_values::Value") != std::string::npos;
  EXPECT_TRUE(headerTraced);

  const auto values = iterate<Value>(r.reader);
  EXPECT_EQ(r.reader.lastSlotRead().offset, Ploom::LastSlotRead::kNoOffset) << "next() found nothing at the end";
  EXPECT_FALSE(r.reader.validateVersionAnchor(r.reader.getCacheVersionAnchor()));
  EXPECT_EQ(values.size(), 110u);
}

// Verifies: a map in reader mode attaches a reader when the files are there,
// and keeps the placeholder when they are not.
TEST_F(PloomReaderTest, ReaderModeOfTheMap) {
  Ploom::MapDescriptor d;
  d.mode = Ploom::MapMode::reader;
  Ploom::PloomMap<Value> early("/r/map");
  early.init(d);
  EXPECT_FALSE(early.attach("/r/map"));
  EXPECT_EQ(early.endpoint()->type(), Ploom::EndpointType::dummy);
  WriterHandle<Value> w("/r/map", descriptor(64));
  w->write(val(1), true);
  EXPECT_TRUE(early.attach("/r/map"));
  EXPECT_EQ(early.endpoint()->type(), Ploom::EndpointType::reader);
  bool found = false;
  early.endpoint()->lookup(Key{1}, found, nullptr);
  EXPECT_TRUE(found);
  EXPECT_THROW(early.endpoint()->write(val(2), true), Orvel::NoPermissionException);
}

}  // namespace
