// ZevSharedMem::EntityManager: mounts entities that own shared-memory
// collections at paths of the host's state tree.
//
// Entity types are known by name: a unit registers a factory for its type
// (EntityTypeRegistration, usually a static object that also unregisters it).
// A mount of (path, type name, MountInfo), in this order: creates the entity
// through the type's factory, named after the last component of the path;
// sets its parent, a directory entity named after the rest of the path, so
// that the entity's full name is the path; opens every collection of the
// request with the descriptor built from its record (descriptorFor). The
// manager keeps one reference to each mounted entity until doUnmount, which
// clears the entity's parent (it becomes an orphan) and drops the reference.
// Mounting a path that is already mounted is an error.
//
// One manager per name, per process; managers live until the process ends.
#pragma once

#include <map>
#include <string>

#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "ZevPloom/Mount.h"

namespace ZevSharedMem {

using EntityFactory = Orvel::Ptr<ZevPloom::Entity> (*)(const Orvel::String& name);

// Registers `factory` under `typeName` while the object lives.
class EntityTypeRegistration {
 public:
  EntityTypeRegistration(std::string typeName, EntityFactory create);
  ~EntityTypeRegistration();
  EntityTypeRegistration(const EntityTypeRegistration&) = delete;
  EntityTypeRegistration& operator=(const EntityTypeRegistration&) = delete;

  // The factory registered under `typeName`, or null.
  static EntityFactory factory(const std::string& typeName);

 private:
  std::string typeName_;
};

// The descriptor a collection record asks for: the writer, capacity = the
// record's size, growing (not fixed size), slot and bucket shrinking on,
// critical-task check off, assertOnOrphanAccess off.
Mem::CollectionDescriptor descriptorFor(const ZevPloom::CollectionInfo& record);

class EntityManager;

class MountGroup {
 public:
  explicit MountGroup(EntityManager& manager) : manager_(manager) {}
  // Throws Orvel::InvalidInitializeException for an unknown type or a path
  // already mounted; an error while opening a collection propagates after the
  // half-built entity is released.
  void mount(const std::string& path, const std::string& typeName, const ZevPloom::MountInfo& info);

 private:
  EntityManager& manager_;
};

class EntityManager : public Orvel::Node {
 public:
  static Orvel::Ptr<EntityManager> getEntityManager(const Orvel::String& name, bool flag);

  const Orvel::String& name() const noexcept { return name_; }
  MountGroup& getMountGroup() noexcept { return mountGroup_; }
  // The entity mounted at `path`, or null.
  Orvel::Ptr<Zev::Entity> getEntity(const std::string& path) const;
  // Orphans the entity mounted at `path` and forgets it; nothing for a path not mounted.
  void doUnmount(const std::string& path);

 private:
  friend class MountGroup;
  explicit EntityManager(Orvel::String name) : name_(std::move(name)), mountGroup_(*this) {}

  Orvel::String name_;
  MountGroup mountGroup_;
  std::map<std::string, Orvel::Ptr<Zev::Entity>> mounted_;
};

}  // namespace ZevSharedMem
