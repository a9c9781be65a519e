#include "Mem/WriterLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "SharedMem/OwnerFile.h"

namespace Mem {
namespace {

// The address of abstract socket `name`: sun_path starts with a NUL and the
// name follows without a terminator; the length covers exactly that.
bool abstractAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) return false;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  address.sun_path[0] = '\0';
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

// This process's start time, read once per process (a forked child reads its own).
std::uint64_t selfStartTime() {
  static std::mutex mutex;
  static pid_t cachedPid = 0;
  static std::uint64_t cachedStart = 0;
  const pid_t pid = ::getpid();
  std::lock_guard lock(mutex);
  if (cachedPid != pid) {
    cachedStart = SharedMem::processStartTime(pid);
    cachedPid = pid;
  }
  return cachedStart;
}

std::string ownerDescription(const std::string& ownerFilePath) {
  SharedMem::OwnerFile owner(ownerFilePath);
  std::string ignored;
  if (!owner.read(ignored) || owner.wirraInfo().empty()) return "an unknown process";
  return owner.wirraInfo().toString();
}

}  // namespace

struct WriterLock::Impl {
  pid_t ownerPid = 0;  // the process that took the lock
  int lockFd = -1;
  int listenFd = -1;
  std::thread acceptor;
  SharedMem::WirraInfo info;

  // Accepts and drops connections: a connection that completes is all that
  // ownerIsAlive() asks for. Ends when release() shuts the socket down.
  void acceptLoop() const {
    for (;;) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        ::close(fd);
      } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory for now; the connection waits in the backlog.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else if (errno != EINTR && errno != ECONNABORTED) {
        return;
      }
    }
  }

  // A forked child shares the socket and the lock's open file description
  // with the parent but has no acceptor thread: it only drops its
  // descriptors, leaving the parent's socket and lock intact.
  bool inheritedByFork() const { return ownerPid != ::getpid(); }

  void closeSocket() {
    if (listenFd < 0) return;
    if (inheritedByFork()) {
      if (acceptor.joinable()) acceptor.detach();
      ::close(listenFd);
      listenFd = -1;
      return;
    }
    ::shutdown(listenFd, SHUT_RDWR);  // wakes the blocked accept4
    if (acceptor.joinable()) acceptor.join();
    ::close(listenFd);
    listenFd = -1;
  }

  void unlock() {
    if (lockFd < 0) return;
    if (!inheritedByFork()) ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    lockFd = -1;
  }
};

WriterLock::WriterLock(std::string rootPath) : rootPath_(std::move(rootPath)), impl_(std::make_unique<Impl>()) {}

WriterLock::~WriterLock() { release(); }

void WriterLock::acquireWriterLock(const std::string& ownerFilePath) {
  if (held()) return;
  const std::string lockPath = rootPath_ + "/writer.lock";
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw Orvel::MemoryResourceException(fmt::format("cannot open {}: {}", lockPath, std::strerror(errno)));
  }
  // flock belongs to the open file description: another open of the file, in
  // this process or any other, conflicts with it.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      throw Orvel::InvalidInitializeException(
          fmt::format("collection {} is owned by {}", rootPath_, ownerDescription(ownerFilePath)));
    }
    throw Orvel::MemoryResourceException(fmt::format("cannot lock {}: {}", lockPath, std::strerror(error)));
  }
  impl_->lockFd = fd;
  impl_->ownerPid = ::getpid();

  static std::atomic<std::uint64_t> socketCount{0};
  const std::int32_t pid = ::getpid();
  const std::string name = fmt::format("vovu-{}-{}", pid, socketCount.fetch_add(1));
  auto fail = [&](const char* what) {
    const int error = errno;
    if (impl_->listenFd >= 0) ::close(impl_->listenFd);
    impl_->listenFd = -1;
    impl_->unlock();
    throw Orvel::MemoryResourceException(
        fmt::format("cannot {} owner socket {}: {}", what, name, std::strerror(error)));
  };
  sockaddr_un address;
  socklen_t length = 0;
  abstractAddress(name, address, length);
  impl_->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl_->listenFd < 0) fail("create");
  if (::bind(impl_->listenFd, reinterpret_cast<const sockaddr*>(&address), length) != 0) fail("bind");
  if (::listen(impl_->listenFd, SOMAXCONN) != 0) fail("listen on");
  try {
    impl_->acceptor = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
  } catch (const std::system_error& e) {
    errno = e.code().value();
    fail("serve");
  }
  impl_->info = SharedMem::WirraInfo{name, pid, selfStartTime()};
}

void WriterLock::release() {
  if (!impl_) return;
  impl_->closeSocket();
  impl_->unlock();
  impl_->info = {};
}

bool WriterLock::held() const noexcept { return impl_ && impl_->lockFd >= 0; }

SharedMem::WirraInfo WriterLock::wirraInfo() const { return held() ? impl_->info : SharedMem::WirraInfo{}; }

bool WriterLock::ownerIsMe(const SharedMem::WirraInfo& info) {
  return info.pid != 0 && info.pid == ::getpid() && info.startTime == selfStartTime();
}

bool WriterLock::ownerIsAlive(const SharedMem::WirraInfo& info) {
  sockaddr_un address;
  socklen_t length = 0;
  if (!abstractAddress(info.socketName, address, length)) return false;
  // Non-blocking, so a listener that stopped accepting cannot hang the caller;
  // a full backlog (EAGAIN) still means someone listens on the name.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (rc != 0 && errno == EINTR);
  const bool alive = rc == 0 || errno == EAGAIN;
  ::close(fd);
  return alive;
}

}  // namespace Mem
