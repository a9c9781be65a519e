// Table descriptors: where a table's entries live on the chip.
//
// A BcmGroupAddrInfo (one per table, named after the table's group) holds one
// memory description per chip memory or register the table drives, keyed by
// memory id; each memory description holds its instance descriptions, keyed by
// instance id. The S-channel workers read these numbers to address entries.
#pragma once

#include <cstdint>
#include <map>

#include "Orvel/Ptr.h"
#include "Orvel/String.h"

namespace VovuAsicUtils {

// One instance of a memory on the chip.
class BcmInstanceInfo : public Orvel::Node {
 public:
  explicit BcmInstanceInfo(std::uint8_t instanceId) : instanceId_(instanceId) {}
  std::uint8_t instanceId() const noexcept { return instanceId_; }

  // Offset added to the base address for this instance.
  std::uint32_t addressOffset() const noexcept { return addressOffset_; }
  void addressOffsetIs(std::uint32_t v) noexcept { addressOffset_ = v; }
  // Block the S-channel command is addressed to.
  std::uint32_t block() const noexcept { return block_; }
  void blockIs(std::uint32_t v) noexcept { block_ = v; }
  // 1 when one write reaches every instance of the memory at once.
  std::uint8_t broadcast() const noexcept { return broadcast_; }
  void broadcastIs(std::uint8_t v) noexcept { broadcast_ = v; }
  // Address of entry 0 of array index 0 within the block.
  std::uint32_t baseAddress() const noexcept { return baseAddress_; }
  void baseAddressIs(std::uint32_t v) noexcept { baseAddress_ = v; }

 private:
  std::uint8_t instanceId_;
  std::uint32_t addressOffset_ = 0;
  std::uint32_t block_ = 0;
  std::uint8_t broadcast_ = 0;
  std::uint32_t baseAddress_ = 0;
};

// A chip memory or register: its index ranges, entry size and instances.
class BcmRegMemInfo : public Orvel::Node {
 public:
  explicit BcmRegMemInfo(std::uint32_t memoryId) : memoryId_(memoryId) {}
  virtual bool isRegister() const noexcept = 0;

  std::uint32_t memoryId() const noexcept { return memoryId_; }
  const Orvel::String& name() const noexcept { return name_; }
  void nameIs(Orvel::String name) { name_ = std::move(name); }

  std::uint8_t firstArrayIndex() const noexcept { return firstArrayIndex_; }
  void firstArrayIndexIs(std::uint8_t v) noexcept { firstArrayIndex_ = v; }
  std::uint8_t arrayCount() const noexcept { return arrayCount_; }
  void arrayCountIs(std::uint8_t v) noexcept { arrayCount_ = v; }
  std::uint32_t firstEntryIndex() const noexcept { return firstEntryIndex_; }
  void firstEntryIndexIs(std::uint32_t v) noexcept { firstEntryIndex_ = v; }
  std::uint32_t entryCount() const noexcept { return entryCount_; }
  void entryCountIs(std::uint32_t v) noexcept { entryCount_ = v; }
  // Entries one DMA bulk write of an array index covers.
  std::uint32_t dmaEntryCount() const noexcept { return dmaEntryCount_; }
  void dmaEntryCountIs(std::uint32_t v) noexcept { dmaEntryCount_ = v; }
  std::uint16_t entrySize() const noexcept { return entrySize_; }
  void entrySizeIs(std::uint16_t v) noexcept { entrySize_ = v; }
  // Bytes an entry takes in a DMA buffer.
  std::uint32_t dmaEntrySize() const noexcept { return dmaEntrySize_; }
  void dmaEntrySizeIs(std::uint32_t v) noexcept { dmaEntrySize_ = v; }

  // Instance ids first .. first + count - 1 exist on every chip. Throws
  // Orvel::RangeException unless count >= 1 and the last id fits in 8 bits.
  std::uint8_t firstInstanceId() const noexcept { return firstInstanceId_; }
  std::uint16_t instanceCount() const noexcept { return instanceCount_; }
  std::uint8_t lastInstanceId() const noexcept {
    return static_cast<std::uint8_t>(firstInstanceId_ + instanceCount_ - 1);
  }
  void instanceRangeIs(std::uint32_t firstInstanceId, std::uint32_t instanceCount);

  void instanceInfoIs(const Orvel::Ptr<BcmInstanceInfo>& instance);
  Orvel::Ptr<BcmInstanceInfo> instanceInfo(std::uint8_t instanceId) const;
  const std::map<std::uint8_t, Orvel::Ptr<BcmInstanceInfo>>& instanceInfoColl() const noexcept { return instances_; }

 private:
  std::uint32_t memoryId_;
  Orvel::String name_;
  std::uint8_t firstArrayIndex_ = 0;
  std::uint8_t arrayCount_ = 0;
  std::uint32_t firstEntryIndex_ = 0;
  std::uint32_t entryCount_ = 0;
  std::uint32_t dmaEntryCount_ = 0;
  std::uint16_t entrySize_ = 0;
  std::uint32_t dmaEntrySize_ = 0;
  std::uint8_t firstInstanceId_ = 0;
  std::uint16_t instanceCount_ = 1;
  std::map<std::uint8_t, Orvel::Ptr<BcmInstanceInfo>> instances_;
};

class BcmMemInfo final : public BcmRegMemInfo {
 public:
  using BcmRegMemInfo::BcmRegMemInfo;
  bool isRegister() const noexcept override { return false; }
};

class BcmRegInfo final : public BcmRegMemInfo {
 public:
  using BcmRegMemInfo::BcmRegMemInfo;
  bool isRegister() const noexcept override { return true; }
};

class BcmGroupAddrInfo : public Orvel::Node {
 public:
  explicit BcmGroupAddrInfo(Orvel::String name) : name_(std::move(name)) {}

  const Orvel::String& name() const noexcept { return name_; }
  void memInfoIs(const Orvel::Ptr<BcmRegMemInfo>& memory);
  Orvel::Ptr<BcmRegMemInfo> memInfo(std::uint32_t memoryId) const;
  const std::map<std::uint32_t, Orvel::Ptr<BcmRegMemInfo>>& memInfoColl() const noexcept { return memories_; }
  // The memory with the lowest id, or null.
  Orvel::Ptr<BcmRegMemInfo> firstMemInfo() const;

  // Entries a shadow of this group needs room for: the largest
  // arrayCount x entryCount of its memories.
  std::uint64_t minShadowSize() const noexcept;

 private:
  Orvel::String name_;
  std::map<std::uint32_t, Orvel::Ptr<BcmRegMemInfo>> memories_;
};

}  // namespace VovuAsicUtils
