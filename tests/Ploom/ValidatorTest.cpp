// The validator: clean collections of every size pass; each kind of damage
// is found and reported.
#include <gtest/gtest.h>

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

struct Damage {
  const char* name;
  std::function<void(Ploom::PloomWriter<Value>&)> apply;
  const char* report;  // a part of the error text
};

// Verifies: each damage fails validation with a report of what was found.
TEST_F(PloomValidator, DamageIsReported) {
  auto lastFree = [](Ploom::PloomWriter<Value>& w) { return freeList(w).back(); };
  const std::vector<Damage> damages = {
      {"slot reachable from two chains",
       [](auto& w) {
         // One entry's slot gains a successor that is not its own: the entries
         // between are cut off, or the chain loops back on itself.
         const std::uint32_t a = slotOf(w, Key{1});
         std::uint32_t b = slotOf(w, Key{2});
         if ((linkOf(w, a).link & ~SlotLink::kMark) == b) b = slotOf(w, Key{3});
         linkIs(w, a, SlotLink{linkOf(w, a).version, b});
       },
       ""},
      {"free slot also reachable",
       [&](auto& w) {
         const std::uint32_t tail = lastFree(w);
         linkIs(w, tail, SlotLink{linkOf(w, tail).version, slotOf(w, Key{3})});
       },
       "seen twice"},
      {"free list past the last slot",
       [&](auto& w) {
         const std::uint32_t tail = lastFree(w);
         linkIs(w, tail, SlotLink{linkOf(w, tail).version, w.capacity()});
       },
       "out of bounds"},
      {"value write left unfinished",
       [](auto& w) {
         const std::uint32_t s = slotOf(w, Key{4});
         linkIs(w, s, SlotLink{linkOf(w, s).version | SlotLink::kWriting, linkOf(w, s).link});
       },
       "unfinished value write"},
      {"occupied count one low",
       [](auto& w) {
         Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kOccupied, w.members() - 1);
       },
       "more entries reachable"},
      {"occupied count one high",
       [](auto& w) {
         Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kOccupied, w.members() + 1);
       },
       "header says occupied"},
      {"free slot lost",
       [](auto& w) {
         const std::uint32_t head = Access::slots(w).freeHead();
         Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kFreeHead,
                                   linkOf(w, head).link & ~SlotLink::kMark);
       },
       "slots found"},
      {"stored reversed hash wrong",
       [](auto& w) {
         const std::uint32_t s = slotOf(w, Key{5});
         std::uint8_t* at = Access::slots(w)[s] + Ploom::SlotLayout<Value>::kRhashOffset;
         Ploom::detail::Words::store<std::uint32_t>(at, Ploom::detail::Words::load<std::uint32_t>(at) ^ 1);
       },
       ""},
      {"occupied slot on no chain",
       [](auto& w) {
         const std::uint32_t head = Access::slots(w).freeHead();
         linkIs(w, head, SlotLink{linkOf(w, head).version | SlotLink::kOccupied, linkOf(w, head).link});
       },
       "is occupied"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    WriterHandle<Value> w(std::string("/v/") + d.name, descriptor(64), 40);
    ASSERT_TRUE(w->validate()) << w->lastValidationError();
    d.apply(*w.writer);
    EXPECT_FALSE(w->validate());
    EXPECT_FALSE(w->lastValidationError().empty());
    EXPECT_NE(w->lastValidationError().find(d.report), std::string::npos) << w->lastValidationError();
  }
}

}  // namespace
