// What a reader reports when the files hold what no writer stores: a key in a
// foreign bucket, an end marker that is not its bucket's successor, a link past
// the slots; and the split order's successor against its definition.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;
using Layout = Ploom::SlotLayout<Value>;

class PloomReaderCorruptionTest : public test_shm::TempBaseDir {
 protected:
  void SetUp() override {
    TempBaseDir::SetUp();
    w_ = std::make_unique<WriterHandle<Value>>("/r/corrupt", descriptor(64));
    r_ = std::make_unique<ReaderHandle<>>("/r/corrupt");
    for (std::uint32_t i = 0; i < 64; ++i) w().write(val(i, i), true);
    ASSERT_TRUE(r().initialize("/r/corrupt"));
    ASSERT_GE(r().buckets(), 4u);
    // The first two keys, in split order, of an odd bucket's chain: their
    // hashes have bit 0 set, their reversed forms bit 31.
    std::map<std::uint32_t, std::vector<Key>> chains;
    for (std::uint32_t i = 0; i < 64; ++i) {
      chains[keyHash(Key{i}, r().seed()) & (r().buckets() - 1)].push_back(Key{i});
    }
    for (auto& [b, keys] : chains) {
      if (b % 2 == 0 || keys.size() < 2) continue;
      keys = splitOrder(keys, r().seed());
      bucket = b;
      head = keys[0];
      second = keys[1];
      return;
    }
    FAIL() << "no odd bucket holds two keys";
  }
  void TearDown() override {
    r_.reset();
    w_.reset();
    TempBaseDir::TearDown();
  }
  Ploom::PloomWriter<Value>& w() { return **w_; }
  Ploom::PloomReader<Value>& r() { return r_->reader; }
  std::uint8_t* slot(const Key& key) { return Access::slots(w())[slotOf(w(), key)]; }
  std::string lookupError(const Key& key) {
    return errorOf([&] { find<Value>(r(), key); });
  }

  std::unique_ptr<WriterHandle<Value>> w_;
  std::unique_ptr<ReaderHandle<>> r_;
  std::uint32_t bucket = 0;
  Key head, second;
};

// Verifies: a slot passed on the way to a key whose stored reversed hash puts
// it in another bucket under n, n/2 and 2n buckets is reported with its key
// and the bucket walked.
TEST_F(PloomReaderCorruptionTest, KeyOfAnotherBucket) {
  ASSERT_TRUE(find<Value>(r(), second));
  std::uint32_t rhash;
  std::memcpy(&rhash, slot(head) + Layout::kRhashOffset, 4);
  rhash &= ~0x80000000u;  // bit 0 of the hash: an even bucket, still sorted before `second`
  std::memcpy(slot(head) + Layout::kRhashOffset, &rhash, 4);
  EXPECT_NE(lookupError(second).find("does not belong to bucket " + std::to_string(bucket)), std::string::npos)
      << lookupError(second);
}

// Verifies: an end marker that names its own bucket (no count's successor)
// stops an iteration with the bucket, the marker and the count.
TEST_F(PloomReaderCorruptionTest, MarkerThatIsNotTheSuccessor) {
  // The last slot of `bucket`'s chain.
  std::uint32_t s = slotOf(w(), head);
  while (!linkOf(w(), s).endOfChain()) s = linkOf(w(), s).index();
  const SlotLink end = linkOf(w(), s);
  linkIs(w(), s, SlotLink{end.version, SlotLink::kEndOfChain | bucket});
  const std::string expected = "bucket " + std::to_string(bucket) + " ends with marker " + std::to_string(bucket) +
                               " that is not its successor (" + std::to_string(r().buckets()) + " buckets)";
  EXPECT_EQ(errorOf([&] { iterate<Value>(r()); }), expected);
}

// Verifies: a link past the slot count is reported with the index and the
// count, before the reader touches the slot.
TEST_F(PloomReaderCorruptionTest, LinkPastTheSlots) {
  const std::uint32_t s = slotOf(w(), head);
  const SlotLink link = linkOf(w(), s);
  ASSERT_FALSE(link.endOfChain());
  const std::uint32_t past = r().capacity() + 5;
  linkIs(w(), s, SlotLink{link.version, past});
  EXPECT_EQ(lookupError(second), fmt::format("out-of-range index:{} numSlots:{}", past, r().capacity()));
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
