// What the host needs to mount an entity that owns shared-memory collections:
// the mount request (ZevPloom::MountInfo, one ZevPloom::CollectionInfo per
// collection), the collection control that follows a mounted entity, and the
// entity kind that can open collections (ZevPloom::Entity).
#pragma once

#include <cstdint>
#include <vector>

#include "Mem/CollectionDescriptor.h"
#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "Zev/Entity.h"

namespace ZevSharedMem {

// Follows one mounted entity for the host: its collections' mount status, and
// the entity itself once it has no other users (the control then keeps it).
class CollectionControl : public Orvel::Node {
 public:
  static void mountStatusIs(CollectionControl* control, std::uint8_t status) noexcept {
    if (control) control->mountStatus_ = status;
  }
  static void entityRefIs(CollectionControl* control, const Orvel::Ptr<Zev::Entity>& entity) noexcept {
    if (control) control->entityRef_ = entity;
  }
  std::uint8_t mountStatus() const noexcept { return mountStatus_; }
  const Orvel::Ptr<Zev::Entity>& entityRef() const noexcept { return entityRef_; }

 private:
  std::uint8_t mountStatus_ = 0;
  Orvel::Ptr<Zev::Entity> entityRef_;
};

}  // namespace ZevSharedMem

namespace ZevPloom {

class CollectionControl : public ZevSharedMem::CollectionControl {
 public:
  static void quiescedIs(CollectionControl* control, bool quiesced) noexcept {
    if (control) control->quiesced_ = quiesced;
  }
  bool quiesced() const noexcept { return quiesced_; }

 private:
  bool quiesced_ = false;
};

// One collection of a mount request: its name, its size and the host's flag.
struct CollectionInfo {
  Orvel::String name;
  std::uint32_t size = 0;
  bool flag = false;
};

class MountInfo {
 public:
  explicit MountInfo(std::uint32_t mountType) : mountType_(mountType) {}
  std::uint32_t mountType() const noexcept { return mountType_; }
  void collectionInfoIs(CollectionInfo info) { collections_.push_back(std::move(info)); }
  const std::vector<CollectionInfo>& collectionInfos() const noexcept { return collections_; }

 private:
  std::uint32_t mountType_;
  std::vector<CollectionInfo> collections_;
};

// An entity that owns shared-memory collections. The mount opens each
// collection of the request with a descriptor built from its record.
class Entity : public Zev::Entity {
 public:
  using Zev::Entity::Entity;
  virtual void collectionInit(const Orvel::String& collectionName, const Mem::CollectionDescriptor& descriptor) = 0;
};

}  // namespace ZevPloom
