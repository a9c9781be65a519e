// The host components of shared-memory collections: the common slot header,
// the bucket file and the validator primitives.
#include <atomic>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "Ploom/SlotHeaderCommon.h"
#include "Ploom/ValidatorCommon.h"
#include "PloomCore/BucketReader.h"
#include "PloomCore/BucketWriter.h"
#include "Ploom/StorePoint.h"
#include "Ploom/Util.h"
#include <sys/stat.h>

namespace Ploom::Testing {
void (*storeHook)() = nullptr;
void (*readerHook)(ReaderStage, std::uint32_t) = nullptr;
}  // namespace Ploom::Testing

namespace Ploom::Util {
namespace {
std::atomic<bool> physicalDut{false};
std::atomic<bool> strict{false};
}  // namespace
bool runningOnPhysicalDut() { return physicalDut.load(); }
void runningOnPhysicalDutIs(bool physical) { physicalDut.store(physical); }
bool strictValidation() { return strict.load(); }
void strictValidationIs(bool value) { strict.store(value); }
}  // namespace Ploom::Util

namespace {

std::uint32_t word(const void* base, std::size_t offset) {
  std::uint32_t w;
  std::memcpy(&w, static_cast<const std::uint8_t*>(base) + offset, 4);
  return w;
}
// Stores into a collection's files pass the store points of Ploom/StorePoint.h,
// like the collection code's own.
void wordIs(void* base, std::size_t offset, std::uint32_t w) {
  PLOOM_STORE_POINT();
  std::memcpy(static_cast<std::uint8_t*>(base) + offset, &w, 4);
}

// Bucket entries and the count pair may be read by other processes: 64-bit atomic stores.
void pairIs(void* at, std::uint64_t value) {
  PLOOM_STORE_POINT();
  std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(at)).store(value, std::memory_order_release);
}

}  // namespace

namespace Ploom {

SlotHeaderCommon::SlotHeaderCommon(void* base, std::uint32_t headerSize, std::uint32_t reserved0,
                                   std::uint32_t valueSize, std::uint32_t slotSize, std::uint32_t initialSlots,
                                   std::uint32_t maxSlots, std::uint32_t reserved1, std::uint32_t palvoId,
                                   const std::string& typeName, std::uint32_t valueSize2, std::uint32_t seed) {
  PLOOM_STORE_POINT();
  std::memset(base, 0, kEnd);
  wordIs(base, 0, kMagic);
  wordIs(base, 4, kFormatVersion);
  wordIs(base, 8, headerSize);
  wordIs(base, 12, reserved0);
  wordIs(base, kPalvoOffset, palvoId);
  wordIs(base, 20, valueSize);
  wordIs(base, 24, slotSize);
  wordIs(base, 28, initialSlots);
  wordIs(base, 32, maxSlots);
  wordIs(base, 36, reserved1);
  wordIs(base, 40, valueSize2);
  wordIs(base, 44, seed);
  std::memcpy(static_cast<std::uint8_t*>(base) + kTypeNameOffset, typeName.data(),
              std::min(typeName.size(), kTypeNameSize - 1));
}

bool SlotHeaderCommon::validateWords(const void* base, std::uint32_t headerSize, std::size_t fileSize,
                                     std::uint32_t palvoId, std::string& err) {
  if (fileSize < 24) {
    err = fmt::format("bad common header: file size {} below 24", fileSize);
    return false;
  }
  if (word(base, 0) != kMagic || word(base, 4) != kFormatVersion) {
    err = fmt::format("bad common header: magic {:#x} version {}", word(base, 0), word(base, 4));
    return false;
  }
  if (word(base, 8) != headerSize) {
    err = fmt::format("bad common header size: {} wanted:{}", word(base, 8), headerSize);
    return false;
  }
  if (word(base, kPalvoOffset) != palvoId) {
    err = fmt::format("mismatching palvo:{}, oldPalvo:{}", palvoId, word(base, kPalvoOffset));
    return false;
  }
  return true;
}

std::uint32_t SlotHeaderCommon::palvoId(const void* base) { return word(base, kPalvoOffset); }
std::uint32_t SlotHeaderCommon::valueSize(const void* base) { return word(base, 20); }
std::uint32_t SlotHeaderCommon::slotSize(const void* base) { return word(base, 24); }
std::uint32_t SlotHeaderCommon::maxSlots(const void* base) { return word(base, 32); }

std::string SlotHeaderCommon::typeName(const void* base) {
  const char* text = static_cast<const char*>(base) + kTypeNameOffset;
  return std::string(text, strnlen(text, kTypeNameSize));
}

std::string SlotHeaderCommon::toString(const void* base) {
  return fmt::format("headerSize:{} palvo:{} valueSize:{} slotSize:{} initialSlots:{} maxSlots:{} type:{}",
                     word(base, 8), palvoId(base), valueSize(base), slotSize(base), word(base, 28), word(base, 32),
                     typeName(base));
}

bool ValidatorCommon::walkOccupiedSlotsEpilogue(std::uint32_t occupied) {
  if (occupiedFound_ == occupied) return true;
  errorIs(fmt::format("occupied slots reachable:{} but header says occupied:{}", occupiedFound_, occupied));
  return false;
}

bool ValidatorCommon::walkOccupiedSlotsWrong(std::uint32_t count, std::uint32_t occupied) {
  errorIs(fmt::format("more entries reachable ({} so far) than the header's occupied count:{}", count, occupied));
  return false;
}

bool ValidatorCommon::walkFreeSlotsOutOfBounds(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} out of bounds (slots:{})", index, seen_.size()));
  return false;
}

bool ValidatorCommon::walkFreeSlotsDuplicate(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} seen twice", index));
  return false;
}

bool ValidatorCommon::walkFreeSlotsNotEmpty(std::uint32_t index) {
  errorIs(fmt::format("free list slot:{} is occupied", index));
  return false;
}

bool ValidatorCommon::walkFreeSlotsEpilogue() { return true; }

bool ValidatorCommon::doValidateBadSlotCount(std::uint32_t found, std::uint32_t capacity) {
  errorIs(fmt::format("slots found:{} (occupied:{} free:{}) but capacity:{}", found, occupiedFound_, freeFound_,
                      capacity));
  return false;
}

void ValidatorCommon::throwDuplicateSlot(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} reachable twice", index));
}

void ValidatorCommon::throwMissingOccupied(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} reachable but not occupied", index));
}

void ValidatorCommon::throwStuckLookaside(std::uint32_t index) {
  throw Orvel::CorruptionDetectedException(fmt::format("slot:{} left with an unfinished value write", index));
}

}  // namespace Ploom

namespace PloomCore {

BucketWriter::BucketWriter(std::string rootPath)
    : rootPath_(std::move(rootPath)),
      file_(kFileName, rootPath_.empty() ? std::string() : rootPath_ + "/" + kFileName, Mem::Access::readWrite) {}

int BucketWriter::attach(std::uint32_t palvoId) {
  Mem::SharedMemWrapper& shm = file_.shm();
  shm.close();
  const std::size_t existing = shm.fileSize();
  const bool isNew = !shm.exists() || existing == 0;
  std::string openReason;
  if (!shm.open(fileSizeFor(1), true, openReason)) {
    throw Orvel::InvalidInitializeException(fmt::format("cannot attach to shmem {} size:{}: {}", shm.path(),
                                                        fileSizeFor(1), openReason));
  }
  if (isNew) {
    PLOOM_STORE_POINT();
    std::memset(base(), 0, kEntriesOffset);
    wordIs(base(), 0, kMagic);
    wordIs(base(), 4, kFormatVersion);
    wordIs(base(), 8, palvoId);
    pairIs(base() + kEntriesOffset, std::uint64_t{0xBFFFFFFFu} << 32);
    pairIs(base() + kCountPairOffset, std::uint64_t{1} << 32);  // generation 0, one bucket
    numBuckets_ = 1;
    return 1;
  }
  if (existing < kEntriesOffset || word(base(), 0) != kMagic || word(base(), 4) != kFormatVersion) return 8;
  const std::uint32_t count = word(base(), kCountPairOffset + 4);
  if (count == 0 || (count & (count - 1)) != 0 || fileSizeFor(count) > existing) return 8;
  // Map the existing entries as they are: nothing is initialised.
  std::string reason;
  if (!shm.resize(fileSizeFor(count), reason)) {
    throw Orvel::MemoryResourceException(
        fmt::format("failed to resize {} to size {} : {}", shm.path(), fileSizeFor(count), reason));
  }
  numBuckets_ = count;
  return 2;
}

bool BucketWriter::validate(std::uint32_t palvoId, std::string& err) const {
  if (!file_.shm().isOpen()) {
    err = "bucket file not attached";
    return false;
  }
  const std::size_t size = file_.shm().fileSize();
  if (size < kEntriesOffset || word(base(), 0) != kMagic || word(base(), 4) != kFormatVersion) {
    err = fmt::format("bad bucket file header (size {})", size);
    return false;
  }
  if (word(base(), 8) != palvoId) {
    err = fmt::format("bucket file palvo:{} differs from palvo:{}", word(base(), 8), palvoId);
    return false;
  }
  const std::uint32_t count = word(base(), kCountPairOffset + 4);
  if (count != numBuckets_ || count == 0 || (count & (count - 1)) != 0) {
    err = fmt::format("bad bucket count:{} (mapped {})", count, numBuckets_);
    return false;
  }
  if (fileSizeFor(count) > size) {
    err = fmt::format("bucket file size:{} too small for {} buckets", size, count);
    return false;
  }
  return true;
}

void BucketWriter::resize(std::uint32_t buckets) {
  Mem::SharedMemWrapper& shm = file_.shm();
  if (buckets <= numBuckets_) {
    // Shrinking keeps the mapping and the entries past the new count: a
    // reader still using the larger count reads the chains as they were
    // joined, never zeroed memory. A later grow sets them again before it
    // publishes the larger count.
    numBuckets_ = buckets;
    return;
  }
  std::string reason;
  if (!shm.resize(fileSizeFor(buckets), reason)) {
    throw Orvel::MemoryResourceException(
        fmt::format("failed to resize {} to size {} : {}", shm.path(), fileSizeFor(buckets), reason));
  }
  for (std::uint32_t b = numBuckets_; b < buckets; ++b) {
    // Added entries hold "nothing" until the hash map sets them (before it
    // publishes the larger count, so no reader looks at them earlier).
    pairIs(entry(b), std::uint64_t{0xBFFFFFFFu} << 32);
  }
  numBuckets_ = buckets;
}

void BucketWriter::detach() {
  file_.shm().close();
  numBuckets_ = 0;
}

void BucketWriter::cleanup() {
  PLOOM_STORE_POINT();  // readers see the file go
  file_.shm().wipe();
  numBuckets_ = 0;
}

void BucketWriter::throwOutOfRange(std::uint32_t bucket) const {
  throw Orvel::CorruptionDetectedException(fmt::format("bucket {} out of range (count {})", bucket, numBuckets_));
}

BucketReader::BucketReader(std::string rootPath)
    : rootPath_(std::move(rootPath)),
      file_(BucketWriter::kFileName, rootPath_ + "/" + BucketWriter::kFileName, Mem::Access::readOnly) {}

bool BucketReader::attach(std::string& reason) {
  Mem::SharedMemWrapper& shm = file_.shm();
  shm.close();
  numBuckets_ = 0;
  if (!shm.open(BucketWriter::kEntriesOffset, false, reason)) return false;
  if (word(base(), 0) != BucketWriter::kMagic || word(base(), 4) != BucketWriter::kFormatVersion) {
    reason = "not a bucket file";
    shm.close();
    return false;
  }
  try {
    remap();
  } catch (const Orvel::Exception& e) {
    reason = e.what();
    shm.close();
    return false;
  }
  return true;
}

void BucketReader::detach() {
  file_.shm().close();
  numBuckets_ = 0;
}

bool BucketReader::remap() {
  const std::uint64_t pair = countPair();
  const auto generation = static_cast<std::uint32_t>(pair);
  const auto count = static_cast<std::uint32_t>(pair >> 32);
  if (count == numBuckets_ && generation == generation_) return false;
  if (count == 0 || (count & (count - 1)) != 0) {
    throw Orvel::CorruptionDetectedException(fmt::format("bad bucket count:{} in {}", count, file_.shm().path()));
  }
  std::string reason;
  if (!file_.shm().resize(BucketWriter::fileSizeFor(count), reason)) {
    throw Orvel::CorruptionDetectedException(
        fmt::format("cannot map {} buckets of {}: {}", count, file_.shm().path(), reason));
  }
  numBuckets_ = count;
  generation_ = generation;
  return true;
}

bool BucketReader::replaced() const {
  struct stat atPath {};
  return ::stat(file_.shm().path().c_str(), &atPath) != 0 || file_.shm().fileSize() == 0 ||
         static_cast<std::uint64_t>(atPath.st_ino) != file_.shm().inode();
}

void BucketReader::throwOutOfRange(std::uint32_t bucket) const {
  throw Orvel::CorruptionDetectedException(fmt::format("bucket {} out of range (count {})", bucket, numBuckets_));
}

void BucketReader::throwNumBucketsMismatch(std::uint64_t pair) const {
  throw Orvel::CorruptionDetectedException(
      fmt::format("bucket count changed to {} (generation {}) while reading with {} (generation {})",
                  static_cast<std::uint32_t>(pair >> 32), static_cast<std::uint32_t>(pair), numBuckets_,
                  generation_));
}

}  // namespace PloomCore
