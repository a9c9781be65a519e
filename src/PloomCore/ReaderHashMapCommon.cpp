#include "PloomCore/ReaderHashMapCommon.h"

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "Zev/CharRange.h"

namespace PloomCore::ReaderHashMapCommon {
namespace {
std::string hexOf(const void* key, std::size_t size) {
  return Zev::hexBytes(static_cast<const std::uint8_t*>(key), size);
}
}  // namespace

void throwHashChainCycle(std::uint32_t hops, std::uint32_t bound) {
  throw Orvel::CorruptionDetectedException(fmt::format("hash chain cycle: {} hops, bound {}", hops, bound));
}

void throwHashBucketCycle(std::uint32_t hops, std::uint32_t numBuckets) {
  throw Orvel::CorruptionDetectedException(fmt::format("bucket cycle: {} hops with {} buckets", hops, numBuckets));
}

void throwNotOccupied(std::uint32_t index, const void* key, std::size_t keySize) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("slot {} reached looking for key {} is not occupied", index, hexOf(key, keySize)));
}

void throwSlowPathNotOccupied(std::uint32_t bucket, const void* key, std::size_t keySize, std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("slot {} of bucket {} reached after key {} is not occupied", index, bucket, hexOf(key, keySize)));
}

void throwCorruptKey(std::uint32_t bucket, const void* key, std::size_t keySize) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("key {} does not belong to bucket {}", hexOf(key, keySize), bucket));
}

void throwHasBucket(std::uint32_t bucket, std::uint32_t marker, std::uint32_t numBuckets) {
  throw Orvel::CorruptionDetectedException(
      fmt::format("bucket {} ends with marker {} that is not its successor ({} buckets)", bucket, marker, numBuckets));
}

void throwOutOfRangeIndex(std::uint32_t index, std::uint32_t numSlots) {
  throw Orvel::CorruptionDetectedException(fmt::format("out-of-range index:{} numSlots:{}", index, numSlots));
}

}  // namespace PloomCore::ReaderHashMapCommon
