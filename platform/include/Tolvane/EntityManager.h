// Tolvane::EntityManager: the host's state-database manager. A shadow takes
// its name and flag to reach the shared-memory entity manager of the same
// system (ZevSharedMem::EntityManager::getEntityManager).
#pragma once

#include "Orvel/Node.h"
#include "Orvel/String.h"

namespace Tolvane {

// The name of the entity manager that holds the shadows' state when the host
// names none.
inline constexpr const char* kShadowStateEntityManager = "shadowState";

class EntityManager : public Orvel::Node {
 public:
  explicit EntityManager(Orvel::String name, bool flag = false) : name_(std::move(name)), flag_(flag) {}
  const Orvel::String& name() const noexcept { return name_; }
  bool flag() const noexcept { return flag_; }

 private:
  Orvel::String name_;
  bool flag_;
};

}  // namespace Tolvane
