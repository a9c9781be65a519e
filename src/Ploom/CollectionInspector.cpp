#include "Ploom/CollectionInspector.h"

#include "Mem/SharedMemWrapper.h"

namespace Ploom {

std::string collectionTypeName(const std::string& directory) {
  Mem::SharedMemWrapper shm(directory + "/slots", Mem::Access::readOnly);
  std::string reason;
  if (!shm.open(SlotHeader::kCommonSize, false, reason)) return "";
  const auto* base = static_cast<const std::uint8_t*>(shm.base());
  if (SlotHeaderCommon::palvoId(base) == 0 && SlotHeaderCommon::typeName(base).empty()) return "";
  return SlotHeaderCommon::typeName(base);
}

}  // namespace Ploom
