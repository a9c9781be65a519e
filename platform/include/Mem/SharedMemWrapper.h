// Mem::SharedMemWrapper: one named file of a collection, mapped shared.
//
// The writer maps read-write and is the only process that changes the file's
// contents or length; readers map read-only. The file never gets shorter
// while it exists, so a reader still using an older, larger length never
// touches pages past the end of the file (which would raise SIGBUS):
//   - growing extends the file with posix_fallocate, so a full file system
//     is reported here ("No space left on device") and not as a later SIGBUS;
//   - shrinking keeps the file length, gives the memory beyond the new size
//     back with fallocate(PUNCH_HOLE | KEEP_SIZE), and maps the new size;
//   - wipe() unlinks the file; readers that still map the old inode keep
//     valid (stale) pages and must detect the change themselves.
// mappedSize() is the size the caller asked for; fileSize() the file's
// length on disk.
//
// An empty path means process-local memory (MAP_PRIVATE | MAP_ANONYMOUS, resized
// with mremap): no file, nothing left after close(), exists() only while open.
// Mappings move when they are resized (a file's always, process-local memory
// when it cannot grow in place): callers keep indices, not pointers, across
// resize().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Mem {

enum class Access { readOnly, readWrite };

class SharedMemWrapper {
 public:
  SharedMemWrapper(std::string path, Access access);
  ~SharedMemWrapper();
  SharedMemWrapper(const SharedMemWrapper&) = delete;
  SharedMemWrapper& operator=(const SharedMemWrapper&) = delete;

  const std::string& path() const noexcept { return path_; }
  bool anonymous() const noexcept { return path_.empty(); }
  bool exists() const;
  // Length of the file on disk, 0 when there is none.
  std::size_t fileSize() const;
  // The inode of the open file (0 when closed or anonymous): a reader
  // compares it with the file now at path() to notice a re-formatted file.
  std::uint64_t inode() const;

  // Opens the file (creating it, read-write only, when `create` is set and it
  // does not exist), extends it to at least `size` bytes (read-write) and maps
  // `size` bytes. Returns false with `reason` set when it cannot; a read-only
  // open of a file shorter than `size` fails with reason "file is shorter than
  // the mapping".
  bool open(std::size_t size, bool create, std::string& reason);
  // Maps `size` bytes instead of the current mapping (see the file comment).
  bool resize(std::size_t size, std::string& reason);
  bool isOpen() const noexcept { return base_ != nullptr; }
  void* base() const noexcept { return base_; }
  std::size_t mappedSize() const noexcept { return mapped_; }
  // How often the mapping moved to another address.
  std::uint64_t remaps() const noexcept { return remaps_; }

  // Unmaps and closes; the file stays.
  void close();
  // Closes and unlinks the file.
  void wipe();

  // Core-dump mode kCoreDumpIncluded (0) includes the mapping in core dumps
  // (MADV_DODUMP); kCoreDumpExcluded (3) leaves it out (MADV_DONTDUMP). Kept
  // across resize().
  static constexpr int kCoreDumpIncluded = 0;
  static constexpr int kCoreDumpExcluded = 3;
  void coreDumpModeIs(int mode);
  int coreDumpMode() const noexcept { return coreDumpMode_; }

 private:
  std::string path_;
  Access access_;
  int fd_ = -1;
  void* base_ = nullptr;
  std::size_t mapped_ = 0;
  std::uint64_t remaps_ = 0;
  int coreDumpMode_ = 0;
};

// A SharedMemWrapper with a name (the file name within the collection's root
// directory, e.g. "slots").
class Tracked {
 public:
  // An empty path: process-local memory (see SharedMemWrapper).
  Tracked(std::string name, std::string path, Access access) : name_(std::move(name)), shm_(std::move(path), access) {}
  const std::string& name() const noexcept { return name_; }
  SharedMemWrapper& shm() noexcept { return shm_; }
  const SharedMemWrapper& shm() const noexcept { return shm_; }

 private:
  std::string name_;
  SharedMemWrapper shm_;
};

}  // namespace Mem
