// Per-type allocation counting and the slab allocator front end.
//
// Every host object type that is created on the heap counts its allocations and
// releases against an AllocTracker named after the type. A type opts in with
// ORVEL_SLAB_ALLOCATED(TypeNameText) inside its class body, which gives it
// class-specific operator new and delete; a constructor that throws therefore
// releases its memory and its count before the exception leaves `new`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "Orvel/String.h"

namespace Orvel {

class AllocTracker {
 public:
  explicit AllocTracker(String typeName) : typeName_(std::move(typeName)) {}

  const String& typeName() const noexcept { return typeName_; }
  std::uint64_t allocations() const noexcept { return allocations_.load(std::memory_order_relaxed); }
  std::uint64_t releases() const noexcept { return releases_.load(std::memory_order_relaxed); }
  std::uint64_t live() const noexcept { return allocations() - releases(); }
  std::uint64_t liveBytes() const noexcept { return liveBytes_.load(std::memory_order_relaxed); }

  void allocated(std::size_t bytes) noexcept {
    allocations_.fetch_add(1, std::memory_order_relaxed);
    liveBytes_.fetch_add(bytes, std::memory_order_relaxed);
  }
  void released(std::size_t bytes) noexcept {
    releases_.fetch_add(1, std::memory_order_relaxed);
    liveBytes_.fetch_sub(bytes, std::memory_order_relaxed);
  }

  // The process-wide tracker of `typeName`, created on first use.
  static AllocTracker& of(std::string_view typeName);
  // Every tracker created so far, in creation order.
  static std::vector<const AllocTracker*> all();

 private:
  String typeName_;
  std::atomic<std::uint64_t> allocations_{0};
  std::atomic<std::uint64_t> releases_{0};
  std::atomic<std::uint64_t> liveBytes_{0};
};

namespace NvSlab {
// Obtains `bytes` and counts them against `tracker`; throws std::bad_alloc.
void* allocate(std::size_t bytes, AllocTracker& tracker);
// Returns memory obtained from allocate() with the same size and tracker.
void release(void* memory, std::size_t bytes, AllocTracker& tracker) noexcept;
}  // namespace NvSlab

}  // namespace Orvel

#define ORVEL_SLAB_ALLOCATED(typeNameText)                                                                  \
  static ::Orvel::AllocTracker& allocTracker() {                                                            \
    static ::Orvel::AllocTracker& tracker = ::Orvel::AllocTracker::of(typeNameText);                        \
    return tracker;                                                                                         \
  }                                                                                                         \
  static void* operator new(std::size_t bytes) { return ::Orvel::NvSlab::allocate(bytes, allocTracker()); } \
  static void operator delete(void* memory, std::size_t bytes) noexcept {                                   \
    ::Orvel::NvSlab::release(memory, bytes, allocTracker());                                                \
  }
