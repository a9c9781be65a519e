// PloomCore::BucketReader: a reader's read-only mapping of a collection's
// bucket file (layout in BucketWriter.h).
//
// The reader maps the header and as many entries as the versioned count it
// last read announced; the writer never makes the file shorter, so the
// mapping stays inside the file however the count changes afterwards. A
// re-formatted collection gets a new file (the old one is unlinked): the
// reader keeps reading the old inode until it notices and attaches again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Mem/SharedMemWrapper.h"
#include "PloomCore/BucketWriter.h"

namespace PloomCore {

class BucketReader {
 public:
  explicit BucketReader(std::string rootPath);

  // Maps the file at the count it announces. False, with the reason, when
  // it is missing or not a bucket file.
  bool attach(std::string& reason);
  void detach();
  bool attached() const noexcept { return file_.shm().isOpen(); }

  // The {generation, count} pair in the file now (one 64-bit atomic load,
  // inline: a reader's miss ends with it).
  std::uint64_t countPair() const noexcept {
    auto* at = reinterpret_cast<std::uint64_t*>(const_cast<std::uint8_t*>(base()) + BucketWriter::kCountPairOffset);
    return std::atomic_ref<std::uint64_t>(*at).load(std::memory_order_acquire);
  }
  std::uint32_t numBuckets() const noexcept { return numBuckets_; }
  std::uint32_t generation() const noexcept { return generation_; }
  // Re-maps when the announced count changed; true when it did. Throws
  // Orvel::CorruptionDetectedException when the count is not acceptable.
  bool remap();
  // Whether the file at the path is no longer the one mapped (re-formatted).
  bool replaced() const;

  const std::uint8_t* base() const noexcept { return static_cast<const std::uint8_t*>(file_.shm().base()); }
  const std::uint8_t* entry(std::uint32_t bucket) const noexcept {
    return base() + BucketWriter::kEntriesOffset + 8 * std::size_t{bucket};
  }

  [[noreturn]] void throwOutOfRange(std::uint32_t bucket) const;
  [[noreturn]] void throwNumBucketsMismatch(std::uint64_t pair) const;

 private:
  std::string rootPath_;
  Mem::Tracked file_;
  std::uint32_t numBuckets_ = 0;
  std::uint32_t generation_ = 0;
};

}  // namespace PloomCore
