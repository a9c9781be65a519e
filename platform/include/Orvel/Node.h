// Orvel::Node: the base of every reference-counted host object.
//
// A node carries an intrusive reference count and a word of flags. The count is
// changed with atomic read-modify-write instructions only while the process-wide
// thread-control flag says that pointers are shared between threads; otherwise
// plain increments are used, which is what a single-threaded host wants. The
// flag must be set before a second thread can see any pointer and must not be
// cleared while two threads share one.
#pragma once

#include <atomic>
#include <cstdint>

namespace Orvel {

class ThreadControl {
 public:
  // True when reference counts must be changed atomically.
  static bool sharedPointers() noexcept { return flag().load(std::memory_order_relaxed); }
  static void sharedPointersIs(bool shared) noexcept { flag().store(shared, std::memory_order_relaxed); }

 private:
  static std::atomic<bool>& flag() noexcept;
};

class Node {
 public:
  // Flag set while the object is fully built and announces its changes; cleared
  // first thing in a destructor so that teardown publishes nothing.
  static constexpr std::uint32_t kLiveFlag = 0x20000000;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  virtual ~Node();

  void newRef() const noexcept {
    if (ThreadControl::sharedPointers()) {
      std::atomic_ref<std::uint32_t>(refCount_).fetch_add(1, std::memory_order_relaxed);
    } else {
      ++refCount_;
    }
  }

  // Takes a reference unless the count already reached zero (the object is
  // being destroyed, or about to be); returns whether it took one. For
  // look-ups through plain pointers that an object removes only late in its
  // destruction.
  bool newRefIfLive() const noexcept {
    if (ThreadControl::sharedPointers()) {
      std::atomic_ref<std::uint32_t> count(refCount_);
      std::uint32_t seen = count.load(std::memory_order_relaxed);
      while (seen != 0) {
        if (count.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed)) return true;
      }
      return false;
    }
    if (refCount_ == 0) return false;
    ++refCount_;
    return true;
  }

  // Drops one reference; when it was the last, lastUserGone() decides what
  // happens (by default the object is destroyed).
  void delRef() const noexcept {
    std::uint32_t left;
    if (ThreadControl::sharedPointers()) {
      left = std::atomic_ref<std::uint32_t>(refCount_).fetch_sub(1, std::memory_order_acq_rel) - 1;
    } else {
      left = --refCount_;
    }
    if (left == 0) const_cast<Node*>(this)->lastUserGone();
  }

  std::uint32_t references() const noexcept {
    return std::atomic_ref<std::uint32_t>(refCount_).load(std::memory_order_relaxed);
  }

  bool flag(std::uint32_t mask) const noexcept { return (flags_ & mask) == mask; }
  void flagIs(std::uint32_t mask, bool on) noexcept { flags_ = on ? (flags_ | mask) : (flags_ & ~mask); }

 protected:
  // Called when the count drops to zero. An override may hand out a new
  // reference (the object then lives on) or end with `delete this`.
  virtual void lastUserGone() noexcept { delete this; }

 private:
  mutable std::uint32_t refCount_ = 0;
  std::uint32_t flags_ = 0;
};

}  // namespace Orvel
