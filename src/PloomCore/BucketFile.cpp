// The bucket file: PloomCore::BucketWriter creates, sizes, checks and removes
// it; PloomCore::BucketReader maps it read-only and follows its count.
#include <cstring>

#include <fmt/format.h>
#include <sys/stat.h>

#include "Orvel/Exception.h"
#include "PloomCore/BucketReader.h"
#include "PloomCore/BucketWriter.h"
#include "PloomCore/SharedWords.h"

namespace PloomCore {

using Ploom::SlotLink;
namespace Words = Ploom::detail::Words;

BucketWriter::BucketWriter(std::string rootPath)
    : rootPath_(std::move(rootPath)),
      file_(kFileName, rootPath_.empty() ? std::string() : rootPath_ + "/" + kFileName, Mem::Access::readWrite) {}

Ploom::AttachResult BucketWriter::attach(std::uint32_t palvoId) {
  Mem::SharedMemWrapper& shm = file_.shm();
  shm.close();
  const std::size_t existing = shm.fileSize();
  const bool isNew = !shm.exists() || existing == 0;
  std::string openReason;
  if (!shm.open(fileSizeFor(1), true, openReason)) {
    throw Orvel::InvalidInitializeException(
        fmt::format("cannot attach to shmem {} size:{}: {}", shm.path(), fileSizeFor(1), openReason));
  }
  if (isNew) {
    PLOOM_STORE_POINT();
    std::memset(base(), 0, kEntriesOffset);
    Words::wordAtIs(base(), 0, kMagic);
    Words::wordAtIs(base(), 4, kFormatVersion);
    Words::wordAtIs(base(), 8, palvoId);
    Words::store<std::uint64_t>(base() + kEntriesOffset, SlotLink::pack(0, SlotLink::kNothing));
    Words::store<std::uint64_t>(base() + kCountPairOffset, SlotLink::pack(0, 1));  // generation 0, one bucket
    numBuckets_ = 1;
    return Ploom::AttachResult::created;
  }
  if (existing < kEntriesOffset || Words::wordAt(base(), 0) != kMagic || Words::wordAt(base(), 4) != kFormatVersion) {
    return Ploom::AttachResult::badHeader;
  }
  const std::uint32_t count = Words::wordAt(base(), kCountPairOffset + 4);
  if (count == 0 || (count & (count - 1)) != 0 || fileSizeFor(count) > existing) {
    return Ploom::AttachResult::badHeader;
  }
  // Map the existing entries as they are: nothing is initialised.
  std::string reason;
  if (!shm.resize(fileSizeFor(count), reason)) {
    throw Orvel::MemoryResourceException(
        fmt::format("failed to resize {} to size {} : {}", shm.path(), fileSizeFor(count), reason));
  }
  numBuckets_ = count;
  return Ploom::AttachResult::attached;
}

bool BucketWriter::validate(std::uint32_t palvoId, std::string& err) const {
  if (!file_.shm().isOpen()) {
    err = "bucket file not attached";
    return false;
  }
  const std::size_t size = file_.shm().fileSize();
  if (size < kEntriesOffset || Words::wordAt(base(), 0) != kMagic || Words::wordAt(base(), 4) != kFormatVersion) {
    err = fmt::format("bad bucket file header (size {})", size);
    return false;
  }
  if (Words::wordAt(base(), 8) != palvoId) {
    err = fmt::format("bucket file palvo:{} differs from palvo:{}", Words::wordAt(base(), 8), palvoId);
    return false;
  }
  const std::uint32_t count = Words::wordAt(base(), kCountPairOffset + 4);
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
    Words::store<std::uint64_t>(entry(b), SlotLink::pack(0, SlotLink::kNothing));
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
  if (Words::wordAt(base(), 0) != BucketWriter::kMagic || Words::wordAt(base(), 4) != BucketWriter::kFormatVersion) {
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
                  static_cast<std::uint32_t>(pair >> 32), static_cast<std::uint32_t>(pair), numBuckets_, generation_));
}

}  // namespace PloomCore
