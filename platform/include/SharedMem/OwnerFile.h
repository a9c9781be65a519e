// SharedMem::OwnerFile: the record of which process owns a collection.
//
// The file "owner" in the root directory holds one JSON object:
//   {"magic": "vovu-owner-1", "wirraInfo": {"socketName", "pid", "startTime"},
//    "typeName": ..., "shmType": 1, "wiped": bool}
// read() loads it (a missing file reads as an empty record), write() replaces
// it atomically (write to a temporary file, then rename). validate() reports
// whether the file exists and parses as such a record. lock()/unlock() take
// and drop an exclusive flock on the owner file itself, serialising writers'
// attach sequences; it is independent of Mem::WriterLock.
#pragma once

#include <cstdint>
#include <string>

#include "SharedMem/WirraInfo.h"

namespace SharedMem {

class OwnerFile {
 public:
  explicit OwnerFile(std::string path);
  ~OwnerFile();
  OwnerFile(const OwnerFile&) = delete;
  OwnerFile& operator=(const OwnerFile&) = delete;

  const std::string& path() const noexcept { return path_; }
  void lock();
  void unlock();

  // Reads the file. Returns false (record left empty) when it is missing or
  // malformed, with the reason in `err`.
  bool read(std::string& err);
  bool validate(std::string& err) const;
  // Writes the current record; throws Orvel::MemoryResourceException on failure.
  void write();
  void remove();

  const WirraInfo& wirraInfo() const noexcept { return wirraInfo_; }
  void wirraInfoIs(WirraInfo info) { wirraInfo_ = std::move(info); }
  const std::string& typeName() const noexcept { return typeName_; }
  void typeNameIs(std::string name) { typeName_ = std::move(name); }
  std::uint32_t shmType() const noexcept { return shmType_; }
  void shmTypeIs(std::uint32_t type) noexcept { shmType_ = type; }
  bool wiped() const noexcept { return wiped_; }
  void wipedIs(bool wiped) noexcept { wiped_ = wiped; }

  // The record as one line, for traces.
  std::string toString() const;

 private:
  std::string path_;
  int lockFd_ = -1;
  WirraInfo wirraInfo_;
  std::string typeName_;
  std::uint32_t shmType_ = 0;
  bool wiped_ = false;
};

}  // namespace SharedMem
