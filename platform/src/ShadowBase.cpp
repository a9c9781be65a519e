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
    : status_(new Hardware::Vovu::Status),
      cmdletRequiredStatus_(new Hardware::Vovu::VovuCmdletRequiredStatus),
      dmaMemPoolManager_(new DmaMemPoolManager::DmaMemPoolManager),
      entityManager_(new Tolvane::EntityManager(std::move(entityManagerName))),
      regShadowEntryStorage_(new RegShadowEntryStorage) {}

std::uint32_t DirectShadowBase::entrySize() const noexcept {
  if (!tableDescriptor()) return 0;
  const Orvel::Ptr<BcmRegMemInfo> first = tableDescriptor()->firstMemInfo();
  return first ? first->entrySize() : 0;
}

InstanceRange HwShadowBase::instanceRange(const BcmRegMemInfo& memory) const noexcept {
  if (instanceConvergentShadow()) return {memory.firstInstanceId(), memory.lastInstanceId()};
  return {hwShadowKey().instanceId(), hwShadowKey().instanceId()};
}

void addressCmd(SchanAccel::SchanCmd& cmd, const SchanAccel::Fapmask& fapmask, const BcmRegMemInfo& memory,
                InstanceRange instances) {
  cmd.fapmask = fapmask;
  cmd.memoryId = memory.memoryId();
  cmd.name = memory.name();
  if (const Orvel::Ptr<BcmInstanceInfo> instance = memory.instanceInfo(memory.firstInstanceId())) {
    cmd.block = instance->block();
    cmd.baseAddress = instance->baseAddress();
  }
  cmd.firstInstance = instances.first;
  cmd.instanceCount = static_cast<std::uint8_t>(instances.last - instances.first) + 1;
}

Orvel::Ptr<SchanAccel::SchanCmds> DirectShadowBase::schanCmdsWorker(const SchanAccel::Fapmask& fapmask,
                                                                    const FapRevision& /*fapRevision*/,
                                                                    std::uint8_t arrayIndex, std::uint32_t entryIndex,
                                                                    const std::uint8_t* data, std::size_t size) const {
  Orvel::Ptr<SchanAccel::SchanCmds> cmds = SchanAccel::schanCmdsFactory();
  if (!tableDescriptor()) return cmds;
  for (const auto& [memoryId, memory] : tableDescriptor()->memInfoColl()) {
    Orvel::Ptr<SchanAccel::SchanCmd> cmd = SchanAccel::schanCmdFactory();
    cmd->kind =
        memory->isRegister() ? SchanAccel::SchanCmd::Kind::registerWrite : SchanAccel::SchanCmd::Kind::memoryWrite;
    addressCmd(*cmd, fapmask, *memory, instanceRange(*memory));
    cmd->cmdletRequired = cmdletRequired();
    cmd->arrayIndex = arrayIndex;
    cmd->entryIndex = entryIndex;
    cmd->data.assign(data, data + std::min<std::size_t>(size, memory->entrySize()));
    cmd->data.resize(memory->entrySize(), 0);
    cmds->cmdEnq(std::move(cmd));
  }
  return cmds;
}

Orvel::Ptr<SchanAccel::SchanCmd> memoryWriteDmamemPoolBulkCmdFactory(
    const SchanAccel::Fapmask& fapmask,
    const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus, std::uint8_t arrayIndex,
    std::uint32_t entryIndex, std::uint16_t entrySize, std::uint64_t dmaAddr, const Orvel::Ptr<BcmRegMemInfo>& memory,
    std::uint8_t firstInstance, std::uint8_t lastInstance, std::uint32_t count,
    const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer>& buffer) {
  if (!memory) throw Orvel::InvalidInitializeException("memoryWriteDmamemPoolBulkCmdFactory: no memory description");
  if (!buffer) throw Orvel::InvalidInitializeException("memoryWriteDmamemPoolBulkCmdFactory: no buffer");
  Orvel::Ptr<SchanAccel::SchanCmd> cmd = SchanAccel::schanCmdFactory();
  cmd->kind = SchanAccel::SchanCmd::Kind::memoryBulkWrite;
  addressCmd(*cmd, fapmask, *memory, InstanceRange{firstInstance, lastInstance});
  cmd->cmdletRequired = cmdletRequiredStatus && cmdletRequiredStatus->cmdletRequired();
  cmd->arrayIndex = arrayIndex;
  cmd->entryIndex = entryIndex;
  cmd->entryCount = count;
  cmd->entrySize = entrySize;
  cmd->dmaAddr = dmaAddr;
  cmd->buffer = buffer;
  return cmd;
}

RegisterShadowPloomEntryKey RegisterKeyBasedShadowBase::storageKey(std::uint32_t entryIndex) const {
  RegisterShadowPloomEntryKey key;
  key.word0 = identityWord0();
  key.word1 = identityWord1();
  key.name = FString101(storageName().view());
  key.word2 = keyWord();
  key.arrayIndex = 0;
  key.entryIndex = entryIndex;
  return key;
}

Orvel::Ptr<SchanAccel::SchanCmds> RegisterKeyBasedShadowBase::downloadWorkerKeyBasedFullEntryByEntry(
    const FapRevision& fapRevision, const SchanAccel::Fapmask& fapmask, bool isDelete) const {
  Orvel::Ptr<SchanAccel::SchanCmds> result = SchanAccel::schanCmdsFactory();
  const Orvel::Ptr<BcmRegMemInfo> first = tableDescriptor() ? tableDescriptor()->firstMemInfo() : nullptr;
  if (!first) return result;
  const std::uint64_t end = std::uint64_t{first->firstEntryIndex()} + first->entryCount();
  for (std::uint64_t index = first->firstEntryIndex(); index < end; ++index) {
    const auto entryIndex = static_cast<std::uint32_t>(index);
    const RegisterShadowPloomEntry* stored =
        isDelete || !storage_ ? nullptr : storage_->entryColl(storageKey(entryIndex));
    const std::uint8_t* data = stored ? stored->data.data() : defaultEntry().data();
    const std::size_t size = stored ? first->entrySize() : defaultEntry().size();
    SchanAccel::cmdsMove(*result, schanCmdsWorker(fapmask, fapRevision, 0, entryIndex, data, size));
  }
  return result;
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
