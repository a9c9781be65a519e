#include "Orvel/AllocTracker.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>

namespace Orvel {
namespace {

struct Registry {
  std::mutex mutex;
  std::deque<AllocTracker> trackers;  // a deque never moves its elements
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

AllocTracker& AllocTracker::of(std::string_view typeName) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (AllocTracker& tracker : r.trackers) {
    if (tracker.typeName() == typeName) return tracker;
  }
  return r.trackers.emplace_back(String(typeName));
}

std::vector<const AllocTracker*> AllocTracker::all() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const AllocTracker*> result;
  for (const AllocTracker& tracker : r.trackers) result.push_back(&tracker);
  return result;
}

namespace NvSlab {

void* allocate(std::size_t bytes, AllocTracker& tracker) {
  void* memory = std::malloc(bytes ? bytes : 1);
  if (!memory) throw std::bad_alloc();
  tracker.allocated(bytes);
  return memory;
}

void release(void* memory, std::size_t bytes, AllocTracker& tracker) noexcept {
  if (!memory) return;
  tracker.released(bytes);
  std::free(memory);
}

}  // namespace NvSlab
}  // namespace Orvel
