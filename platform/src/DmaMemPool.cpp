// The DMA memory pool: slots of memory with fixed bus addresses, handed out as
// reference-counted buffers and taken back when a buffer's last reference goes.
#include <algorithm>

#include <fmt/format.h>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Orvel/Exception.h"

namespace DmaMemPoolManager {

std::string DmaAddrInfo::toString() const { return fmt::format("dmaAddr={:#x} slot={} size={}", dmaAddr, slot, size); }

DmaMemPoolBuffer::DmaMemPoolBuffer(Orvel::Ptr<DmaMemPoolManager> manager, std::uint8_t* memory, DmaAddrInfo info)
    : manager_(std::move(manager)), memory_(memory), info_(info) {}

DmaMemPoolBuffer::~DmaMemPoolBuffer() {
  if (manager_ && memory_) manager_->slotDone(info_.slot);
}

void DmaMemPoolBuffer::incVaCursor(std::uint32_t bytes) {
  if (bytes > info_.size - cursor_) {
    throw Orvel::RangeException(fmt::format(
        "DmaMemPoolBuffer: cursor {} + {} bytes past the buffer's {} bytes not allowed", cursor_, bytes, info_.size));
  }
  cursor_ += bytes;
}

Orvel::Ptr<DmaMemPoolBuffer> DmaMemPoolBuffer::withoutDmaMemory() {
  return Orvel::Ptr<DmaMemPoolBuffer>(new DmaMemPoolBuffer(nullptr, nullptr, DmaAddrInfo{}));
}

std::string DmaMemPoolBuffer::toString() const {
  if (!memory_) return "DmaMemPoolBuffer(no DMA memory)";
  return fmt::format("DmaMemPoolBuffer({} used={})", info_.toString(), cursor_);
}

DmaMemPoolManager::~DmaMemPoolManager() = default;

void DmaMemPoolManager::checkBufSize(std::uint32_t bytes) {
  if (bytes == 0 || bytes > kMaxBufSize) {
    throw Orvel::RangeException(
        fmt::format("DmaMemPoolManager: buffer size {} < 1 or > {} not allowed", bytes, kMaxBufSize));
  }
}

void DmaMemPoolManager::bufSizeIs(std::uint32_t bytes) {
  checkBufSize(bytes);
  bufSize_ = bytes;
}

Orvel::Ptr<DmaMemPoolBuffer> DmaMemPoolManager::buffer() { return buffer(bufSize_); }

Orvel::Ptr<DmaMemPoolBuffer> DmaMemPoolManager::buffer(std::uint32_t bytes) {
  checkBufSize(bytes);
  if (failing_) throw Orvel::MemoryResourceException("DmaMemPoolManager: no pool memory for a buffer");
  if (!dmaMemory_ || inUse_ >= poolLimit_) {
    ++withoutDma_;
    return DmaMemPoolBuffer::withoutDmaMemory();
  }
  auto free = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.inUse; });
  if (free == slots_.end()) free = slots_.insert(slots_.end(), Slot{});
  const auto slot = static_cast<std::uint32_t>(free - slots_.begin());
  if (!free->memory || free->size != bytes) {
    free->memory = std::make_unique<std::uint8_t[]>(bytes);
    free->size = bytes;
  }
  std::fill_n(free->memory.get(), bytes, 0);
  const DmaAddrInfo info{kDmaBase + std::uint64_t{slot} * kSlotSpacing, slot, bytes};
  Orvel::Ptr<DmaMemPoolBuffer> buffer(
      new DmaMemPoolBuffer(Orvel::Ptr<DmaMemPoolManager>(this), free->memory.get(), info));
  free->inUse = true;
  ++inUse_;
  ++handedOut_;
  return buffer;
}

void DmaMemPoolManager::slotDone(std::uint32_t slot) noexcept {
  if (slot >= slots_.size() || !slots_[slot].inUse) return;
  slots_[slot].inUse = false;
  --inUse_;
}

Orvel::Ptr<DmaMemPoolBuffer> dmaMemPoolBufferFactory(const Orvel::Ptr<DmaMemPoolManager>& manager) {
  return manager ? manager->buffer() : DmaMemPoolBuffer::withoutDmaMemory();
}

}  // namespace DmaMemPoolManager
