// Mem::CollectionDescriptor: how the host asks an entity to open one of its
// shared-memory collections when it mounts the entity.
#pragma once

#include <cstdint>

namespace Mem {

struct CollectionDescriptor {
  std::uint32_t capacity = 0;  // slot table maximum (and size, when fixed)
  std::uint32_t mode = 0;      // 0 the writer; 1..3 the reader kinds
  bool fixedSize = false;
  bool shrinkSlots = true;
  bool shrinkBuckets = true;
  bool criticalTaskCheck = false;
  // When set, an entity that became an orphan must not open the collection again.
  bool assertOnOrphanAccess = false;
};

}  // namespace Mem
