#include "FileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Mem::Impl {

int readWholeFile(const std::string& path, std::string& text) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[4096];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  return error;
}

namespace {

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int replaceFile(const std::string& path, std::string_view text, bool keepOpen,
                const std::function<void(int fd)>& beforeRename) {
  // Unique per process and call, so concurrent writers never share a temporary.
  static std::atomic<std::uint64_t> counter{0};
  const std::string temporary = fmt::format("{}.tmp-{}-{}", path, ::getpid(), counter.fetch_add(1));

  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw Orvel::MemoryResourceException(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  }
  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw Orvel::MemoryResourceException(fmt::format("cannot write {}: {}", path, std::strerror(error)));
  };
  if (!writeAll(fd, text)) fail(errno);
  if (beforeRename) {
    try {
      beforeRename(fd);
    } catch (...) {
      ::close(fd);
      ::unlink(temporary.c_str());
      throw;
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
  if (keepOpen) return fd;
  ::close(fd);
  return -1;
}

}  // namespace Mem::Impl
