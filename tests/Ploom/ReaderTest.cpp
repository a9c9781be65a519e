// The reader: look-ups and iteration from another mapping of the writer's
// files, across resizes, rewrites and re-formats.
#include <gtest/gtest.h>

#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;

class PloomReaderTest : public test_shm::TempBaseDir {};

// Verifies: a reader attached to an empty collection finds nothing without
// error; after the writer grows it, the reader follows and finds every entry
// and iterates them in the writer's order; it follows compaction too.
TEST_F(PloomReaderTest, FollowsTheWriter) {
  WriterHandle<Value> w("/r/follow", descriptor(64));
  ReaderHandle r("/r/follow");
  ASSERT_TRUE(r->initialize("/r/follow"));
  bool found = true;
  EXPECT_EQ(*r->lookup(Key{1}, found, nullptr), Value{});
  EXPECT_FALSE(found);
  EXPECT_TRUE(iterate<Value>(r.reader).empty());

  for (std::uint32_t i = 0; i < 3000; ++i) w->write(val(i, i * 3), true);
  for (std::uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(find<Value>(r.reader, Key{i}), val(i, i * 3)) << i;
  EXPECT_EQ(r->capacity(), w->capacity());
  EXPECT_EQ(r->buckets(), w->buckets());
  EXPECT_EQ(r->members(), 3000u);
  EXPECT_TRUE(iterate<Value>(r.reader) == iterate(*w.writer));

  Value removed;
  for (std::uint32_t i = 0; i < 2990; ++i) w->remove(Key{i}, removed);
  EXPECT_EQ(iterate<Value>(r.reader).size(), 10u);
  EXPECT_FALSE(find<Value>(r.reader, Key{5}));
  EXPECT_TRUE(find<Value>(r.reader, Key{2995}));
  EXPECT_EQ(r->capacity(), w->capacity()) << "the reader follows compaction";
}

// Verifies the value-write protocol from both sides: while bit 1 of the slot
// version is set, the lookaside image holds the previous value and reversed
// hash, and a reader looking at the slot takes it (the old value, whole) and
// counts it; afterwards the slot holds the new value, bit 1 clear.
TEST_F(PloomReaderTest, RewriteSeenThroughTheLookaside) {
  WriterHandle<Value> w("/r/rewrite", descriptor(64));
  w->write(val(7, 100), true);
  ReaderHandle r("/r/rewrite");
  ASSERT_TRUE(r->initialize("/r/rewrite"));
  const std::uint32_t s = slotOf(*w.writer, Key{7});
  auto& slots = Access::slots(*w);
  const std::uint32_t rhash =
      Ploom::detail::Words::load<std::uint32_t>(slots[s] + Ploom::SlotLayout<Value>::kRhashOffset);
  int checks = 0;
  {
    StoreHook hook([&] {
      if (!linkOf(*w, s).writing()) return;
      Value previous;
      std::memcpy(&previous, slots.lookaside() + 8, sizeof(Value));
      EXPECT_EQ(previous, val(7, 100));
      EXPECT_EQ(Ploom::detail::Words::load<std::uint32_t>(slots.lookaside() + Ploom::SlotLayout<Value>::kRhashOffset),
                rhash);
      EXPECT_EQ(find<Value>(r.reader, Key{7}), val(7, 100)) << "the old value while the rewrite is under way";
      ++checks;
    });
    w->write(val(7, 200), true);
  }
  EXPECT_GT(checks, 0) << "stores happened while the slot was being rewritten";
  EXPECT_FALSE(linkOf(*w, s).writing());
  EXPECT_GT(r->readerCounters()[Ploom::Reader::Counters::rewriteCopies], 0u);
  EXPECT_EQ(find<Value>(r.reader, Key{7}), val(7, 200));
}

// Verifies: when the writer re-formats the collection (new files), a reader
// that still maps the old ones notices and reads the new collection.
TEST_F(PloomReaderTest, FollowsAReformat) {
  auto w = std::make_unique<WriterHandle<Value>>("/r/reformat", descriptor(64), 20);
  ReaderHandle r("/r/reformat");
  ASSERT_TRUE(r->initialize("/r/reformat"));
  Ploom::SlotHeader::runtimeFlagsIs(Access::slots(**w).base(), Ploom::SlotHeader::kInCriticalSection);
  w.reset();
  w = std::make_unique<WriterHandle<Value>>("/r/reformat", descriptor(64));  // re-formats
  (*w)->write(val(500), true);
  EXPECT_TRUE(find<Value>(r.reader, Key{500}));
  EXPECT_FALSE(find<Value>(r.reader, Key{3}));
  EXPECT_EQ(r->readerCounters()[Ploom::Reader::Counters::reattaches], 1u);
}

// Verifies the version anchors made of the last slot read: one validates
// while its slot is unchanged, not after the value is rewritten nor after the
// slot table changed (re-initialised slots start their versions over), which
// is traced at level 3; a next() that finds nothing forgets the last slot; a
// next() whose hint slot was rewritten since takes the slow path and still
// returns the right successor.
TEST_F(PloomReaderTest, LastSlotReadAnchorsAndHints) {
  WriterHandle<Value> w("/r/anchor", descriptor(64), 10);
  ReaderHandle r("/r/anchor");
  ASSERT_TRUE(r->initialize("/r/anchor"));
  ASSERT_TRUE(find<Value>(r.reader, Key{3}));
  const Ploom::VersionAnchor anchor = r->getCacheVersionAnchor();
  EXPECT_EQ(anchor.offset,
            Ploom::SlotLayout<Value>::kHeaderSize + slotOf(*w.writer, Key{3}) * Ploom::SlotLayout<Value>::kSlotSize);
  EXPECT_TRUE(r->validateVersionAnchor(anchor));
  w->write(val(4, 44), true);
  EXPECT_TRUE(r->validateVersionAnchor(anchor)) << "another key changed";
  w->write(val(3, 33), true);
  EXPECT_FALSE(r->validateVersionAnchor(anchor));

  find<Value>(r.reader, Key{3});
  const Ploom::VersionAnchor again = r->getCacheVersionAnchor();
  EXPECT_TRUE(r->validateVersionAnchor(again));
  const auto messages = traced(r.dh, 1u << 3, [&] {
    for (std::uint32_t i = 100; i < 200; ++i) w->write(val(i), true);  // grows the slot table
    find<Value>(r.reader, Key{1000});                                  // a miss re-maps what changed (a hit need not)
  });
  EXPECT_FALSE(r->validateVersionAnchor(again)) << "the slot table changed since";
  EXPECT_TRUE(mentions(messages, "test_values::Value"));

  EXPECT_EQ(iterate<Value>(r.reader).size(), 110u);
  EXPECT_EQ(r->lastSlotRead().offset, Ploom::LastSlotRead::kNoOffset) << "next() found nothing at the end";
  EXPECT_FALSE(r->validateVersionAnchor(r->getCacheVersionAnchor()));

  Value first, second;
  Ploom::IterHint hint;
  ASSERT_TRUE(r->first(first, hint));
  w->write(val(first.key.id, 999), true);  // rewrites the hint's slot
  const auto slowBefore = r->readerCounters()[Ploom::Reader::Counters::slowPaths];
  ASSERT_TRUE(r->next(first.key, second, hint));
  EXPECT_EQ(second, iterate(*w.writer)[1]);
  EXPECT_EQ(r->readerCounters()[Ploom::Reader::Counters::slowPaths], slowBefore + 1);
}

}  // namespace
