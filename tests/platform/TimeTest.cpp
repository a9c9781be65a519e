#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Orvel/Time.h"
#include "support/ChildProcess.h"

namespace {

// Deleting a task twice, or an unknown id, changes nothing.
TEST(Scheduler, RunsTasksInOrderUntilDeleted) {
  Orvel::Scheduler scheduler;
  std::vector<int> ran;
  const std::uint64_t a = scheduler.criticalPriorityTaskIs([&] { ran.push_back(1); });
  const std::uint64_t b = scheduler.criticalPriorityTaskIs([&] { ran.push_back(2); });
  const std::uint64_t c = scheduler.criticalPriorityTaskIs([&] { ran.push_back(3); });

  scheduler.runCriticalPriorityTasks();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(scheduler.runs(), 1u);

  scheduler.criticalPriorityTaskDel(b);
  scheduler.criticalPriorityTaskDel(b);
  scheduler.criticalPriorityTaskDel(999);
  ran.clear();
  scheduler.runCriticalPriorityTasks();
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));

  scheduler.criticalPriorityTaskDel(a);
  scheduler.criticalPriorityTaskDel(c);
  ran.clear();
  scheduler.runCriticalPriorityTasks();
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(scheduler.runs(), 3u);
}

// A later task deleted during a pass does not run in it; one added during a
// pass first runs in the next.
TEST(Scheduler, TasksChangingTheListWhileRunning) {
  Orvel::Scheduler scheduler;
  std::vector<std::string> ran;
  std::uint64_t self = 0, later = 0;
  self = scheduler.criticalPriorityTaskIs([&] {
    ran.push_back("self");
    scheduler.criticalPriorityTaskDel(self);
    scheduler.criticalPriorityTaskDel(later);
    scheduler.criticalPriorityTaskIs([&] { ran.push_back("added"); });
  });
  scheduler.criticalPriorityTaskIs([&] { ran.push_back("middle"); });
  later = scheduler.criticalPriorityTaskIs([&] { ran.push_back("later"); });

  scheduler.runCriticalPriorityTasks();
  EXPECT_EQ(ran, (std::vector<std::string>{"self", "middle"}));
  ran.clear();
  scheduler.runCriticalPriorityTasks();
  EXPECT_EQ(ran, (std::vector<std::string>{"middle", "added"}));
}

// Counter ticks converted with the rate agree with the monotonic clock.
TEST(Rdtsc, CalibrationAndCounter) {
  const double rate = Orvel::Rdtsc::calibrationRate();
  EXPECT_GT(rate, 0.0);
  EXPECT_EQ(Orvel::Rdtsc::calibrationRate(), rate);

  const double t0 = Orvel::time();
  const std::uint64_t c0 = Orvel::Rdtsc::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint64_t c1 = Orvel::Rdtsc::now();
  const double t1 = Orvel::time();
  ASSERT_GT(c1, c0);
  ASSERT_GT(t1, t0);
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

}  // namespace
