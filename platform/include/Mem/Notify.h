// Mem::Notify: the five callbacks through which a collection reports changes
// to its owner: a value changed (new value, old value or none), a key changed,
// a key changed with its old value, the mount status changed, the quiesced
// state changed. An empty callback is skipped.
#pragma once

#include <functional>

namespace Mem {

template <class Key, class Value>
struct Notify {
  std::function<void(const Value&, const Value*)> valueChanged;
  std::function<void(const Key&)> keyChanged;
  std::function<void(const Key&, const Value*)> keyChangedWithOld;
  std::function<void()> mountStatusChanged;
  std::function<void(bool)> quiescedChanged;
};

}  // namespace Mem
