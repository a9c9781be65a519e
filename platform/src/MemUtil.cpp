#include "Mem/Util.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Mem {

void Util::createControlFile(const std::string& rootPath) {
  const std::string path = rootPath + "/" + Util::Clone::CONTROL_FILENAME;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw Orvel::MemoryResourceException(fmt::format("cannot create control file {}: {}", path, std::strerror(errno)));
  }
  ::close(fd);
}

// Readers load 64-bit words that the writer stores concurrently; that is safe
// exactly when the compiler implements 64-bit atomics with plain lock-free
// instructions on every CPU of the target (true on x86-64, where an aligned
// 8-byte move is atomic).
bool Atomics::checkCpuSupport() { return std::atomic<std::uint64_t>::is_always_lock_free; }

}  // namespace Mem
