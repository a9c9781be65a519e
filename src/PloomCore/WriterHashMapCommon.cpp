#include "PloomCore/WriterHashMapCommon.h"

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace PloomCore::WriterHashMapCommon {

void throwHashChainCycle(std::uint32_t hops, std::uint32_t numSlots) {
  throw Orvel::CorruptionDetectedException(fmt::format("hash chain cycle: {} hops with only {} slots", hops, numSlots));
}

void throwHashBucketCycle(std::uint32_t hops, std::uint32_t numBuckets) {
  throw Orvel::CorruptionDetectedException(fmt::format("bucket cycle: {} hops with only {} buckets", hops, numBuckets));
}

void throwNotOccupied(std::uint32_t slot) {
  throw Orvel::CorruptionDetectedException(fmt::format("chain reaches slot {}, which is not occupied", slot));
}

void throwCorruptKey(std::uint32_t slot) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot {} holds a key of another bucket", slot));
}

void throwCorruptRhash(std::uint32_t slot, std::uint32_t stored, std::uint32_t computed) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("slot {} stores reversed hash {:#x} but its key gives {:#x}", slot, stored, computed));
}

void throwHasBucket(std::uint32_t bucket, std::uint32_t marker, std::uint32_t numBuckets) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("bucket {} ends with marker {} that is not its successor ({} buckets)", bucket, marker, numBuckets));
}

void throwReachedEnd(std::uint32_t bucket, std::uint32_t numBuckets) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("bucket {} ends the bucket list but is not the last of {} buckets", bucket, numBuckets));
}

}  // namespace PloomCore::WriterHashMapCommon
