// The reader: look-ups and iteration from another mapping of the writer's
// files, across resizes, rewrites and re-formats; what it reports when the
// files hold what no writer stores; the split order's successor against its
// definition.
#include <gtest/gtest.h>

#include "PloomTestSupport.h"
#include "Zev/CharRange.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

class PloomReaderTest : public test_shm::TempBaseDir {};

// Verifies: a reader attached to an empty collection finds nothing without
// error; after the writer grows it, the reader follows and finds every entry
// and iterates them in the writer's order; it follows compaction too, and a
// re-format (new files) while it still maps the old ones.
TEST_F(PloomReaderTest, FollowsTheWriter) {
  auto w = std::make_unique<WriterHandle<Value>>("/r/follow", descriptor(64));
  ReaderHandle r("/r/follow");
  ASSERT_TRUE(r->initialize("/r/follow"));
  bool found = true;
  EXPECT_EQ(*r->lookup(Key{1}, found, nullptr), Value{});
  EXPECT_FALSE(found);
  EXPECT_TRUE(iterate<Value>(r.reader).empty());

  for (std::uint32_t i = 0; i < 3000; ++i) (*w)->write(val(i, i * 3), true);
  for (std::uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(find<Value>(r.reader, Key{i}), val(i, i * 3)) << i;
  EXPECT_EQ(r->capacity(), (*w)->capacity());
  EXPECT_EQ(r->buckets(), (*w)->buckets());
  EXPECT_EQ(r->members(), 3000u);
  EXPECT_TRUE(iterate<Value>(r.reader) == iterate(*w->writer));

  Value removed;
  for (std::uint32_t i = 0; i < 2990; ++i) (*w)->remove(Key{i}, removed);
  EXPECT_EQ(iterate<Value>(r.reader).size(), 10u);
  EXPECT_FALSE(find<Value>(r.reader, Key{5}));
  EXPECT_TRUE(find<Value>(r.reader, Key{2995}));
  EXPECT_EQ(r->capacity(), (*w)->capacity()) << "the reader follows compaction";

  Ploom::SlotHeader::runtimeFlagsIs(Access::slots(**w).base(), Ploom::SlotHeader::kInCriticalSection);
  w.reset();
  w = std::make_unique<WriterHandle<Value>>("/r/follow", descriptor(64));  // re-formats
  (*w)->write(val(500), true);
  EXPECT_TRUE(find<Value>(r.reader, Key{500}));
  EXPECT_FALSE(find<Value>(r.reader, Key{2995}));
  EXPECT_EQ(r->readerCounters()[Ploom::Reader::Counters::reattaches], 1u);
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

// Verifies the version anchors made of the last slot read: one validates
// while its slot is unchanged, not after the value is rewritten nor after the
// slot table changed (re-initialised slots start their versions over), which
// is traced at level 3; a next() that finds nothing forgets the last slot; a
// next() whose hint slot was rewritten since, or holds another key, takes
// the slow path and still returns the right successor.
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
  const std::string messages = traced(r.dh, 1u << 3, [&] {
    for (std::uint32_t i = 100; i < 200; ++i) w->write(val(i), true);  // grows the slot table
    find<Value>(r.reader, Key{1000});                                  // a miss re-maps what changed (a hit need not)
  });
  EXPECT_FALSE(r->validateVersionAnchor(again)) << "the slot table changed since";
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "test_values::Value", messages);

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

  // A hint whose slot is untouched but holds another key (a slot table
  // initialised again restarts its versions) is not followed either.
  const std::vector<Value> order = iterate(*w.writer);
  ASSERT_TRUE(r->first(first, hint));
  ASSERT_TRUE(r->next(order[5].key, second, hint));
  EXPECT_EQ(second, order[6]);
  EXPECT_EQ(r->readerCounters()[Ploom::Reader::Counters::slowPaths], slowBefore + 2);
}

// Verifies: each damage fails the reader's walk with the exact report of what
// it found: a slot passed on the way to a key whose stored reversed hash puts
// it in another bucket under n, n/2 and 2n buckets, with its key and the
// bucket walked; an end marker that names its own bucket (no count's
// successor), which stops an iteration, with the bucket, the marker and the
// count; a link past the slot count, with the index and the count, before the
// reader touches the slot.
TEST_F(PloomReaderTest, DamageIsReportedWithWhatWasFound) {
  // The first two keys, in split order, of an odd bucket's chain (their hashes
  // have bit 0 set, their reversed forms bit 31), and the reader's counts.
  struct Chain {
    std::uint32_t bucket, buckets, slots;
    Key head, second;
  };
  using W = Ploom::PloomWriter<Value>;
  struct Damage {
    const char* name;
    bool iterates;  // the report comes from an iteration, else from a look-up of `second`
    std::function<std::string(W&, const Chain&)> damage;  // returns the report
  };
  const std::vector<Damage> damages = {
      {"key of another bucket", false,
       [](W& w, const Chain& c) {
         namespace Words = Ploom::detail::Words;
         std::uint8_t* rhash = Access::slots(w)[slotOf(w, c.head)] + Ploom::SlotLayout<Value>::kRhashOffset;
         // Bit 0 of the hash: an even bucket, still sorted before `second`.
         Words::store<std::uint32_t>(rhash, Words::load<std::uint32_t>(rhash) & ~0x80000000u);
         const std::string key = Zev::hexBytes(reinterpret_cast<const std::uint8_t*>(&c.head), sizeof(Key));
         return fmt::format("key {} does not belong to bucket {}", key, c.bucket);
       }},
      {"marker that is not the successor", true,
       [](W& w, const Chain& c) {
         std::uint32_t s = slotOf(w, c.head);
         while (!linkOf(w, s).endOfChain()) s = linkOf(w, s).index();
         linkIs(w, s, SlotLink{linkOf(w, s).version, SlotLink::kEndOfChain | c.bucket});
         return fmt::format("bucket {0} ends with marker {0} that is not its successor ({1} buckets)", c.bucket,
                            c.buckets);
       }},
      {"link past the slots", false,
       [](W& w, const Chain& c) {
         const std::uint32_t s = slotOf(w, c.head);
         EXPECT_FALSE(linkOf(w, s).endOfChain());
         linkIs(w, s, SlotLink{linkOf(w, s).version, c.slots + 5});
         return fmt::format("out-of-range index:{} numSlots:{}", c.slots + 5, c.slots);
       }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    const std::string path = std::string("/r/") + d.name;
    WriterHandle<Value> w(path, descriptor(64), 64);
    ReaderHandle r(path);
    ASSERT_TRUE(r->initialize(path));
    ASSERT_GE(r->buckets(), 4u);
    // A bucket's keys follow each other in split order.
    std::vector<Key> keys;
    for (std::uint32_t i = 0; i < 64; ++i) keys.push_back(Key{i});
    keys = splitOrder(keys, r->seed());
    auto bucketOf = [&](const Key& k) { return keyHash(k, r->seed()) & (r->buckets() - 1); };
    const auto two = std::adjacent_find(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
      return bucketOf(a) % 2 == 1 && bucketOf(a) == bucketOf(b);
    });
    ASSERT_NE(two, keys.end()) << "no odd bucket holds two keys";
    const Chain chain{bucketOf(two[0]), r->buckets(), r->capacity(), two[0], two[1]};
    ASSERT_TRUE(find<Value>(r.reader, chain.second));
    const std::string report = d.damage(*w.writer, chain);
    EXPECT_EQ(errorOf([&] { d.iterates ? (void)iterate<Value>(r.reader) : (void)find<Value>(r.reader, chain.second); }),
              report);
  }
}

// Verifies: the successor of a bucket with k bits of index is the bucket whose
// k-bit reversed index is one more, kNoBucket after the last, and a value no
// marker holds for a bucket past the count.
TEST(PloomSplitOrder, SuccessorIsTheNextReversedIndex) {
  using Ploom::detail::SplitOrder::successor;
  EXPECT_EQ(successor(0, 0), SlotLink::kNoBucket);
  for (unsigned bits = 1; bits <= 12; ++bits) {
    const std::uint32_t size = 1u << bits;
    for (std::uint32_t b = 0; b < size; ++b) {
      const std::uint32_t reversed = Ploom::reverseBits(b) >> (32 - bits);
      const std::uint32_t expected =
          reversed + 1 == size ? SlotLink::kNoBucket : Ploom::reverseBits(reversed + 1) >> (32 - bits);
      ASSERT_EQ(successor(b, bits), expected) << b << " of " << size;
    }
    EXPECT_EQ(successor(size, bits), SlotLink::kNoBucket - 1);
  }
}

}  // namespace
