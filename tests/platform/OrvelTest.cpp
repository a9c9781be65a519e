#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "Orvel/AllocTracker.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Orvel/Ptr.h"
#include "platform/ThrownMessage.h"

namespace {

struct Counted : Orvel::Node {
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }
  int* destroyed_;
};

struct Tracked : Orvel::Node {
  ORVEL_SLAB_ALLOCATED("test::Tracked")
  explicit Tracked(bool fail) {
    if (fail) throw std::runtime_error("constructor failed");
  }
  char payload[40] = {};
};

TEST(OrvelPtr, DestroysWithLastReference) {
  int destroyed = 0;
  {
    Orvel::Ptr<Counted> a(new Counted(&destroyed));
    EXPECT_EQ(a->references(), 1u);
    Orvel::Ptr<Orvel::Node> b = a;
    EXPECT_EQ(a->references(), 2u);
    Orvel::Ptr<Counted> c = std::move(a);
    EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): what a move leaves behind is checked here
    EXPECT_EQ(c->references(), 2u);
    b = nullptr;
    EXPECT_EQ(c->references(), 1u);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

// Plain increments would lose updates under concurrent copies.
TEST(OrvelPtr, AtomicCountsWhenThreadControlSet) {
  Orvel::ThreadControl::sharedPointersIs(true);
  int destroyed = 0;
  Orvel::Ptr<Counted> shared(new Counted(&destroyed));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): the copy is what counts up and down
        Orvel::Ptr<Counted> copy = shared;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared->references(), 1u);
  shared = nullptr;
  EXPECT_EQ(destroyed, 1);
  Orvel::ThreadControl::sharedPointersIs(false);
}

TEST(OrvelPtr, IfLiveNeverResurrects) {
  for (const bool shared : {false, true}) {
    Orvel::ThreadControl::sharedPointersIs(shared);
    int destroyed = 0;
    Orvel::Ptr<Counted> live(new Counted(&destroyed));
    Orvel::Ptr<Counted> again = Orvel::ptrIfLive(live.ptr());
    EXPECT_EQ(again, live) << shared;
    EXPECT_EQ(live->references(), 2u) << shared;
    EXPECT_FALSE(Orvel::ptrIfLive<Counted>(nullptr)) << shared;

    // Asks for a counted pointer to itself while it is destroyed, as a
    // look-up through a plain pointer might.
    struct Dying : Orvel::Node {
      explicit Dying(bool* found) : found_(found) {}
      ~Dying() override { *found_ = Orvel::ptrIfLive(this) != nullptr; }
      bool* found_;
    };
    bool found = true;
    Orvel::Ptr<Dying> dying(new Dying(&found));
    dying = nullptr;
    EXPECT_FALSE(found) << shared;
  }
  Orvel::ThreadControl::sharedPointersIs(false);
}

// A constructor that throws gives its memory and its count back before the
// exception leaves `new`.
TEST(OrvelAllocTracker, CountsPerTypeAndReleasesOnFailedConstruction) {
  Orvel::AllocTracker& tracker = Tracked::allocTracker();
  const auto before = tracker.allocations();
  {
    Orvel::Ptr<Tracked> t(new Tracked(false));
    EXPECT_EQ(tracker.allocations(), before + 1);
    EXPECT_EQ(tracker.live(), 1u);
    EXPECT_GE(tracker.liveBytes(), sizeof(Tracked));
  }
  EXPECT_EQ(tracker.live(), 0u);
  EXPECT_THROW(Orvel::Ptr<Tracked>(new Tracked(true)), std::runtime_error);
  EXPECT_EQ(tracker.live(), 0u);
  EXPECT_EQ(tracker.liveBytes(), 0u);
  EXPECT_EQ(&Orvel::AllocTracker::of("test::Tracked"), &tracker);
}

TEST(OrvelFormat, FmthrowRaisesTypedExceptionWithMessage) {
  Zev::TraceHandle handle("OrvelFormatTest");
  EXPECT_EQ(thrownMessage<Orvel::CorruptionDetectedException>([&] {
              Orvel::fmthrow<Orvel::CorruptionDetectedException>(handle, 3, "Tag", "file.cpp", "fn", 12,
                                                                 "bad link {} at {}", 7, "slot");
            }),
            "bad link 7 at slot");
  EXPECT_EQ(Orvel::fmtracestr(0, "Tag", "f.cpp", "fn", 3, "{}-{}", 1, 2), "1-2");
  EXPECT_EQ(Orvel::fmtracestr(Orvel::kTraceStrWithLocation, "Tag", "f.cpp", "fn", 3, "x"), "Tag::fn f.cpp:3 x");
}

TEST(OrvelFormatDeathTest, FmassertEndsProcess) {
  EXPECT_DEATH(Orvel::fmassert("a < b", "f.cpp", "fn", 9, "values {}", 42),
               "AssertionError at f.cpp:9 \\(a < b\\) - values 42");
}

}  // namespace
