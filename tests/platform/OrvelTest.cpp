// The base library: counted pointers, allocation tracking, formatting, tracing, time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Lumlog/Sink.h"
#include "Orvel/AllocTracker.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Orvel/Ptr.h"
#include "Orvel/Time.h"
#include "Zev/TraceHandle.h"
#include "support/ChildProcess.h"
#include "support/ErrorOf.h"

namespace {

struct Counted : Orvel::Node {
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }
  int* destroyed_;
};

struct Tracked : Orvel::Node {
  ORVEL_SLAB_ALLOCATED("test::Tracked")
  char payload[40] = {};
};

// In both thread-control modes; with the flag set, counts stay exact under
// concurrent copies (plain increments would lose updates).
TEST(OrvelPtr, CountsReferencesAndIfLiveNeverResurrects) {
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared pointers" : "unshared pointers");
    Orvel::ThreadControl::sharedPointersIs(shared);
    int destroyed = 0;
    Orvel::Ptr<Counted> live(new Counted(&destroyed));
    EXPECT_EQ(live->references(), 1u);
    Orvel::Ptr<Orvel::Node> base = live;
    Orvel::Ptr<Counted> again = Orvel::ptrIfLive(live.ptr());
    EXPECT_EQ(again, live);
    EXPECT_EQ(live->references(), 3u);
    Orvel::Ptr<Counted> moved = std::move(again);
    EXPECT_FALSE(again);  // NOLINT(bugprone-use-after-move): what a move leaves behind is checked here
    base = nullptr;
    EXPECT_EQ(live->references(), 2u);
    EXPECT_FALSE(Orvel::ptrIfLive<Counted>(nullptr));
    if (shared) {
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
          for (int i = 0; i < 20000; ++i) {
            // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): the copy is what counts up and down
            Orvel::Ptr<Counted> copy = live;
          }
        });
      }
      for (auto& t : threads) t.join();
      EXPECT_EQ(live->references(), 2u);
    }
    live = nullptr;
    EXPECT_EQ(destroyed, 0);
    moved = nullptr;
    EXPECT_EQ(destroyed, 1);

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
    EXPECT_FALSE(found);
  }
  Orvel::ThreadControl::sharedPointersIs(false);
}

// (A constructor that throws gives its memory and count back:
// TableFactory.FailedCreationReleasesEverything, tests/tables/FactoryTest.cpp.)
TEST(OrvelAllocTracker, CountsPerType) {
  Orvel::AllocTracker& tracker = Tracked::allocTracker();
  const auto before = tracker.allocations();
  {
    Orvel::Ptr<Tracked> t(new Tracked);
    EXPECT_EQ(tracker.allocations(), before + 1);
    EXPECT_EQ(tracker.live(), 1u);
    EXPECT_GE(tracker.liveBytes(), sizeof(Tracked));
  }
  EXPECT_EQ(tracker.live(), 0u);
  EXPECT_EQ(tracker.liveBytes(), 0u);
  EXPECT_EQ(&Orvel::AllocTracker::of("test::Tracked"), &tracker);
}

TEST(OrvelFormat, FmthrowRaisesTypedExceptionWithMessage) {
  Zev::TraceHandle handle("OrvelFormatTest");
  EXPECT_EQ(testing_support::errorOf<Orvel::CorruptionDetectedException>([&] {
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

// Deleting a task twice, or an unknown id, changes nothing. A later task
// deleted during a pass does not run in it; one added during a pass first
// runs in the next.
TEST(Scheduler, RunsTasksInOrderUntilDeletedAlsoDuringAPass) {
  Orvel::Scheduler scheduler;
  using Names = std::vector<std::string>;
  Names ran;
  // The tasks one pass runs, in order.
  const auto pass = [&] {
    ran.clear();
    scheduler.runCriticalPriorityTasks();
    return ran;
  };
  const std::uint64_t a = scheduler.criticalPriorityTaskIs([&] { ran.push_back("a"); });
  const std::uint64_t b = scheduler.criticalPriorityTaskIs([&] { ran.push_back("b"); });
  const std::uint64_t c = scheduler.criticalPriorityTaskIs([&] { ran.push_back("c"); });
  EXPECT_EQ(pass(), (Names{"a", "b", "c"}));
  EXPECT_EQ(scheduler.runs(), 1u);

  scheduler.criticalPriorityTaskDel(b);
  scheduler.criticalPriorityTaskDel(b);
  scheduler.criticalPriorityTaskDel(999);
  EXPECT_EQ(pass(), (Names{"a", "c"}));
  scheduler.criticalPriorityTaskDel(a);
  scheduler.criticalPriorityTaskDel(c);
  EXPECT_EQ(pass(), Names{});
  EXPECT_EQ(scheduler.runs(), 3u);

  std::uint64_t self = 0, later = 0;
  self = scheduler.criticalPriorityTaskIs([&] {
    ran.push_back("self");
    scheduler.criticalPriorityTaskDel(self);
    scheduler.criticalPriorityTaskDel(later);
    scheduler.criticalPriorityTaskIs([&] { ran.push_back("added"); });
  });
  scheduler.criticalPriorityTaskIs([&] { ran.push_back("middle"); });
  later = scheduler.criticalPriorityTaskIs([&] { ran.push_back("later"); });
  EXPECT_EQ(pass(), (Names{"self", "middle"}));
  EXPECT_EQ(pass(), (Names{"middle", "added"}));
}

// Counter ticks converted with the rate agree with the monotonic clock (a
// counter going back, or a rate of 0, puts the ratio out of bounds).
TEST(Rdtsc, CalibrationAndCounter) {
  const double rate = Orvel::Rdtsc::calibrationRate();
  EXPECT_EQ(Orvel::Rdtsc::calibrationRate(), rate);

  const double t0 = Orvel::time();
  const std::uint64_t c0 = Orvel::Rdtsc::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint64_t c1 = Orvel::Rdtsc::now();
  const double t1 = Orvel::time();
  const double ratio = (static_cast<double>(c1 - c0) / rate) / (t1 - t0);
  EXPECT_GT(ratio, 0.5);
  EXPECT_LT(ratio, 2.0);
}

// A forked child must not replay its parent's sequence.
TEST(Random, Rand64DistinctAndReseededInChild) {
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(Orvel::Random::rand64());
  EXPECT_EQ(seen.size(), 1000u);

  const auto child = testing_support::runInChild([] { return std::to_string(Orvel::Random::rand64()); });
  const std::uint64_t parentNext = Orvel::Random::rand64();
  EXPECT_NE(child.output, std::to_string(parentNext));
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Zev::TraceHandle::disableAll();
    Lumlog::currentSinkIs(&sink_);
  }
  void TearDown() override {
    Lumlog::currentSinkIs(nullptr);
    Zev::TraceHandle::disableAll();
  }
  Lumlog::CaptureSink sink_;
};

TEST_F(TraceTest, DisabledLevelEvaluatesNoArgument) {
  Zev::TraceHandle handle("TraceTestHandle");
  Zev::TraceHandle::enable("TraceTestHandle=3");
  int evaluations = 0;
  const auto counted = [&](int v) { return ++evaluations, v; };
  ORVEL_TRACE(handle, 8, "Shadow", "value {}", counted(1));
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(sink_.records().empty());

  // (What a record holds: TracesTest, tests/shadows/TracesTest.cpp.)
  ORVEL_TRACE(handle, 3, "Shadow", "value {}", counted(5));
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(sink_.records().size(), 1u);
}

// A malformed rule is refused whole. Rules add up, and reach handles created
// after the rule.
TEST_F(TraceTest, RulesMatchHandlesAndLevels) {
  Zev::TraceHandle ippa("IppaCsInlif0ProfileMapHwDirect");
  Zev::TraceHandle other("LpmEntryTypeMapHwDirect");
  Zev::TraceHandle refused("Refused");
  for (const char* rules : {"Refused=10", "Refused=a", "Refused=5-3", "=3", "Refused=", "Refused=1;Other=x"}) {
    EXPECT_THROW(Zev::TraceHandle::enable(rules), Orvel::InvalidInitializeException) << rules;
  }
  EXPECT_EQ(refused.levelMask(), 0u);

  Zev::TraceHandle::enable("Ippa*=2,8;Lpm*Direct=0-1");
  EXPECT_EQ(ippa.levelMask(), (1u << 2) | (1u << 8));
  EXPECT_EQ(other.levelMask(), 0b11u);
  Zev::TraceHandle::enable("Ippa*=9");
  EXPECT_TRUE(ippa.enabled(9));
  EXPECT_TRUE(ippa.enabled(2));

  Zev::TraceHandle later("IppaVsiToRoutingProfileMapHwDirect");
  EXPECT_EQ(later.levelMask(), (1u << 2) | (1u << 8) | (1u << 9));
  Zev::TraceHandle::enable("*");
  EXPECT_EQ(other.levelMask(), Zev::TraceHandle::kAllLevels);
  EXPECT_FALSE(other.enabled(10));
}

}  // namespace
