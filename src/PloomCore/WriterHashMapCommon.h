// The errors a hash-map walk raises when it meets an inconsistent chain.
// Each raises Orvel::CorruptionDetectedException naming the numbers it is given.
#pragma once

#include <cstdint>

namespace PloomCore::WriterHashMapCommon {

[[noreturn]] void throwHashChainCycle(std::uint32_t hops, std::uint32_t numSlots);
[[noreturn]] void throwHashBucketCycle(std::uint32_t hops, std::uint32_t numBuckets);
[[noreturn]] void throwNotOccupied(std::uint32_t slot);
[[noreturn]] void throwCorruptKey(std::uint32_t slot);
[[noreturn]] void throwCorruptRhash(std::uint32_t slot, std::uint32_t stored, std::uint32_t computed);
[[noreturn]] void throwHasBucket(std::uint32_t bucket, std::uint32_t marker, std::uint32_t numBuckets);
[[noreturn]] void throwReachedEnd(std::uint32_t bucket, std::uint32_t numBuckets);

}  // namespace PloomCore::WriterHashMapCommon
