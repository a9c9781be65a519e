// DmaMemPoolManager: the host's pool of DMA-able memory that shadows download
// through.
//
// A DmaMemPoolBuffer is one reference-counted piece of the pool. A DMA-backed
// buffer has bufSize() bytes of memory, a write cursor (vaCursor(), advanced
// with incVaCursor) and the DMA address the chip reads it from. A buffer that
// is not DMA-backed (the pool is exhausted, or runs without DMA memory) has no
// memory at all; whoever asked for it writes without DMA instead.
//
// The pool holds at most `poolLimit` DMA-backed buffers at a time. A buffer's
// slot (its memory and its DMA address) goes back to the pool only when the
// last reference to the buffer goes, so a bulk command that holds its buffer
// keeps the data it will write: the pool never hands that memory out again
// while the command exists. Buffers keep their manager alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Orvel/AllocTracker.h"
#include "Orvel/Node.h"
#include "Orvel/Ptr.h"

namespace DmaMemPoolManager {

class DmaMemPoolManager;

// Where the chip finds a buffer's memory.
struct DmaAddrInfo {
  std::uint64_t dmaAddr = 0;  // bus address of the buffer's first byte
  std::uint32_t slot = 0;     // the pool slot the buffer occupies
  std::uint32_t size = 0;     // bytes

  // "dmaAddr=0x100000000 slot=0 size=4096"
  std::string toString() const;
};

class DmaMemPoolBuffer : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("DmaMemPoolManager::DmaMemPoolBuffer")

  // True when the buffer is backed by DMA memory.
  bool isDmaMemory() const noexcept { return memory_ != nullptr; }
  // Size in bytes; 0 for a buffer without DMA memory.
  std::uint32_t bufSize() const noexcept { return info_.size; }
  // The first byte of the buffer, and the next byte to write. Null without DMA memory.
  std::uint8_t* va() const noexcept { return memory_; }
  std::uint8_t* vaCursor() const noexcept { return memory_ ? memory_ + cursor_ : nullptr; }
  // Advances the cursor; throws Orvel::RangeException past the buffer's end.
  void incVaCursor(std::uint32_t bytes);
  // Bytes written so far (the cursor's offset).
  std::uint32_t used() const noexcept { return cursor_; }
  const DmaAddrInfo& dmaAddrInfo() const noexcept { return info_; }
  // "DmaMemPoolBuffer(dmaAddr=0x... slot=N size=N used=N)", or "DmaMemPoolBuffer(no DMA memory)".
  std::string toString() const;

  // A buffer without DMA memory.
  static Orvel::Ptr<DmaMemPoolBuffer> withoutDmaMemory();

  ~DmaMemPoolBuffer() override;

 private:
  friend class DmaMemPoolManager;
  DmaMemPoolBuffer(Orvel::Ptr<DmaMemPoolManager> manager, std::uint8_t* memory, DmaAddrInfo info);

  Orvel::Ptr<DmaMemPoolManager> manager_;  // null for a buffer without DMA memory
  std::uint8_t* memory_;
  DmaAddrInfo info_;
  std::uint32_t cursor_ = 0;
};

class DmaMemPoolManager : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("DmaMemPoolManager::DmaMemPoolManager")

  // 4 KiB: one page, a size every DMA engine takes in one descriptor.
  static constexpr std::uint32_t kDefaultBufSize = 4096;
  // 64 buffers of 4 KiB: 256 KiB of pool, more than one chip's download needs at once.
  static constexpr std::uint32_t kDefaultPoolLimit = 64;
  // Bus address of slot 0; slot n starts n x kSlotSpacing above it, so that
  // slots never overlap whatever size their buffers have.
  static constexpr std::uint64_t kDmaBase = 0x1'0000'0000;
  static constexpr std::uint32_t kMaxBufSize = 16u << 20;
  static constexpr std::uint64_t kSlotSpacing = kMaxBufSize;

  DmaMemPoolManager() = default;
  ~DmaMemPoolManager() override;

  // Size of the buffers handed out from now on, 1 to kMaxBufSize bytes;
  // throws Orvel::RangeException otherwise. Buffers alive keep their size.
  void bufSizeIs(std::uint32_t bytes);
  std::uint32_t bufSize() const noexcept { return bufSize_; }
  // Most DMA-backed buffers alive at once; 0 behaves like no DMA memory.
  void poolLimitIs(std::uint32_t buffers) noexcept { poolLimit_ = buffers; }
  std::uint32_t poolLimit() const noexcept { return poolLimit_; }
  // False: every request yields a buffer without DMA memory.
  void dmaMemoryIs(bool available) noexcept { dmaMemory_ = available; }
  bool dmaMemory() const noexcept { return dmaMemory_; }
  // True: every request fails with Orvel::MemoryResourceException, as when
  // the host cannot map pool memory.
  void requestFailureIs(bool failing) noexcept { failing_ = failing; }

  // A buffer: DMA-backed, with its cursor at the start, when DMA memory is on
  // and fewer than poolLimit() DMA-backed buffers are alive; otherwise one
  // without DMA memory. Throws Orvel::MemoryResourceException while requests fail.
  Orvel::Ptr<DmaMemPoolBuffer> buffer();
  // The same with a buffer of `bytes` bytes (1 to kMaxBufSize) instead of bufSize().
  Orvel::Ptr<DmaMemPoolBuffer> buffer(std::uint32_t bytes);

  // DMA-backed buffers alive now, handed out in all, and requests answered without DMA memory.
  std::uint32_t buffersInUse() const noexcept { return inUse_; }
  std::uint64_t buffersHandedOut() const noexcept { return handedOut_; }
  std::uint64_t requestsWithoutDma() const noexcept { return withoutDma_; }

 private:
  friend class DmaMemPoolBuffer;
  struct Slot {
    std::unique_ptr<std::uint8_t[]> memory;
    std::uint32_t size = 0;
    bool inUse = false;
  };
  void slotDone(std::uint32_t slot) noexcept;
  static void checkBufSize(std::uint32_t bytes);

  std::uint32_t bufSize_ = kDefaultBufSize;
  std::uint32_t poolLimit_ = kDefaultPoolLimit;
  bool dmaMemory_ = true;
  bool failing_ = false;
  std::vector<Slot> slots_;
  std::uint32_t inUse_ = 0;
  std::uint64_t handedOut_ = 0;
  std::uint64_t withoutDma_ = 0;
};

// A new buffer from `manager`'s pool (see DmaMemPoolManager::buffer); a buffer
// without DMA memory when there is no manager.
Orvel::Ptr<DmaMemPoolBuffer> dmaMemPoolBufferFactory(const Orvel::Ptr<DmaMemPoolManager>& manager);

}  // namespace DmaMemPoolManager
