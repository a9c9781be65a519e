// The DMA memory pool: buffers go back to the pool only when their last
// reference goes, the pool limit, the mode without DMA memory, the cursor.
#include <gtest/gtest.h>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Orvel/Exception.h"

namespace {

using DmaMemPoolManager::DmaMemPoolBuffer;
using Manager = DmaMemPoolManager::DmaMemPoolManager;

// Verifies: a slot held by any reference is not handed out again; once the
// last reference goes, the next buffer reuses it (same bus address).
TEST(DmaMemPool, SlotsReturnOnlyWithTheLastReference) {
  Orvel::Ptr<Manager> pool(new Manager);
  pool->bufSizeIs(64);
  Orvel::Ptr<DmaMemPoolBuffer> first = DmaMemPoolManager::dmaMemPoolBufferFactory(pool);
  ASSERT_TRUE(first->isDmaMemory());
  Orvel::Ptr<DmaMemPoolBuffer> heldByACommand = first;
  first = nullptr;
  const Orvel::Ptr<DmaMemPoolBuffer> second = pool->buffer();
  EXPECT_NE(second->dmaAddrInfo().dmaAddr, heldByACommand->dmaAddrInfo().dmaAddr);
  EXPECT_EQ(pool->buffersInUse(), 2u);
  const std::uint64_t address = heldByACommand->dmaAddrInfo().dmaAddr;
  heldByACommand = nullptr;
  EXPECT_EQ(pool->buffersInUse(), 1u);
  EXPECT_EQ(pool->buffer()->dmaAddrInfo().dmaAddr, address);
}

// Verifies: past the pool limit, and in the mode without DMA memory, requests
// get buffers without memory; a failing pool throws.
TEST(DmaMemPool, LimitAndNoDmaModeYieldBuffersWithoutMemory) {
  Orvel::Ptr<Manager> pool(new Manager);
  pool->poolLimitIs(1);
  const auto held = pool->buffer();
  const auto over = pool->buffer();
  EXPECT_TRUE(held->isDmaMemory());
  EXPECT_FALSE(over->isDmaMemory());
  EXPECT_EQ(over->bufSize(), 0u);
  EXPECT_EQ(over->vaCursor(), nullptr);
  pool->poolLimitIs(8);
  pool->dmaMemoryIs(false);
  EXPECT_FALSE(pool->buffer()->isDmaMemory());
  EXPECT_EQ(pool->requestsWithoutDma(), 2u);
  EXPECT_FALSE(DmaMemPoolManager::dmaMemPoolBufferFactory(nullptr)->isDmaMemory());
  pool->requestFailureIs(true);
  EXPECT_THROW(pool->buffer(), Orvel::MemoryResourceException);
}

// Verifies: the cursor advances within the buffer and refuses to pass its end.
TEST(DmaMemPool, CursorStaysInsideTheBuffer) {
  Orvel::Ptr<Manager> pool(new Manager);
  pool->bufSizeIs(12);
  EXPECT_THROW(pool->bufSizeIs(0), Orvel::RangeException);
  const auto buffer = pool->buffer();
  std::uint8_t* start = buffer->vaCursor();
  buffer->incVaCursor(8);
  EXPECT_EQ(buffer->vaCursor(), start + 8);
  EXPECT_THROW(buffer->incVaCursor(8), Orvel::RangeException);
  EXPECT_EQ(buffer->used(), 8u);
  EXPECT_EQ(buffer->dmaAddrInfo().toString(), "dmaAddr=0x100000000 slot=0 size=12");
}

}  // namespace
