#include "Orvel/Time.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace Orvel {

double time() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::uint64_t Random::rand64() {
  static std::mutex mutex;
  static std::mt19937_64 generator;
  static pid_t seededFor = 0;
  std::lock_guard lock(mutex);
  // Seeded again in a forked child, which would otherwise repeat its parent's sequence.
  if (const pid_t pid = ::getpid(); pid != seededFor) {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    generator.seed(seed);
    seededFor = pid;
  }
  return generator();
}

std::uint64_t Rdtsc::now() {
#if defined(__x86_64__)
  return __rdtsc();
#else
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
#endif
}

namespace {

// Counts ticks over about 10 ms of the monotonic clock.
double measureRate() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const std::uint64_t startTicks = Rdtsc::now();
  Clock::time_point end;
  do {
    end = Clock::now();
  } while (end - start < std::chrono::milliseconds(10));
  const std::uint64_t endTicks = Rdtsc::now();
  const double seconds = std::chrono::duration<double>(end - start).count();
  return static_cast<double>(endTicks - startTicks) / seconds;
}

}  // namespace

double Rdtsc::calibrationRate() {
  static const double rate = measureRate();
  return rate;
}

std::uint64_t Scheduler::criticalPriorityTaskIs(Task task) {
  const std::uint64_t id = nextId_++;
  tasks_.push_back(Entry{id, std::move(task)});
  return id;
}

void Scheduler::criticalPriorityTaskDel(std::uint64_t id) {
  std::erase_if(tasks_, [id](const Entry& entry) { return entry.id == id; });
}

// A task may add or delete tasks while it runs: the pass covers the tasks
// registered when it started that are still registered when their turn comes.
void Scheduler::runCriticalPriorityTasks() {
  ++runs_;
  if (tasks_.empty()) return;
  std::vector<std::uint64_t> ids;
  ids.reserve(tasks_.size());
  for (const Entry& entry : tasks_) ids.push_back(entry.id);
  for (std::uint64_t id : ids) {
    const auto it = std::find_if(tasks_.begin(), tasks_.end(), [id](const Entry& entry) { return entry.id == id; });
    if (it == tasks_.end()) continue;
    const Task task = it->task;  // a copy: the task may delete itself
    if (task) task();
  }
}

Scheduler* schedulerRootOrvel() {
  static Scheduler scheduler;
  return &scheduler;
}

}  // namespace Orvel
