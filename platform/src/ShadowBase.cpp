// Shadow bases, the register entry storage's strings, shadow paths and the
// chip-description values of the host's table framework.
#include <algorithm>
#include <atomic>

#include <fmt/format.h>

#include "Hardware/Vovu/DestinationId.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/ShadowBase.h"
#include "VovuAsicUtils/TableManager.h"
#include "VovuPPExport/EgressProfiles.h"

namespace VovuAsicUtils {

TableManager::TableManager(Orvel::String entityManagerName)
    : status_(new Hardware::Vovu::Status), cmdletRequiredStatus_(new Hardware::Vovu::VovuCmdletRequiredStatus),
      dmaMemPoolManager_(new DmaMemPoolManager::DmaMemPoolManager),
      entityManager_(new Tolvane::EntityManager(std::move(entityManagerName))),
      regShadowEntryStorage_(new RegShadowEntryStorage) {}

std::uint32_t DirectShadowBase::entrySize() const noexcept {
  if (!tableDescriptor()) return 0;
  const Orvel::Ptr<BcmRegMemInfo> first = tableDescriptor()->firstMemInfo();
  return first ? first->entrySize() : 0;
}

Orvel::Ptr<SchanAccel::SchanCmds> DirectShadowBase::schanCmdsWorker(const SchanAccel::Fapmask& fapmask,
                                                                    const FapRevision& /*fapRevision*/,
                                                                    std::uint8_t arrayIndex, std::uint32_t entryIndex,
                                                                    const std::uint8_t* data, std::size_t size) const {
  Orvel::Ptr<SchanAccel::SchanCmds> cmds = SchanAccel::schanCmdsFactory();
  if (!tableDescriptor()) return cmds;
  for (const auto& [memoryId, memory] : tableDescriptor()->memInfoColl()) {
    SchanAccel::SchanCmd cmd;
    cmd.kind = memory->isRegister() ? SchanAccel::SchanCmd::Kind::registerWrite : SchanAccel::SchanCmd::Kind::memoryWrite;
    cmd.fapmask = fapmask;
    cmd.memoryId = memoryId;
    cmd.name = memory->name();
    if (const Orvel::Ptr<BcmInstanceInfo> instance = memory->instanceInfo(memory->firstInstanceId())) {
      cmd.block = instance->block();
      cmd.baseAddress = instance->baseAddress();
    }
    if (instanceConvergentShadow()) {
      cmd.firstInstance = memory->firstInstanceId();
      cmd.instanceCount = memory->instanceCount();
    } else {
      cmd.firstInstance = hwShadowKey().instanceId();
      cmd.instanceCount = 1;
    }
    cmd.arrayIndex = arrayIndex;
    cmd.entryIndex = entryIndex;
    cmd.data.assign(data, data + std::min<std::size_t>(size, memory->entrySize()));
    cmd.data.resize(memory->entrySize(), 0);
    cmds->cmdEnq(std::move(cmd));
  }
  return cmds;
}

FString101::FString101(std::string_view text) {
  if (text.size() > kMax) {
    throw Orvel::RangeException(fmt::format("FString101: length {} exceeds {} not allowed", text.size(), kMax));
  }
  std::copy(text.begin(), text.end(), chars_.begin());
  size_ = static_cast<std::uint8_t>(text.size());
}

std::string Constants::shadowTblPloomPath(std::string_view revisionText, std::string_view tableTypeName,
                                          std::string_view shadowKeyText) {
  std::string type;
  for (std::size_t i = 0; i < tableTypeName.size(); ++i) {
    if (tableTypeName.substr(i, 2) == "::") {
      type += '/';
      ++i;
    } else {
      type += tableTypeName[i];
    }
  }
  return fmt::format("ShadowTbl/{}/{}/{}", revisionText, type, shadowKeyText);
}

}  // namespace VovuAsicUtils

namespace Hardware::Vovu {

std::uint64_t DestinationId::encodedDestId(FapType /*fapType*/) const noexcept {
  return std::uint64_t{type} << 16 | std::uint64_t{subId & 0xf} << 12 | (id & 0xfff) |
         (isMulticast ? std::uint64_t{1} << 20 : 0);
}

}  // namespace Hardware::Vovu

namespace VovuPPExport {

namespace {
std::atomic<int> profileOverride{-1};
}

std::uint8_t egress_fwd_action_profile_value(Hardware::ChipType /*chipType*/, std::uint32_t profile) {
  const int forced = profileOverride.load(std::memory_order_relaxed);
  return forced >= 0 ? static_cast<std::uint8_t>(forced) : static_cast<std::uint8_t>(profile);
}

void profileValueOverrideIs(std::optional<std::uint8_t> value) {
  profileOverride.store(value ? *value : -1, std::memory_order_relaxed);
}

}  // namespace VovuPPExport
