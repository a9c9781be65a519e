// Base classes of the readers that read a table back from the chip.
//
// A reader answers the host's read requests with read commands
// (tableReadSchanCmds) and decodes each completed command into the request's
// result container (processReadComplete); see VovuAsicUtils/HwTableRead.h for
// the request, command and result types. A reader reads the chips of its
// mask (fapmaskIs; empty until the host sets it).
//
// The workers build the commands: directReadSchanCmdsWorker one bulk read per
// array index read, per chip of the mask and per instance of the memory, each
// into a DMA buffer of its own that holds the array index's entries back to
// back; regReadSchanCmdsWorker one register read per chip and instance.
#pragma once

#include <cstdint>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Hardware/Vovu/Status.h"
#include "Orvel/Ptr.h"
#include "SchanAccel/Fapmask.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/HwTableRead.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

class HwTableReaderBase : public Orvel::Node {
 public:
  HwTableReaderBase(HwTableKey key, Orvel::Ptr<ReadTableManager> readTableManager)
      : key_(std::move(key)), readTableManager_(std::move(readTableManager)) {}

  const HwTableKey& hwTableKey() const noexcept { return key_; }
  const Orvel::Ptr<ReadTableManager>& readTableManager() const noexcept { return readTableManager_; }
  // The chips the reader reads.
  const SchanAccel::Fapmask& fapmask() const noexcept { return fapmask_; }
  void fapmaskIs(const SchanAccel::Fapmask& fapmask) noexcept { fapmask_ = fapmask; }
  // The reader's chips, restricted to `fapId` unless it is
  // HwReadRequestParameterBase::kAllChips.
  SchanAccel::Fapmask chipMask(std::uint8_t fapId) const noexcept {
    SchanAccel::Fapmask mask = fapmask_;
    if (fapId != HwReadRequestParameterBase::kAllChips) {
      SchanAccel::Fapmask chip;
      chip.fapIdIs(fapId, true);
      mask &= chip;
    }
    return mask;
  }

  // The instance ids the reader reads on each chip.
  virtual std::uint8_t minInstanceId() const = 0;
  virtual std::uint8_t maxInstanceId() const = 0;
  // The commands that read what `request` asks for into `container`; an empty
  // batch for a request type the reader does not handle.
  virtual Orvel::Ptr<SchanAccel::SchanCmds> tableReadSchanCmds(
      const Orvel::Ptr<const HwReadRequestParameterBase>& request,
      const Orvel::Ptr<HwTableReadResultContainer>& container) = 0;
  // Decodes one completed command of a batch tableReadSchanCmds returned.
  virtual void processReadComplete(const Orvel::Ptr<const SchanAccel::SchanCmd>& cmd) = 0;

 private:
  HwTableKey key_;
  Orvel::Ptr<ReadTableManager> readTableManager_;
  SchanAccel::Fapmask fapmask_;
};

// Readers of chip memories.
class DirectTableReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;

  virtual Orvel::Ptr<SchanAccel::SchanCmds> directReadSchanCmds(
      const HwShadowKey& key, bool allArrayIndices, std::uint8_t arrayIndex,
      const Orvel::Ptr<HwTableReadResultContainer>& container) = 0;

  // Bulk reads of `memory` on the chips of `fapmask`: every array index of the
  // memory (or `arrayIndex` alone), every instance of the memory (the reader
  // reads whole chips; `instanceId` is the requester's), each array index
  // whole, into a DMA buffer from `dmaMemPoolManager`. Throws
  // Orvel::MemoryResourceException when the pool has no DMA memory for one.
  static Orvel::Ptr<SchanAccel::SchanCmds> directReadSchanCmdsWorker(
      const HwTableReaderBase& reader, const SchanAccel::Fapmask& fapmask, std::uint8_t instanceId,
      bool allArrayIndices, std::uint8_t arrayIndex, const Orvel::Ptr<HwTableReadResultContainer>& container,
      const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
      const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
      const Orvel::Ptr<BcmRegMemInfo>& memory);
};

// Readers of chip registers.
class RegisterReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;

  // Register reads of `memory` (a register) on the chips of `fapmask`, one
  // per chip and instance, each into a DMA buffer of the register's size.
  // `fullTable` and `entryIndex` name what the requester wants; a register
  // has one entry. Throws as directReadSchanCmdsWorker.
  static Orvel::Ptr<SchanAccel::SchanCmds> regReadSchanCmdsWorker(
      const HwTableReaderBase& reader, const SchanAccel::Fapmask& fapmask, std::uint8_t instanceId, bool fullTable,
      std::uint32_t entryIndex, const Orvel::Ptr<HwTableReadResultContainer>& container,
      const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
      const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
      const Orvel::Ptr<BcmRegMemInfo>& memory);
};

}  // namespace VovuAsicUtils
