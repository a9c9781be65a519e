// What the host's read-back of a table is made of.
//
// The host's read table manager hands a reader a request
// (HwReadRequestParameterBase: chip, instance, request type; an array-index
// request adds the array index) and a result container
// (HwTableReadResultContainer), asks it for read commands, executes them (the
// chip answers into the commands' DMA buffers) and hands each completed
// command back to the reader, which decodes the buffer into its per-instance
// result (a HwInstanceReadResultBase) in the container.
//
// A read command is a GenericBulkReadCmdlet: an S-channel command of kind
// memoryBulkRead (entryCount consecutive entries from (arrayIndex,
// entryIndex) of one instance, into the buffer, entry i at offset i x
// entrySize) or registerRead (the register's bytes into the buffer), with the
// HwReadBulkCmdInfo that says what it read and the container it reads for.
#pragma once

#include <cstdint>
#include <map>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/AllocTracker.h"
#include "Orvel/Ptr.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/HwTableKey.h"

namespace VovuAsicUtils {

// What a read request asks for.
enum class HwReadRequestType : std::uint8_t {
  table = 0,       // every array index of the table
  arrayIndex = 1,  // one array index (HwTableArrayIndexRead)
  entry = 2,       // one entry (no reader reads single entries)
};

class HwReadRequestParameterBase : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::HwReadRequestParameterBase")
  HwReadRequestParameterBase(std::uint8_t fapId, std::uint8_t instanceId, std::uint8_t requestType)
      : fapId_(fapId), instanceId_(instanceId), requestType_(requestType) {}

  // 128 stands for every chip of the reader's mask.
  static constexpr std::uint8_t kAllChips = 128;

  std::uint8_t fapId() const noexcept { return fapId_; }
  std::uint8_t instanceId() const noexcept { return instanceId_; }
  // A HwReadRequestType value; other values reach the reader as they are.
  std::uint8_t requestType() const noexcept { return requestType_; }
  // (chip, instance) as a shadow key.
  HwShadowKey hwShadowKey() const noexcept { return HwShadowKey(fapId_, instanceId_); }

 private:
  std::uint8_t fapId_;
  std::uint8_t instanceId_;
  std::uint8_t requestType_;
};

class HwTableArrayIndexRead final : public HwReadRequestParameterBase {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::HwTableArrayIndexRead")
  HwTableArrayIndexRead(std::uint8_t fapId, std::uint8_t instanceId, std::uint8_t arrayIndex)
      : HwReadRequestParameterBase(fapId, instanceId, static_cast<std::uint8_t>(HwReadRequestType::arrayIndex)),
        arrayIndex_(arrayIndex) {}
  std::uint8_t arrayIndex() const noexcept { return arrayIndex_; }

 private:
  std::uint8_t arrayIndex_;
};

// The entries read back from one chip instance; each reader derives its own.
class HwInstanceReadResultBase : public Orvel::Node {
 public:
  HwInstanceReadResultBase(const HwShadowKey& hwShadowKey, const FapRevision& fapRevision)
      : hwShadowKey_(hwShadowKey), fapRevision_(fapRevision) {}
  const HwShadowKey& hwShadowKey() const noexcept { return hwShadowKey_; }
  const FapRevision& fapRevision() const noexcept { return fapRevision_; }

 private:
  HwShadowKey hwShadowKey_;
  FapRevision fapRevision_;
};

// The per-instance results of one read, by HwShadowKey.
class HwTableReadResultContainer : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::HwTableReadResultContainer")

  // Holds `result` under its own key, replacing what was there.
  void perInstanceReadResultIs(const Orvel::Ptr<HwInstanceReadResultBase>& result) {
    results_[result->hwShadowKey()] = result;
  }
  // The result of `key`, or null.
  Orvel::Ptr<HwInstanceReadResultBase> perInstanceReadResult(const HwShadowKey& key) const {
    auto it = results_.find(key);
    return it == results_.end() ? nullptr : it->second;
  }
  const std::map<HwShadowKey, Orvel::Ptr<HwInstanceReadResultBase>>& perInstanceReadResultColl() const noexcept {
    return results_;
  }

 private:
  std::map<HwShadowKey, Orvel::Ptr<HwInstanceReadResultBase>> results_;
};

// What one bulk read command read: where, and into which buffer.
class HwReadBulkCmdInfo final : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::HwReadBulkCmdInfo")
  HwReadBulkCmdInfo(std::uint8_t fapId, std::uint8_t instanceId, const FapRevision& fapRevision,
                    Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> dmaMemPoolBuffer, std::uint8_t arrayIndex,
                    std::uint32_t firstEntryIndex, std::uint32_t numEntries)
      : fapId_(fapId),
        instanceId_(instanceId),
        fapRevision_(fapRevision),
        dmaMemPoolBuffer_(std::move(dmaMemPoolBuffer)),
        arrayIndex_(arrayIndex),
        firstEntryIndex_(firstEntryIndex),
        numEntries_(numEntries) {}

  std::uint8_t fapId() const noexcept { return fapId_; }
  std::uint8_t instanceId() const noexcept { return instanceId_; }
  const FapRevision& fapRevision() const noexcept { return fapRevision_; }
  const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer>& dmaMemPoolBuffer() const noexcept { return dmaMemPoolBuffer_; }
  std::uint8_t arrayIndex() const noexcept { return arrayIndex_; }
  std::uint32_t firstEntryIndex() const noexcept { return firstEntryIndex_; }
  std::uint32_t numEntries() const noexcept { return numEntries_; }

 private:
  std::uint8_t fapId_;
  std::uint8_t instanceId_;
  FapRevision fapRevision_;
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> dmaMemPoolBuffer_;
  std::uint8_t arrayIndex_;
  std::uint32_t firstEntryIndex_;
  std::uint32_t numEntries_;
};

// A read command with what it reads and the container it reads for.
class GenericBulkReadCmdlet final : public SchanAccel::SchanCmd {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::GenericBulkReadCmdlet")
  GenericBulkReadCmdlet(Orvel::Ptr<const HwReadBulkCmdInfo> bulkInfo, Orvel::Ptr<HwTableReadResultContainer> container)
      : bulkInfo_(std::move(bulkInfo)), container_(std::move(container)) {}

  const Orvel::Ptr<const HwReadBulkCmdInfo>& bulkInfo() const noexcept { return bulkInfo_; }
  const Orvel::Ptr<HwTableReadResultContainer>& container() const noexcept { return container_; }

 private:
  Orvel::Ptr<const HwReadBulkCmdInfo> bulkInfo_;
  Orvel::Ptr<HwTableReadResultContainer> container_;
};

}  // namespace VovuAsicUtils
