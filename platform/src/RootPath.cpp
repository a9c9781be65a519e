#include "Mem/OrlRootPath.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Mem {
namespace {

constexpr const char* kDefaultBaseDir = "/dev/shm/vovu";

struct BaseDirState {
  std::mutex mutex;
  std::string directory;  // set with baseDirIs; empty: environment or default
};

BaseDirState& baseDirState() {
  static BaseDirState state;
  return state;
}

bool keptAsIs(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// The directory name of a collection below the base directory.
std::string directoryName(std::string_view collectionPath) {
  const std::size_t start = collectionPath.find_first_not_of('/');
  std::string name;
  if (start != std::string_view::npos) {
    name.reserve(collectionPath.size() - start);
    for (char c : collectionPath.substr(start)) name.push_back(keptAsIs(c) ? c : '_');
  }
  // "", "." and ".." would name the base directory or its parent rather than
  // a directory of the collection's own.
  if (name.empty() || name == "." || name == "..") name.assign(name.empty() ? 1 : name.size(), '_');
  return name;
}

}  // namespace

std::string baseDir() {
  std::string directory;
  {
    BaseDirState& state = baseDirState();
    std::lock_guard lock(state.mutex);
    directory = state.directory;
  }
  if (directory.empty()) {
    const char* env = std::getenv("VOVU_SHM_DIR");
    directory = env && *env ? env : kDefaultBaseDir;
  }
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

void baseDirIs(std::string_view directory) {
  BaseDirState& state = baseDirState();
  std::lock_guard lock(state.mutex);
  state.directory = directory;
}

OrlRootPath::OrlRootPath(std::string_view collectionPath) : collectionPath_(collectionPath) {
  std::filesystem::path base(baseDir());
  if (base.is_relative()) {
    std::error_code ignored;
    base = std::filesystem::absolute(base, ignored);
  }
  path_ = (base / directoryName(collectionPath)).lexically_normal().string();
}

std::string OrlRootPath::file(std::string_view name) const {
  std::string result = path_;
  result += '/';
  result += name;
  return result;
}

void OrlRootPath::create() const {
  std::error_code error;
  std::filesystem::create_directories(path_, error);
  if (error) {
    throw Orvel::MemoryResourceException(fmt::format("cannot create directory {}: {}", path_, error.message()));
  }
}

}  // namespace Mem
