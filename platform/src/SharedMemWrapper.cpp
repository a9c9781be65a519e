#include "Mem/SharedMemWrapper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Mem {
namespace {

// Granularity of the hole punched when the mapping shrinks; the page holding
// the new end keeps its contents.
constexpr std::size_t kPunchGranule = 4096;

std::size_t roundUp(std::size_t value, std::size_t granule) { return (value + granule - 1) / granule * granule; }
std::size_t roundDown(std::size_t value, std::size_t granule) { return value / granule * granule; }

std::string errnoText(int error) { return std::strerror(error); }

// Length of the file behind `fd`, or -1 with errno set.
off_t lengthOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

}  // namespace

SharedMemWrapper::SharedMemWrapper(std::string path, Access access) : path_(std::move(path)), access_(access) {}

SharedMemWrapper::~SharedMemWrapper() { close(); }

bool SharedMemWrapper::exists() const {
  if (anonymous()) return isOpen();
  struct stat st {};
  return ::stat(path_.c_str(), &st) == 0;
}

// While open, the length of the file this object maps (it may have been
// unlinked, or replaced under the same name); otherwise the file at path().
std::size_t SharedMemWrapper::fileSize() const {
  if (anonymous()) return mapped_;
  struct stat st {};
  const int rc = fd_ >= 0 ? ::fstat(fd_, &st) : ::stat(path_.c_str(), &st);
  return rc == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::uint64_t SharedMemWrapper::inode() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_ino);
}

bool SharedMemWrapper::open(std::size_t size, bool create, std::string& reason) {
  close();
  if (size == 0) {
    reason = errnoText(EINVAL);
    return false;
  }
  const bool writable = access_ == Access::readWrite;
  if (anonymous()) {
    // Private: a shared anonymous object has a fixed size and would not grow with mremap.
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      reason = errnoText(errno);
      return false;
    }
    base_ = memory;
    mapped_ = size;
    coreDumpModeIs(coreDumpMode_);
    return true;
  }
  int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
  if (writable && create) flags |= O_CREAT;
  const int fd = ::open(path_.c_str(), flags, 0644);
  if (fd < 0) {
    reason = errnoText(errno);
    return false;
  }
  auto fail = [&](std::string text) {
    ::close(fd);
    reason = std::move(text);
    return false;
  };

  if (writable) {
    // Allocates the whole range, not only the part past the current end: a
    // previous writer may have punched holes below `size` when it shrank.
    const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (error != 0) return fail(errnoText(error));
  } else {
    const off_t length = lengthOf(fd);
    if (length < 0) return fail(errnoText(errno));
    if (static_cast<std::size_t>(length) < size) return fail("file is shorter than the mapping");
  }

  void* base = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(errnoText(errno));

  fd_ = fd;
  base_ = base;
  mapped_ = size;
  coreDumpModeIs(coreDumpMode_);
  return true;
}

bool SharedMemWrapper::resize(std::size_t size, std::string& reason) {
  if (!isOpen()) {
    reason = errnoText(EBADF);
    return false;
  }
  if (size == 0) {
    reason = errnoText(EINVAL);
    return false;
  }
  if (size == mapped_) return true;
  const bool writable = access_ == Access::readWrite;

  if (anonymous()) {
    // Process-local memory: nothing behind it to extend or punch.
  } else if (size > mapped_) {
    if (writable) {
      // From the page holding the old end: holes punched by an earlier
      // shrink lie above it and must be backed again before they are mapped.
      const std::size_t from = roundDown(mapped_, kPunchGranule);
      const int error = ::posix_fallocate(fd_, static_cast<off_t>(from), static_cast<off_t>(size - from));
      if (error != 0) {
        reason = errnoText(error);
        return false;
      }
    } else {
      const off_t length = lengthOf(fd_);
      if (length < 0) {
        reason = errnoText(errno);
        return false;
      }
      if (static_cast<std::size_t>(length) < size) {
        reason = "file is shorter than the mapping";
        return false;
      }
    }
  } else if (writable) {
    // The file keeps its length (readers may still map more of it); only the
    // memory beyond the new size goes back.
    const off_t length = lengthOf(fd_);
    if (length < 0) {
      reason = errnoText(errno);
      return false;
    }
    const std::size_t from = roundUp(size, kPunchGranule);
    if (static_cast<std::size_t>(length) > from &&
        ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                    length - static_cast<off_t>(from)) != 0) {
      reason = errnoText(errno);
      return false;
    }
  }

  // Process-local memory lives only in its mapping, which the kernel moves
  // with its contents. A file is mapped anew and the old range unmapped:
  // a failure leaves the old mapping as it was, and a thread sanitizer, which
  // follows mmap and munmap but not a mapping the kernel moves, does not
  // mistake another thread's old accesses at a reused address for races.
  void* base = anonymous() ? ::mremap(base_, mapped_, size, MREMAP_MAYMOVE)
                           : ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd_, 0);
  if (base == MAP_FAILED) {
    reason = errnoText(errno);
    return false;
  }
  if (!anonymous()) ::munmap(base_, mapped_);
  if (base != base_) ++remaps_;
  base_ = base;
  mapped_ = size;
  coreDumpModeIs(coreDumpMode_);
  return true;
}

void SharedMemWrapper::close() {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  if (fd_ >= 0) ::close(fd_);
  base_ = nullptr;
  mapped_ = 0;
  fd_ = -1;
}

void SharedMemWrapper::wipe() {
  close();
  if (!anonymous()) ::unlink(path_.c_str());
}

// kCoreDumpExcluded leaves the mapping out of core dumps; every other mode includes it.
void SharedMemWrapper::coreDumpModeIs(int mode) {
  coreDumpMode_ = mode;
  if (base_ == nullptr) return;
  // Advice only: a kernel that refuses it changes what a core dump holds, not
  // how the mapping behaves.
  (void)::madvise(base_, mapped_, mode == kCoreDumpExcluded ? MADV_DONTDUMP : MADV_DODUMP);
}

}  // namespace Mem
