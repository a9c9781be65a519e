// Orvel::Ptr: intrusive reference-counted pointer to an Orvel::Node.
#pragma once

#include <cstddef>
#include <utility>

#include "Orvel/Node.h"

namespace Orvel {

template <class T>
class Ptr {
 public:
  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}  // NOLINT
  explicit Ptr(T* object) noexcept : object_(object) { acquire(); }
  Ptr(const Ptr& other) noexcept : object_(other.object_) { acquire(); }
  Ptr(Ptr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  Ptr(const Ptr<U>& other) noexcept : object_(other.ptr()) {  // NOLINT: upcast
    acquire();
  }
  ~Ptr() { release(); }
  // Wraps `object` with the reference the caller has already taken.
  static Ptr adopt(T* object) noexcept {
    Ptr p;
    p.object_ = object;
    return p;
  }

  Ptr& operator=(Ptr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  T* ptr() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  friend bool operator==(const Ptr& a, const Ptr& b) noexcept { return a.object_ == b.object_; }
  friend bool operator==(const Ptr& a, std::nullptr_t) noexcept { return a.object_ == nullptr; }

 private:
  void acquire() const noexcept {
    if (object_) object_->newRef();
  }
  void release() noexcept {
    if (object_) std::exchange(object_, nullptr)->delRef();
  }

  T* object_ = nullptr;
};

// A counted pointer to `object` unless its count already reached zero (it is
// being destroyed); then null. See Node::newRefIfLive.
template <class T>
Ptr<T> ptrIfLive(T* object) noexcept {
  return object && object->newRefIfLive() ? Ptr<T>::adopt(object) : nullptr;
}

// The host's checked down-cast: null when the object is not a U.
template <class U, class T>
Ptr<U> dynamicPtrCast(const Ptr<T>& p) noexcept {
  return Ptr<U>(dynamic_cast<U*>(p.ptr()));
}

}  // namespace Orvel
