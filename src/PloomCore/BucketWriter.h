// PloomCore::BucketWriter: the bucket file of a collection ("buckets").
//
// Layout: a 16-byte header of this component — magic "PBKT", format version,
// restart identity of the writer that formatted it, reserved — then the
// versioned bucket count {generation u32, count u32} at bytes 16-23, written
// by the hash map in one 64-bit store, then one 8-byte {version, link} entry
// per bucket from byte 24. A new file has one bucket holding the end marker
// 0xBFFFFFFF. Entries added by a resize start as {0, 0xBFFFFFFF}; the hash
// map sets them before it publishes the larger count.
//
// The component maps and sizes the file, validates it and wipes it; the hash
// map owns the entries and the published count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Mem/SharedMemWrapper.h"
#include "PloomCore/AttachResult.h"

namespace PloomCore {

class BucketWriter {
 public:
  static constexpr std::uint32_t kMagic = 0x544B4250;  // "PBKT"
  static constexpr std::uint32_t kFormatVersion = 1;
  static constexpr std::size_t kCountPairOffset = 16;
  static constexpr std::size_t kEntriesOffset = 24;
  static constexpr const char* kFileName = "buckets";

  static constexpr std::size_t fileSizeFor(std::uint64_t buckets) { return kEntriesOffset + 8 * buckets; }

  // An empty root path keeps the buckets in process-local memory.
  explicit BucketWriter(std::string rootPath);

  // created, attached (an existing valid-looking file was mapped) or
  // badHeader (nothing is changed).
  Ploom::AttachResult attach(std::uint32_t palvoId);
  bool validate(std::uint32_t palvoId, std::string& err) const;
  // Maps room for `buckets` entries (growing the file) and initialises the
  // entries past the current count. Shrinking only lowers the count: the
  // entries past it stay as they are for readers that still use the larger
  // count. Throws Orvel::MemoryResourceException.
  void resize(std::uint32_t buckets);
  void detach();
  // Unmaps and removes the file.
  void cleanup();

  std::uint32_t numBuckets() const noexcept { return numBuckets_; }
  std::uint8_t* base() const noexcept { return static_cast<std::uint8_t*>(file_.shm().base()); }
  std::uint8_t* entry(std::uint32_t bucket) const noexcept { return base() + kEntriesOffset + 8 * std::size_t{bucket}; }
  Mem::Tracked& file() noexcept { return file_; }
  const Mem::Tracked& file() const noexcept { return file_; }

  // Raises Orvel::CorruptionDetectedException "bucket {} out of range (count {})".
  [[noreturn]] void throwOutOfRange(std::uint32_t bucket) const;

 private:
  std::string rootPath_;
  Mem::Tracked file_;
  std::uint32_t numBuckets_ = 0;
};

}  // namespace PloomCore
