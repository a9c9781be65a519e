// Mem::OrlRootPath: the directory that holds one collection's files.
//
// Every collection lives in its own directory below a base directory: the one
// set with baseDirIs(), else the environment variable VOVU_SHM_DIR, else
// "/dev/shm/vovu". A collection path (for example
// "/Vovu/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/1-0") is turned into a
// directory name below the base by keeping [A-Za-z0-9._-] and mapping every
// other character, '/' included, to '_' after dropping leading slashes; the
// directory is created (with parents) on demand.
#pragma once

#include <string>
#include <string_view>

namespace Mem {

std::string baseDir();
// Sets the base directory for this process; empty restores the default choice.
void baseDirIs(std::string_view directory);

class OrlRootPath {
 public:
  explicit OrlRootPath(std::string_view collectionPath);

  const std::string& collectionPath() const noexcept { return collectionPath_; }
  // The directory, absolute.
  const std::string& path() const noexcept { return path_; }
  // path() + "/" + name.
  std::string file(std::string_view name) const;
  // Creates the directory and its parents; throws Orvel::MemoryResourceException
  // "cannot create directory {}: {}" on failure.
  void create() const;

 private:
  std::string collectionPath_;
  std::string path_;
};

}  // namespace Mem
