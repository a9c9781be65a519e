// Table manager, table bases and table descriptors of the host framework.
#include <algorithm>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

HwCommonTableBase* TableManager::hwTableColl(const HwTableKey& key) const {
  auto it = hwTableColl_.find(key);
  return it == hwTableColl_.end() ? nullptr : it->second;
}

void TableManager::hwTableCollIs(HwCommonTableBase* table) { hwTableColl_[table->hwTableKey()] = table; }

void TableManager::hwTableCollDel(const HwTableKey& key) { hwTableColl_.erase(key); }

const std::vector<Hardware::Block>* TableManager::hwTableShadowInfo(const HwTableKey& key) const {
  auto it = shadowInfo_.find(key);
  return it == shadowInfo_.end() ? nullptr : &it->second.blocks;
}

void TableManager::hwTableShadowInfoIs(const HwTableKey& key, std::vector<Hardware::Block> blocks, const void* owner) {
  ShadowInfo& info = shadowInfo_[key];
  info.blocks = std::move(blocks);
  if (std::find(info.owners.begin(), info.owners.end(), owner) == info.owners.end()) info.owners.push_back(owner);
}

void TableManager::hwTableShadowInfoDel(const HwTableKey& key, const void* owner) {
  auto it = shadowInfo_.find(key);
  if (it == shadowInfo_.end()) return;
  std::erase(it->second.owners, owner);
  if (it->second.owners.empty()) shadowInfo_.erase(it);
}

HwCommonTableBase::HwCommonTableBase(Orvel::String name, HwTableKey key, Orvel::Ptr<TableManager> tableManager)
    : name_(std::move(name)), key_(std::move(key)), tableManager_(std::move(tableManager)) {}

HwCommonTableBase::~HwCommonTableBase() {
  if (tableManager_ && tableManager_->hwTableColl(key_) == this) tableManager_->hwTableCollDel(key_);
}

void HwCommonShadowTableBase::overrideShadowAttributes() {
  if (hwTableManager() && hwTableManager()->auditsDisabled()) shadowAuditableIs(0);
}

void HwDirectTableBase::addHwTableShadowInfo() {
  if (hwTableManager()) hwTableManager()->hwTableShadowInfoIs(hwTableKey(), tableBlocks(), this);
}

void HwDirectTableBase::delHwTableShadowInfo() {
  if (hwTableManager()) hwTableManager()->hwTableShadowInfoDel(hwTableKey(), this);
}

void BcmRegMemInfo::instanceRangeIs(std::uint32_t firstInstanceId, std::uint32_t instanceCount) {
  if (instanceCount < 1 || firstInstanceId + instanceCount - 1 > 0xff) {
    throw Orvel::RangeException(fmt::format(
        "{}: instances {} to {} (count {}) not allowed: the count must be at least 1 and the last id at most 255",
        name_, firstInstanceId, std::int64_t{firstInstanceId} + instanceCount - 1, instanceCount));
  }
  firstInstanceId_ = static_cast<std::uint8_t>(firstInstanceId);
  instanceCount_ = static_cast<std::uint16_t>(instanceCount);
}

void BcmRegMemInfo::instanceInfoIs(const Orvel::Ptr<BcmInstanceInfo>& instance) {
  instances_[instance->instanceId()] = instance;
}

Orvel::Ptr<BcmInstanceInfo> BcmRegMemInfo::instanceInfo(std::uint8_t instanceId) const {
  auto it = instances_.find(instanceId);
  return it == instances_.end() ? nullptr : it->second;
}

void BcmGroupAddrInfo::memInfoIs(const Orvel::Ptr<BcmRegMemInfo>& memory) { memories_[memory->memoryId()] = memory; }

Orvel::Ptr<BcmRegMemInfo> BcmGroupAddrInfo::memInfo(std::uint32_t memoryId) const {
  auto it = memories_.find(memoryId);
  return it == memories_.end() ? nullptr : it->second;
}

Orvel::Ptr<BcmRegMemInfo> BcmGroupAddrInfo::firstMemInfo() const {
  return memories_.empty() ? nullptr : memories_.begin()->second;
}

std::uint64_t BcmGroupAddrInfo::minShadowSize() const noexcept {
  std::uint64_t size = 0;
  for (const auto& [id, memory] : memories_) {
    size = std::max<std::uint64_t>(size, std::uint64_t{memory->arrayCount()} * memory->entryCount());
  }
  return size;
}

}  // namespace VovuAsicUtils
