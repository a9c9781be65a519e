#include "VovuAsicUtils/TableDescription.h"

#include <algorithm>

namespace bcm88490_a0::catalogue {

void populateDescriptor(VovuAsicUtils::BcmGroupAddrInfo& descriptor, const TableDescription& description) {
  for (std::uint32_t id = 0; id < description.memories.size(); ++id) {
    const MemoryDescription& m = description.memories[id];
    Orvel::Ptr<VovuAsicUtils::BcmRegMemInfo> created;
    if (description.kind == TableKind::reg) {
      created = Orvel::Ptr<VovuAsicUtils::BcmRegMemInfo>(new VovuAsicUtils::BcmRegInfo(id));
    } else {
      created = Orvel::Ptr<VovuAsicUtils::BcmRegMemInfo>(new VovuAsicUtils::BcmMemInfo(id));
    }
    descriptor.memInfoIs(created);

    Orvel::Ptr<VovuAsicUtils::BcmRegMemInfo> memory = descriptor.memInfo(id);
    memory->nameIs(m.name);
    memory->firstArrayIndexIs(m.firstArrayIndex);
    memory->arrayCountIs(m.arrayCount);
    memory->firstEntryIndexIs(m.firstEntryIndex);
    memory->entryCountIs(m.entryCount);
    memory->dmaEntryCountIs(m.entryCount);
    memory->entrySizeIs(m.entrySize);
    memory->dmaEntrySizeIs(m.entrySize);
    memory->instanceRangeIs(m.firstInstanceId, m.instanceCount);

    memory->instanceInfoIs(Orvel::Ptr<VovuAsicUtils::BcmInstanceInfo>(new VovuAsicUtils::BcmInstanceInfo(0)));
    Orvel::Ptr<VovuAsicUtils::BcmInstanceInfo> instance = memory->instanceInfoColl().begin()->second;
    instance->addressOffsetIs(0);
    instance->blockIs(m.block);
    instance->broadcastIs(0);
    instance->baseAddressIs(m.baseAddress);
  }
}

const TableDescription* table(std::string_view name) {
  auto all = tables();
  auto it = std::find_if(all.begin(), all.end(), [&](const TableDescription* t) { return name == t->name; });
  return it == all.end() ? nullptr : *it;
}

}  // namespace bcm88490_a0::catalogue

extern "C" const bcm88490_a0::catalogue::TableDescription* const* bcm88490_a0_catalogue(std::size_t* count) {
  auto all = bcm88490_a0::catalogue::tables();
  if (count) *count = all.size();
  return all.data();
}
