// Base classes of the host's shadows: one software copy of one table instance
// on one chip.
//
// HwShadowBase holds the shadow's identity (name, HwShadowKey, FapRevision),
// the table descriptor it shares with its table and the chip status objects;
// it restricts chip masks to its chip. DirectShadowBase adds the default
// entry (N zero bytes, N = the first memory's entry size), the entity and DMA
// managers, and builds the S-channel write of one entry (schanCmdsWorker).
// DirectKeyBasedShadowBase is the base of memory shadows whose entries live
// in a keyed collection; RegisterKeyBasedShadowBase keeps its entries in the
// table manager's shared RegShadowEntryStorage instead.
#pragma once

#include <cstdint>
#include <vector>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Hardware/Vovu/FapRevision.h"
#include "Hardware/Vovu/Status.h"
#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "SchanAccel/Fapmask.h"
#include "SchanAccel/SchanCmds.h"
#include "Tolvane/EntityManager.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/RegShadowEntryStorage.h"

namespace VovuAsicUtils {

// The memory instances a command covers, first to last (8-bit ids).
struct InstanceRange {
  std::uint8_t first;
  std::uint8_t last;
};

class HwShadowBase : public Orvel::Node {
 public:
  HwShadowBase(Orvel::String name, const HwShadowKey& key, const FapRevision& fapRevision,
               Orvel::Ptr<BcmGroupAddrInfo> descriptor, Orvel::Ptr<Hardware::Vovu::Status> status,
               Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus)
      : name_(std::move(name)),
        key_(key),
        fapRevision_(fapRevision),
        descriptor_(std::move(descriptor)),
        status_(std::move(status)),
        cmdletRequiredStatus_(std::move(cmdletRequiredStatus)) {}

  const Orvel::String& name() const noexcept { return name_; }
  const HwShadowKey& hwShadowKey() const noexcept { return key_; }
  const FapRevision& fapRevision() const noexcept { return fapRevision_; }
  const Orvel::Ptr<BcmGroupAddrInfo>& tableDescriptor() const noexcept { return descriptor_; }
  const Orvel::Ptr<Hardware::Vovu::Status>& status() const noexcept { return status_; }
  const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus() const noexcept {
    return cmdletRequiredStatus_;
  }

  // `fapmask` restricted to the shadow's chip.
  SchanAccel::Fapmask applicableFapmask(const SchanAccel::Fapmask& fapmask) const noexcept {
    SchanAccel::Fapmask mine;
    mine.fapIdIs(key_.fapId());
    mine &= fapmask;
    return mine;
  }
  // One shadow stands for every instance of the table on its chip: a write
  // reaches all instances of the memory.
  bool instanceConvergentShadow() const noexcept { return true; }
  // The instances of `memory` the shadow's commands cover: all of them for an
  // instance-convergent shadow (first id to first + count - 1, in 8 bits),
  // else the shadow's own instance.
  InstanceRange instanceRange(const BcmRegMemInfo& memory) const noexcept;
  bool cmdletRequired() const noexcept { return cmdletRequiredStatus_ && cmdletRequiredStatus_->cmdletRequired(); }

  // The batch that writes the whole shadow to the chips of `downloadFapmask`
  // it covers; null when it covers none of them. `fapType` names the chip
  // type in traces. The shadow does not change.
  virtual Orvel::Ptr<SchanAccel::SchanCmds> download(const Orvel::String& fapType, const FapRevision& fapRevision,
                                                     const SchanAccel::Fapmask& downloadFapmask) const = 0;
  // The batch that writes the default entry wherever a download would write,
  // on the chips of `fapmask` the shadow covers (null when none); then every
  // entry of the shadow is deleted, whatever the batch.
  virtual Orvel::Ptr<SchanAccel::SchanCmds> clearShadow(const FapRevision& fapRevision,
                                                        const SchanAccel::Fapmask& fapmask) = 0;

 private:
  Orvel::String name_;
  HwShadowKey key_;
  FapRevision fapRevision_;
  Orvel::Ptr<BcmGroupAddrInfo> descriptor_;
  Orvel::Ptr<Hardware::Vovu::Status> status_;
  Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus_;
};

// Fills in the address part of `cmd` (see SchanAccel/SchanCmds.h): chips,
// memory id, name, block and base address of the memory's first instance, and
// the instance range.
void addressCmd(SchanAccel::SchanCmd& cmd, const SchanAccel::Fapmask& fapmask, const BcmRegMemInfo& memory,
                InstanceRange instances);

// One DMA bulk write: `count` consecutive entries of `entrySize` bytes, from
// the start of `buffer` (bus address `dmaAddr`), to `memory` at (arrayIndex,
// entryIndex) and on, on instances firstInstance..lastInstance of the chips of
// `fapmask`. The command holds a reference to the buffer. Throws
// Orvel::InvalidInitializeException without a memory or a buffer.
Orvel::Ptr<SchanAccel::SchanCmd> memoryWriteDmamemPoolBulkCmdFactory(
    const SchanAccel::Fapmask& fapmask,
    const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus, std::uint8_t arrayIndex,
    std::uint32_t entryIndex, std::uint16_t entrySize, std::uint64_t dmaAddr, const Orvel::Ptr<BcmRegMemInfo>& memory,
    std::uint8_t firstInstance, std::uint8_t lastInstance, std::uint32_t count,
    const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer>& buffer);

class DirectShadowBase : public HwShadowBase {
 public:
  DirectShadowBase(Orvel::String name, const HwShadowKey& key, const FapRevision& fapRevision,
                   Orvel::Ptr<BcmGroupAddrInfo> descriptor, Orvel::Ptr<Hardware::Vovu::Status> status,
                   Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus,
                   Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager,
                   Orvel::Ptr<Tolvane::EntityManager> entityManager)
      : HwShadowBase(std::move(name), key, fapRevision, std::move(descriptor), std::move(status),
                     std::move(cmdletRequiredStatus)),
        dmaMemPoolManager_(std::move(dmaMemPoolManager)),
        entityManager_(std::move(entityManager)) {}

  const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager() const noexcept {
    return dmaMemPoolManager_;
  }
  const Orvel::Ptr<Tolvane::EntityManager>& entityManager() const noexcept { return entityManager_; }

  // Sets the default entry to entrySize() zero bytes.
  void initDefaultEntry() { defaultEntry_.assign(entrySize(), 0); }
  void cleanupDefaultEntry() noexcept { defaultEntry_ = {}; }
  const std::vector<std::uint8_t>& defaultEntry() const noexcept { return defaultEntry_; }
  // Data bytes of an entry: the entry size of the descriptor's first memory.
  std::uint32_t entrySize() const noexcept;

  // The batch that writes `data` to entry (arrayIndex, entryIndex) on the
  // chips of `fapmask`: one command per memory of the descriptor, covering
  // the memory's instances (see SchanAccel/SchanCmds.h for the format).
  Orvel::Ptr<SchanAccel::SchanCmds> schanCmdsWorker(const SchanAccel::Fapmask& fapmask, const FapRevision& fapRevision,
                                                    std::uint8_t arrayIndex, std::uint32_t entryIndex,
                                                    const std::uint8_t* data, std::size_t size) const;

 private:
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager_;
  Orvel::Ptr<Tolvane::EntityManager> entityManager_;
  std::vector<std::uint8_t> defaultEntry_;
};

class DirectKeyBasedShadowBase : public DirectShadowBase {
 public:
  using DirectShadowBase::DirectShadowBase;
};

class RegisterKeyBasedShadowBase : public DirectShadowBase {
 public:
  RegisterKeyBasedShadowBase(Orvel::String name, const HwShadowKey& key, const FapRevision& fapRevision,
                             Orvel::Ptr<BcmGroupAddrInfo> descriptor, Orvel::Ptr<Hardware::Vovu::Status> status,
                             Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus,
                             Orvel::Ptr<RegShadowEntryStorage> storage, Orvel::String storageName)
      : DirectShadowBase(std::move(name), key, fapRevision, std::move(descriptor), std::move(status),
                         std::move(cmdletRequiredStatus), nullptr, nullptr),
        storage_(std::move(storage)),
        storageName_(std::move(storageName)) {}

  const Orvel::Ptr<RegShadowEntryStorage>& regShadowEntryStorage() const noexcept { return storage_; }
  // The name that enters the storage keys of this shadow's entries.
  const Orvel::String& storageName() const noexcept { return storageName_; }
  // The identity words of the storage key: the revision's major and minor parts.
  std::uint32_t identityWord0() const noexcept { return fapRevision().major(); }
  std::uint32_t identityWord1() const noexcept { return fapRevision().minor(); }
  // The 16-bit word of the storage key: the shadow key's two bytes.
  std::uint16_t keyWord() const noexcept { return hwShadowKey().value(); }
  // The storage key of this shadow's entry `entryIndex`: (revision words,
  // shadow name, shadow key word, array index 0, entry index).
  RegisterShadowPloomEntryKey storageKey(std::uint32_t entryIndex) const;

  // The entry-by-entry download: one single write per entry of the first
  // register's range (a register has one), in ascending order, with the
  // stored data, or the default entry when the entry is absent or `isDelete`.
  // `fapmask` must already be restricted to the shadow's chips.
  Orvel::Ptr<SchanAccel::SchanCmds> downloadWorkerKeyBasedFullEntryByEntry(const FapRevision& fapRevision,
                                                                           const SchanAccel::Fapmask& fapmask,
                                                                           bool isDelete) const;

 private:
  Orvel::Ptr<RegShadowEntryStorage> storage_;
  Orvel::String storageName_;
};

}  // namespace VovuAsicUtils
