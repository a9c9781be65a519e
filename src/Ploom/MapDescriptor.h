// Ploom::MapDescriptor: how a collection is to be opened, as the host builds
// it from a mount request.
#pragma once

#include <cstdint>
#include <string>

namespace Ploom {

// The writer, or one of the three reader kinds: 1 a local shadow keyed by
// slot (KeyShadowStore), 2 a direct reader of the shared files, 3 a local
// shadow (ShadowStore).
enum class MapMode : std::uint32_t { writer = 0, keyShadow = 1, reader = 2, shadow = 3 };

struct MapDescriptor {
  std::uint32_t capacity = 0;  // slot table maximum (and size, when fixed)
  MapMode mode = MapMode::writer;
  bool local = false;  // process-local memory: no files, lock, socket or control file
  bool fixedSize = false;
  bool shrinkSlots = true;
  bool shrinkBuckets = true;
  bool prune = false;           // option of the (placeholder) sequence writer
  bool heapAllocation = false;  // local memory from the heap; only with local
  bool trackerEnable = false;
  bool criticalTaskCheck = false;

  std::string toString() const;
  // Whether a collection initialised with *this may be initialised again with `other`.
  bool supportsReinitWith(const MapDescriptor& other) const;
};

}  // namespace Ploom
