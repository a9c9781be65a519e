// The read workers of the host's reader bases: one read command per array
// index (or register), chip and instance, each with its own DMA buffer.
#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "VovuAsicUtils/HwTableReaderBase.h"
#include "VovuAsicUtils/ShadowBase.h"

namespace VovuAsicUtils {
namespace {

// One read of `count` entries of `memory` from (arrayIndex, first entry), on
// one chip and instance, into a new buffer.
Orvel::Ptr<SchanAccel::SchanCmd> readCmd(SchanAccel::SchanCmd::Kind kind, const HwTableReaderBase& reader,
                                         std::uint8_t fapId, std::uint8_t instance, std::uint8_t arrayIndex,
                                         const Orvel::Ptr<HwTableReadResultContainer>& container,
                                         DmaMemPoolManager::DmaMemPoolManager& pool, bool cmdletRequired,
                                         const BcmRegMemInfo& memory) {
  const std::uint32_t count = kind == SchanAccel::SchanCmd::Kind::registerRead ? 1 : memory.entryCount();
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> buffer = pool.buffer(count * memory.entrySize());
  if (!buffer->isDmaMemory()) {
    throw Orvel::MemoryResourceException(
        fmt::format("no DMA memory to read {} of chip {} instance {} into", memory.name().view(), fapId, instance));
  }
  Orvel::Ptr<const HwReadBulkCmdInfo> info(new HwReadBulkCmdInfo(fapId, instance, reader.hwTableKey().fapRevision(),
                                                                 buffer, arrayIndex, memory.firstEntryIndex(), count));
  Orvel::Ptr<GenericBulkReadCmdlet> cmd(new GenericBulkReadCmdlet(info, container));
  cmd->kind = kind;
  SchanAccel::Fapmask chip;
  chip.fapIdIs(fapId);
  addressCmd(*cmd, chip, memory, InstanceRange{instance, instance});
  cmd->cmdletRequired = cmdletRequired;
  cmd->arrayIndex = arrayIndex;
  cmd->entryIndex = memory.firstEntryIndex();
  cmd->entryCount = count;
  cmd->entrySize = memory.entrySize();
  cmd->dmaAddr = buffer->dmaAddrInfo().dmaAddr;
  cmd->buffer = buffer;
  return cmd;
}

// Reads of array indices [firstArray, endArray) of `memory`, one command per
// chip of `fapmask`, instance of the memory and array index.
Orvel::Ptr<SchanAccel::SchanCmds> readSchanCmds(
    SchanAccel::SchanCmd::Kind kind, const HwTableReaderBase& reader, const SchanAccel::Fapmask& fapmask,
    unsigned firstArray, unsigned endArray, const Orvel::Ptr<HwTableReadResultContainer>& container,
    const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& pool,
    const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
    const Orvel::Ptr<BcmRegMemInfo>& memory) {
  if (!pool) throw Orvel::InvalidInitializeException("a table read needs a DMA memory pool");
  if (!memory) throw Orvel::InvalidInitializeException("a table read needs a memory description");
  const bool cmdletRequired = cmdletRequiredStatus && cmdletRequiredStatus->cmdletRequired();
  Orvel::Ptr<SchanAccel::SchanCmds> cmds = SchanAccel::schanCmdsFactory();
  for (unsigned id = 0; id < 256; ++id) {
    if (!fapmask.fapId(static_cast<std::uint8_t>(id))) continue;
    for (unsigned i = 0; i < memory->instanceCount(); ++i) {
      const auto instance = static_cast<std::uint8_t>(memory->firstInstanceId() + i);
      for (unsigned a = firstArray; a < endArray; ++a) {
        cmds->cmdEnq(readCmd(kind, reader, static_cast<std::uint8_t>(id), instance, static_cast<std::uint8_t>(a),
                             container, *pool, cmdletRequired, *memory));
      }
    }
  }
  return cmds;
}

}  // namespace

Orvel::Ptr<SchanAccel::SchanCmds> DirectTableReaderBase::directReadSchanCmdsWorker(
    const HwTableReaderBase& reader, const SchanAccel::Fapmask& fapmask, std::uint8_t /*instanceId*/,
    bool allArrayIndices, std::uint8_t arrayIndex, const Orvel::Ptr<HwTableReadResultContainer>& container,
    const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
    const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
    const Orvel::Ptr<BcmRegMemInfo>& memory) {
  const unsigned first = allArrayIndices && memory ? memory->firstArrayIndex() : arrayIndex;
  const unsigned end = allArrayIndices && memory ? first + memory->arrayCount() : first + 1;
  return readSchanCmds(SchanAccel::SchanCmd::Kind::memoryBulkRead, reader, fapmask, first, end, container,
                       dmaMemPoolManager, cmdletRequiredStatus, memory);
}

Orvel::Ptr<SchanAccel::SchanCmds> RegisterReaderBase::regReadSchanCmdsWorker(
    const HwTableReaderBase& reader, const SchanAccel::Fapmask& fapmask, std::uint8_t /*instanceId*/,
    bool /*fullTable*/, std::uint32_t /*entryIndex*/, const Orvel::Ptr<HwTableReadResultContainer>& container,
    const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
    const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
    const Orvel::Ptr<BcmRegMemInfo>& memory) {
  return readSchanCmds(SchanAccel::SchanCmd::Kind::registerRead, reader, fapmask, 0, 1, container, dmaMemPoolManager,
                       cmdletRequiredStatus, memory);
}

}  // namespace VovuAsicUtils
