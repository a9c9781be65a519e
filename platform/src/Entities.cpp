// Entities of the host's state tree and the shared-memory entity managers.
#include <map>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "Zev/Entity.h"
#include "ZevSharedMem/EntityManager.h"

namespace Zev {

void Entity::lastUserGone() noexcept {
  if (!zeroReferencesReported_ && publisher_.hasZeroReferenceSubscribers()) {
    zeroReferencesReported_ = true;
    newRef();  // held while the subscribers run, so nothing they do can destroy us
    publisher_.notifyZeroReferences();
    delRef();  // destroys us now unless a subscriber took a reference
    return;
  }
  delete this;
}

}  // namespace Zev

namespace ZevSharedMem {

Orvel::String Util::fullName(const Zev::Entity& entity, const Orvel::String& name) {
  if (!entity.parent()) return name;
  const Zev::Entity& parent = *entity.parent();
  return Orvel::String(fmt::format("{}/{}", fullName(parent, parent.name()), name));
}

namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, EntityFactory>& registry() {
  static auto* types = new std::map<std::string, EntityFactory>;  // outlives every static user
  return *types;
}

// The directory entities mounts hang from, one per directory path.
class Directory final : public Zev::Entity {
 public:
  using Zev::Entity::Entity;
};

}  // namespace

EntityTypeRegistration::EntityTypeRegistration(std::string typeName, EntityFactory create)
    : typeName_(std::move(typeName)) {
  std::lock_guard lock(registryMutex());
  registry()[typeName_] = create;
}

EntityTypeRegistration::~EntityTypeRegistration() {
  std::lock_guard lock(registryMutex());
  registry().erase(typeName_);
}

EntityFactory EntityTypeRegistration::factory(const std::string& typeName) {
  std::lock_guard lock(registryMutex());
  auto it = registry().find(typeName);
  return it == registry().end() ? nullptr : it->second;
}

Mem::CollectionDescriptor descriptorFor(const ZevPloom::CollectionInfo& record) {
  Mem::CollectionDescriptor d;
  d.capacity = record.size;
  d.mode = 0;
  d.fixedSize = false;
  d.shrinkSlots = true;
  d.shrinkBuckets = true;
  d.criticalTaskCheck = false;
  d.assertOnOrphanAccess = false;
  return d;
}

void MountGroup::mount(const std::string& path, const std::string& typeName, const ZevPloom::MountInfo& info) {
  if (manager_.mounted_.count(path)) {
    throw Orvel::InvalidInitializeException(fmt::format("path {} is already mounted", path));
  }
  EntityFactory factory = EntityTypeRegistration::factory(typeName);
  if (!factory) throw Orvel::InvalidInitializeException(fmt::format("unknown entity type {}", typeName));

  const auto slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);

  Orvel::Ptr<ZevPloom::Entity> entity = factory(Orvel::String(leaf));
  if (!directory.empty()) entity->parentIs(Orvel::Ptr<Zev::Entity>(new Directory(Orvel::String(directory))));
  try {
    for (const ZevPloom::CollectionInfo& record : info.collectionInfos()) {
      entity->collectionInit(record.name, descriptorFor(record));
    }
  } catch (...) {
    entity->parentIs(nullptr);
    throw;
  }
  manager_.mounted_.emplace(path, entity);
}

Orvel::Ptr<EntityManager> EntityManager::getEntityManager(const Orvel::String& name, bool /*flag*/) {
  static auto* managers = new std::map<std::string, Orvel::Ptr<EntityManager>>;  // live until exit
  static std::mutex m;
  std::lock_guard lock(m);
  auto& manager = (*managers)[std::string(name)];
  if (!manager) manager = Orvel::Ptr<EntityManager>(new EntityManager(name));
  return manager;
}

Orvel::Ptr<Zev::Entity> EntityManager::getEntity(const std::string& path) const {
  auto it = mounted_.find(path);
  return it == mounted_.end() ? nullptr : it->second;
}

void EntityManager::doUnmount(const std::string& path) {
  auto it = mounted_.find(path);
  if (it == mounted_.end()) return;
  Orvel::Ptr<Zev::Entity> entity = it->second;
  mounted_.erase(it);
  entity->parentIs(nullptr);
}

}  // namespace ZevSharedMem
