// The validator: clean collections of every size pass; each kind of damage
// is found and reported.
#include <gtest/gtest.h>

#include <tuple>

#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

class PloomValidator : public test_shm::TempBaseDir {};

// Verifies: empty and filled collections around every growth step validate.
TEST_F(PloomValidator, CleanCollectionsValidate) {
  for (std::uint32_t size : {0u, 1u, 2u, 63u, 64u, 65u, 100u, 513u, 1500u}) {
    WriterHandle<Value> w("/v/clean" + std::to_string(size), descriptor(512), size);
    EXPECT_TRUE(w->validate()) << size << ": " << w->lastValidationError();
  }
}

using W = Ploom::PloomWriter<Value>;

// Damage to a collection: slot `s` links to `link`, or gains `bits` in its
// version, or the header counts `n` occupied slots.
void successorIs(W& w, std::uint32_t s, std::uint32_t link) { linkIs(w, s, {linkOf(w, s).version, link}); }
void versionBitsAdd(W& w, std::uint32_t s, std::uint32_t bits) {
  linkIs(w, s, {linkOf(w, s).version | bits, linkOf(w, s).link});
}
void occupiedIs(W& w, std::uint32_t n) {
  Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kOccupied, n);
}

// Verifies: each damage fails validation with a report of what was found.
TEST_F(PloomValidator, DamageIsReported) {
  // Each damage by name, and a part of the error text it must produce.
  const std::vector<std::tuple<const char*, std::function<void(W&)>, const char*>> damages = {
      {"slot reachable from two chains",
       [](W& w) {
         // One entry's slot gains a successor that is not its own: the entries
         // between are cut off, or the chain loops back on itself.
         const std::uint32_t a = slotOf(w, Key{1});
         std::uint32_t b = slotOf(w, Key{2});
         if ((linkOf(w, a).link & ~SlotLink::kMark) == b) b = slotOf(w, Key{3});
         successorIs(w, a, b);
       },
       ""},
      {"free slot also reachable", [](W& w) { successorIs(w, freeList(w).back(), slotOf(w, Key{3})); }, "seen twice"},
      {"free list past the last slot", [](W& w) { successorIs(w, freeList(w).back(), w.capacity()); }, "out of bounds"},
      {"value write left unfinished", [](W& w) { versionBitsAdd(w, slotOf(w, Key{4}), SlotLink::kWriting); },
       "unfinished value write"},
      {"occupied count one low", [](W& w) { occupiedIs(w, w.members() - 1); }, "more entries reachable"},
      {"occupied count one high", [](W& w) { occupiedIs(w, w.members() + 1); }, "header says occupied"},
      {"free slot lost",
       [](W& w) {
         const std::uint32_t second = linkOf(w, Access::slots(w).freeHead()).link & ~SlotLink::kMark;
         Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kFreeHead, second);
       },
       "slots found"},
      {"stored reversed hash wrong",
       [](W& w) {
         std::uint8_t* at = Access::slots(w)[slotOf(w, Key{5})] + Ploom::SlotLayout<Value>::kRhashOffset;
         Ploom::detail::Words::store<std::uint32_t>(at, Ploom::detail::Words::load<std::uint32_t>(at) ^ 1);
       },
       ""},
      {"occupied slot on no chain", [](W& w) { versionBitsAdd(w, Access::slots(w).freeHead(), SlotLink::kOccupied); },
       "is occupied"},
  };
  for (const auto& [name, damage, report] : damages) {
    SCOPED_TRACE(name);
    WriterHandle<Value> w(std::string("/v/") + name, descriptor(64), 40);
    ASSERT_TRUE(w->validate()) << w->lastValidationError();
    damage(*w.writer);
    EXPECT_FALSE(w->validate());
    EXPECT_FALSE(w->lastValidationError().empty());
    EXPECT_NE(w->lastValidationError().find(report), std::string::npos) << w->lastValidationError();
  }
}

}  // namespace
