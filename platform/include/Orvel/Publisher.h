// Orvel::Publisher: the subscriber list of one host object.
//
// Subscribers hear attribute changes (onAttribute: an attribute identifier and
// a pointer to the changed key, valid during the call) and, when they ask for
// it, that the object has no users left (onZeroReferences). A subscriber that
// only watches for zero references does not count as a subscriber in the
// publisher's state word: the word is 1 while nobody listens to attributes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Orvel {

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void onAttribute(std::uint32_t /*attributeId*/, const void* /*key*/) {}
  virtual void onZeroReferences() {}
  // False for a subscriber that only watches for zero references.
  virtual bool attributeSubscriber() const noexcept { return true; }
};

class Publisher {
 public:
  static constexpr std::uint32_t kNoSubscribers = 1;

  // 1 while no attribute subscriber is registered; 1 + their number otherwise.
  std::uint32_t state() const noexcept { return state_; }
  bool hasSubscribers() const noexcept { return state_ != kNoSubscribers; }

  void subscriberIs(Subscriber* subscriber) {
    if (std::find(subscribers_.begin(), subscribers_.end(), subscriber) != subscribers_.end()) return;
    subscribers_.push_back(subscriber);
    if (subscriber->attributeSubscriber()) ++state_;
  }
  void subscriberDel(Subscriber* subscriber) {
    auto it = std::find(subscribers_.begin(), subscribers_.end(), subscriber);
    if (it == subscribers_.end()) return;
    subscribers_.erase(it);
    if (subscriber->attributeSubscriber()) --state_;
  }

  // Tells every subscriber that `attributeId` changed for `key`. Recursive
  // changes (a whole attribute replaced) are delivered the same way.
  void publish(std::uint32_t attributeId, const void* key, bool /*recursive*/ = false) const {
    const std::vector<Subscriber*> snapshot = subscribers_;  // a subscriber may leave while it is told
    for (Subscriber* s : snapshot) {
      if (s->attributeSubscriber()) s->onAttribute(attributeId, key);
    }
  }

  bool hasZeroReferenceSubscribers() const noexcept {
    return std::any_of(subscribers_.begin(), subscribers_.end(),
                       [](Subscriber* s) { return !s->attributeSubscriber(); });
  }
  void notifyZeroReferences() const {
    const std::vector<Subscriber*> snapshot = subscribers_;
    for (Subscriber* s : snapshot) {
      if (!s->attributeSubscriber()) s->onZeroReferences();
    }
  }

 private:
  std::vector<Subscriber*> subscribers_;
  std::uint32_t state_ = kNoSubscribers;
};

}  // namespace Orvel
