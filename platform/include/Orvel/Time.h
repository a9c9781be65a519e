// Time, random numbers and the scheduler hook of the base library.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace Orvel {

// Seconds on a monotonic clock.
double time();

namespace Random {
// 64 random bits from a generator seeded once per process from the OS.
std::uint64_t rand64();
}  // namespace Random

namespace Rdtsc {
// The time-stamp counter now.
std::uint64_t now();
// Time-stamp-counter ticks per second, measured once per process.
double calibrationRate();
}  // namespace Rdtsc

// The scheduler's hook for critical-priority work that long passes must let
// run: tasks registered here run, in registration order, on every
// runCriticalPriorityTasks() call.
class Scheduler {
 public:
  using Task = std::function<void()>;
  // Returns an id for taskDel.
  std::uint64_t criticalPriorityTaskIs(Task task);
  void criticalPriorityTaskDel(std::uint64_t id);
  void runCriticalPriorityTasks();
  std::uint64_t runs() const noexcept { return runs_; }

 private:
  struct Entry {
    std::uint64_t id;
    Task task;
  };
  std::vector<Entry> tasks_;
  std::uint64_t nextId_ = 1;
  std::uint64_t runs_ = 0;
};

Scheduler* schedulerRootOrvel();

}  // namespace Orvel
