#include "SharedMem/OwnerFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "FileReplace.h"
#include "Orvel/Exception.h"

namespace SharedMem {
namespace {

constexpr const char* kMagic = "vovu-owner-1";

struct Record {
  WirraInfo wirraInfo;
  std::string typeName;
  std::uint32_t shmType = 0;
  bool wiped = false;
};

bool isUnsigned(const nlohmann::json& value) { return value.is_number_unsigned(); }

// Parses the file at `path` into `record`; false with `err` set when it is
// missing or is not an owner record.
bool parse(const std::string& path, Record& record, std::string& err) {
  std::string text;
  if (const int error = Mem::Impl::readWholeFile(path, text); error != 0) {
    err = fmt::format("cannot read owner file {}: {}", path, std::strerror(error));
    return false;
  }
  auto malformed = [&](std::string_view what) {
    err = fmt::format("owner file {} is malformed: {}", path, what);
    return false;
  };
  // lock() creates the file empty before the first record is written.
  if (text.empty()) return malformed("empty");
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) return malformed("not a JSON object");
  const auto magic = document.find("magic");
  if (magic == document.end() || !magic->is_string() || magic->get<std::string>() != kMagic) {
    return malformed("bad magic");
  }
  const auto info = document.find("wirraInfo");
  if (info == document.end() || !info->is_object()) return malformed("no wirraInfo object");
  const auto socketName = info->find("socketName");
  const auto pid = info->find("pid");
  const auto startTime = info->find("startTime");
  if (socketName == info->end() || !socketName->is_string()) return malformed("bad wirraInfo.socketName");
  if (pid == info->end() || !pid->is_number_integer() || pid->get<std::int64_t>() < 0 ||
      pid->get<std::int64_t>() > std::numeric_limits<std::int32_t>::max()) {
    return malformed("bad wirraInfo.pid");
  }
  if (startTime == info->end() || !isUnsigned(*startTime)) return malformed("bad wirraInfo.startTime");
  const auto typeName = document.find("typeName");
  if (typeName == document.end() || !typeName->is_string()) return malformed("bad typeName");
  const auto shmType = document.find("shmType");
  if (shmType == document.end() || !isUnsigned(*shmType) ||
      shmType->get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
    return malformed("bad shmType");
  }
  const auto wiped = document.find("wiped");
  if (wiped == document.end() || !wiped->is_boolean()) return malformed("bad wiped");

  record.wirraInfo.socketName = socketName->get<std::string>();
  record.wirraInfo.pid = static_cast<std::int32_t>(pid->get<std::int64_t>());
  record.wirraInfo.startTime = startTime->get<std::uint64_t>();
  record.typeName = typeName->get<std::string>();
  record.shmType = static_cast<std::uint32_t>(shmType->get<std::uint64_t>());
  record.wiped = wiped->get<bool>();
  return true;
}

bool sameFile(int fd, const std::string& path) {
  struct stat held {
  }, named{};
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

OwnerFile::OwnerFile(std::string path) : path_(std::move(path)) {}

OwnerFile::~OwnerFile() { unlock(); }

// write() replaces the file by rename, so the lock must be on the file that
// currently has the name: after waiting for the lock, a file that was
// replaced or removed meanwhile is let go and the current one locked instead.
void OwnerFile::lock() {
  if (lockFd_ >= 0) return;
  for (;;) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      throw Orvel::MemoryResourceException(fmt::format("cannot open {}: {}", path_, std::strerror(errno)));
    }
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const int error = errno;
      ::close(fd);
      throw Orvel::MemoryResourceException(fmt::format("cannot lock {}: {}", path_, std::strerror(error)));
    }
    if (sameFile(fd, path_)) {
      lockFd_ = fd;
      return;
    }
    ::close(fd);
  }
}

void OwnerFile::unlock() {
  if (lockFd_ < 0) return;
  ::flock(lockFd_, LOCK_UN);
  ::close(lockFd_);
  lockFd_ = -1;
}

bool OwnerFile::read(std::string& err) {
  Record record;
  const bool ok = parse(path_, record, err);
  wirraInfo_ = std::move(record.wirraInfo);
  typeName_ = std::move(record.typeName);
  shmType_ = record.shmType;
  wiped_ = record.wiped;
  return ok;
}

bool OwnerFile::validate(std::string& err) const {
  Record record;
  return parse(path_, record, err);
}

void OwnerFile::write() {
  const nlohmann::json document = {
      {"magic", kMagic},
      {"wirraInfo",
       {{"socketName", wirraInfo_.socketName}, {"pid", wirraInfo_.pid}, {"startTime", wirraInfo_.startTime}}},
      {"typeName", typeName_},
      {"shmType", shmType_},
      {"wiped", wiped_},
  };
  const std::string text = document.dump() + "\n";
  if (lockFd_ < 0) {
    Mem::Impl::replaceFile(path_, text);
    return;
  }
  // While locked, the new file is locked before it takes the name, so the
  // lock passes to it without a gap in which another writer could take it.
  const int fd = Mem::Impl::replaceFile(path_, text, /*keepOpen=*/true, [this](int newFd) {
    if (::flock(newFd, LOCK_EX | LOCK_NB) != 0) {
      throw Orvel::MemoryResourceException(fmt::format("cannot lock {}: {}", path_, std::strerror(errno)));
    }
  });
  ::close(lockFd_);
  lockFd_ = fd;
}

void OwnerFile::remove() { ::unlink(path_.c_str()); }

std::string OwnerFile::toString() const {
  return fmt::format("owner {}: {} typeName={} shmType={} wiped={}", path_, wirraInfo_.toString(), typeName_, shmType_,
                     wiped_);
}

}  // namespace SharedMem
