#include <gtest/gtest.h>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Orvel/Exception.h"

namespace {

using DmaMemPoolManager::DmaMemPoolBuffer;
using Manager = DmaMemPoolManager::DmaMemPoolManager;

// A slot held by any reference (a command's, say) is not handed out again.
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

// (The pool limit, the mode without DMA memory and a failing pool are
// exercised through downloads, tests/download/DownloadTest.cpp.)
TEST(DmaMemPool, CursorStaysInsideTheBuffer) {
  EXPECT_FALSE(DmaMemPoolManager::dmaMemPoolBufferFactory(nullptr)->isDmaMemory());
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
