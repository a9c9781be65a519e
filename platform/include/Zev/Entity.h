// Zev::Entity: a named, reference-counted node of the host's state tree.
//
// An entity has a name and at most one parent; setting or clearing the parent
// (parentIs) calls handleParent. Its publisher tells subscribers about
// attribute changes. When the last reference goes and a zero-references
// subscriber is registered, the subscribers are told first, with the count
// held, so that one of them may take the entity over (a new reference); the
// entity is destroyed only when the count drops to zero again afterwards.
#pragma once

#include <cstdint>

#include "Orvel/Node.h"
#include "Orvel/Ptr.h"
#include "Orvel/Publisher.h"
#include "Orvel/String.h"

namespace Zev {

class Entity : public Orvel::Node {
 public:
  explicit Entity(Orvel::String name) : name_(std::move(name)) {}

  const Orvel::String& name() const noexcept { return name_; }
  const Orvel::Ptr<Entity>& parent() const noexcept { return parent_; }
  // Sets (or, with null, clears) the parent, then calls handleParent.
  void parentIs(const Orvel::Ptr<Entity>& parent) {
    parent_ = parent;
    handleParent(parent);
  }

  virtual Orvel::Publisher& publisher() noexcept { return publisher_; }
  const Orvel::Publisher& publisher() const noexcept { return publisher_; }

 protected:
  virtual void handleParent(const Orvel::Ptr<Entity>& /*parent*/) {}
  void lastUserGone() noexcept override;

 private:
  Orvel::String name_;
  Orvel::Ptr<Entity> parent_;
  Orvel::Publisher publisher_;
  bool zeroReferencesReported_ = false;
};

// A subscriber that is itself a host object.
class NotifieeConst : public Orvel::Node, public Orvel::Subscriber {
 public:
  bool isRegisteredNotifee() const noexcept { return registered_; }
  void isRegisteredNotifieeIs(bool registered) noexcept { registered_ = registered; }

 private:
  bool registered_ = false;
};

inline const Orvel::String& fetchName(const Entity& entity) noexcept { return entity.name(); }

}  // namespace Zev

namespace ZevSharedMem::Util {
// The entity's path in the state tree: its parents' names and `name`, joined by "/".
Orvel::String fullName(const Zev::Entity& entity, const Orvel::String& name);
}  // namespace ZevSharedMem::Util
