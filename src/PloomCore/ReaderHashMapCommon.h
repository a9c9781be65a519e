// Errors of a reader's walk. Each raises Orvel::CorruptionDetectedException
// naming what it is given (keys as hex of their bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace PloomCore::ReaderHashMapCommon {

[[noreturn]] void throwHashChainCycle(std::uint32_t hops, std::uint32_t bound);
[[noreturn]] void throwHashBucketCycle(std::uint32_t hops, std::uint32_t numBuckets);
[[noreturn]] void throwNotOccupied(std::uint32_t index, const void* key, std::size_t keySize);
[[noreturn]] void throwSlowPathNotOccupied(std::uint32_t bucket, const void* key, std::size_t keySize,
                                           std::uint32_t index);
[[noreturn]] void throwCorruptKey(std::uint32_t bucket, const void* key, std::size_t keySize);
[[noreturn]] void throwHasBucket(std::uint32_t bucket, std::uint32_t marker, std::uint32_t numBuckets);
[[noreturn]] void throwOutOfRangeIndex(std::uint32_t index, std::uint32_t numSlots);

}  // namespace PloomCore::ReaderHashMapCommon
