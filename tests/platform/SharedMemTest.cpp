#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Mem/OrlRootPath.h"
#include "Mem/SharedMemWrapper.h"
#include "Mem/Util.h"
#include "Orvel/Exception.h"
#include "support/TempBaseDir.h"

namespace {

using Mem::Access;
using Mem::SharedMemWrapper;

constexpr std::size_t kPage = 4096;

unsigned char patternByte(std::size_t i) { return static_cast<unsigned char>(i * 31 + 7); }

void fillPattern(SharedMemWrapper& shm, std::size_t from, std::size_t to) {
  auto* bytes = static_cast<unsigned char*>(shm.base());
  for (std::size_t i = from; i < to; ++i) bytes[i] = patternByte(i);
}

// The first offset in [from, to) whose byte differs from the pattern (or
// from zero), if any.
std::optional<std::size_t> firstMismatch(const void* base, std::size_t from, std::size_t to, bool zero = false) {
  const auto* bytes = static_cast<const unsigned char*>(base);
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != (zero ? 0 : patternByte(i))) return i;
  }
  return std::nullopt;
}
bool allZero(const void* base, std::size_t from, std::size_t to) { return !firstMismatch(base, from, to, true); }

std::size_t allocatedBytes(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return static_cast<std::size_t>(st.st_blocks) * 512;
}

// The VmFlags line of the mapping that starts at `base`, from /proc/self/smaps:
// the first after the line that starts with the mapping's address range.
std::string vmFlags(const void* base) {
  char start[32];
  std::snprintf(start, sizeof start, "%" PRIxPTR "-", reinterpret_cast<std::uintptr_t>(base));
  std::ifstream smaps("/proc/self/smaps");
  bool inMapping = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind(start, 0) == 0) inMapping = true;
    if (inMapping && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}
bool excludedFromCoreDumps(const void* base) { return vmFlags(base).find(" dd") != std::string::npos; }

// Makes sure the page right after the mapping is taken, so the mapping cannot
// grow in place. Returns the page it mapped for that (nullptr when something
// else already sits there); the caller unmaps it.
void* blockGrowthInPlace(const SharedMemWrapper& shm) {
  void* end = static_cast<char*>(shm.base()) + shm.mappedSize();
  void* blocker = ::mmap(end, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (blocker == MAP_FAILED) {
    EXPECT_EQ(errno, EEXIST);
    return nullptr;
  }
  EXPECT_EQ(blocker, end);
  return blocker;
}
void unblock(void* blocker) {
  if (blocker != nullptr) ::munmap(blocker, kPage);
}

class SharedMemWrapperTest : public test_shm::TempBaseDir {
 protected:
  std::string path() const { return file("slots"); }
  std::string reason_;
};

// Verifies: a writer's open creates and extends the file to the size and maps
// it; without `create` a missing file is an error, as is a zero size.
TEST_F(SharedMemWrapperTest, OpenCreatesExtendsAndMaps) {
  SharedMemWrapper shm(path(), Access::readWrite);
  EXPECT_FALSE(shm.exists());
  EXPECT_EQ(shm.fileSize(), 0u);

  EXPECT_FALSE(shm.open(10000, /*create=*/false, reason_));
  EXPECT_EQ(reason_, "No such file or directory");
  EXPECT_FALSE(shm.isOpen());
  EXPECT_FALSE(shm.exists());

  EXPECT_FALSE(shm.open(0, /*create=*/true, reason_));
  EXPECT_FALSE(shm.isOpen());

  ASSERT_TRUE(shm.open(10000, /*create=*/true, reason_)) << reason_;
  EXPECT_TRUE(shm.exists());
  EXPECT_TRUE(shm.isOpen());
  EXPECT_EQ(shm.mappedSize(), 10000u);
  EXPECT_EQ(shm.fileSize(), 10000u);
  EXPECT_TRUE(allZero(shm.base(), 0, 10000));
  fillPattern(shm, 0, 10000);

  // Closing keeps the file; reopening maps the same bytes.
  shm.close();
  EXPECT_FALSE(shm.isOpen());
  EXPECT_EQ(shm.fileSize(), 10000u);
  ASSERT_TRUE(shm.open(10000, /*create=*/false, reason_)) << reason_;
  EXPECT_EQ(firstMismatch(shm.base(), 0, 10000), std::nullopt);

  // Resizing a closed wrapper fails.
  shm.close();
  EXPECT_FALSE(shm.resize(20000, reason_));
  EXPECT_FALSE(reason_.empty());
}

// Verifies: growing extends the file and keeps the data; shrinking keeps the
// file length and the data below the new size, gives back the memory above
// it, and growing again maps zeroed, writable memory there. A reader that
// still maps the old, larger size reads all of it after the shrink (the file
// never gets shorter, so no SIGBUS).
TEST_F(SharedMemWrapperTest, GrowAndShrinkKeepLengthAndData) {
  SharedMemWrapper shm(path(), Access::readWrite);
  ASSERT_TRUE(shm.open(3 * kPage, true, reason_)) << reason_;
  fillPattern(shm, 0, 3 * kPage);

  constexpr std::size_t kLarge = 256 * kPage;
  ASSERT_TRUE(shm.resize(kLarge, reason_)) << reason_;
  EXPECT_EQ(shm.mappedSize(), kLarge);
  EXPECT_EQ(shm.fileSize(), kLarge);
  EXPECT_EQ(firstMismatch(shm.base(), 0, 3 * kPage), std::nullopt);
  fillPattern(shm, 3 * kPage, kLarge);
  EXPECT_GE(allocatedBytes(path()), kLarge);
  SharedMemWrapper reader(path(), Access::readOnly);
  ASSERT_TRUE(reader.open(kLarge, false, reason_)) << reason_;

  // A new size inside a page: that page keeps its bytes, the rest is punched.
  constexpr std::size_t kSmall = 2 * kPage + 100;
  ASSERT_TRUE(shm.resize(kSmall, reason_)) << reason_;
  EXPECT_EQ(shm.mappedSize(), kSmall);
  EXPECT_EQ(shm.fileSize(), kLarge);
  EXPECT_EQ(firstMismatch(shm.base(), 0, kSmall), std::nullopt);
  EXPECT_LE(allocatedBytes(path()), 4 * kPage);
  // The reader's whole old length stays readable; above the new size it reads as zero.
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);
  EXPECT_TRUE(allZero(reader.base(), 3 * kPage, kLarge));

  ASSERT_TRUE(shm.resize(kLarge, reason_)) << reason_;
  EXPECT_EQ(shm.fileSize(), kLarge);
  EXPECT_EQ(firstMismatch(shm.base(), 0, kSmall), std::nullopt);
  EXPECT_TRUE(allZero(shm.base(), 3 * kPage, kLarge));
  EXPECT_GE(allocatedBytes(path()), kLarge);  // the holes are backed again
  fillPattern(shm, 0, kLarge);
  EXPECT_EQ(firstMismatch(shm.base(), 0, kLarge), std::nullopt);
}

// Verifies: remaps() counts exactly the resizes that moved the mapping; a
// mapping blocked in place by a neighbour must move when it grows.
TEST_F(SharedMemWrapperTest, RemapCountedWhenAddressChanges) {
  SharedMemWrapper shm(path(), Access::readWrite);
  ASSERT_TRUE(shm.open(kPage, true, reason_)) << reason_;
  fillPattern(shm, 0, kPage);

  void* blocker = blockGrowthInPlace(shm);
  void* before = shm.base();
  ASSERT_TRUE(shm.resize(4 * kPage, reason_)) << reason_;
  EXPECT_NE(shm.base(), before);
  EXPECT_EQ(shm.remaps(), 1u);
  EXPECT_EQ(firstMismatch(shm.base(), 0, kPage), std::nullopt);
  unblock(blocker);

  // Over a run of resizes, the count follows the observed moves.
  std::uint64_t moves = 1;
  for (std::size_t pages : {8, 2, 64, 3, 512, 1, 100}) {
    void* previous = shm.base();
    ASSERT_TRUE(shm.resize(pages * kPage, reason_)) << reason_;
    if (shm.base() != previous) ++moves;
    EXPECT_EQ(shm.remaps(), moves);
  }
  EXPECT_EQ(firstMismatch(shm.base(), 0, kPage), std::nullopt);
}

// Verifies: a read-only wrapper maps the writer's bytes, sees later writes,
// may not map past the end of the file, and never creates the file.
TEST_F(SharedMemWrapperTest, ReaderSeesWriterBytes) {
  SharedMemWrapper reader(path(), Access::readOnly);
  EXPECT_FALSE(reader.open(kPage, /*create=*/true, reason_));
  EXPECT_EQ(reason_, "No such file or directory");
  EXPECT_FALSE(reader.exists());

  SharedMemWrapper writer(path(), Access::readWrite);
  ASSERT_TRUE(writer.open(2 * kPage, true, reason_)) << reason_;
  fillPattern(writer, 0, 2 * kPage);

  EXPECT_FALSE(reader.open(2 * kPage + 1, false, reason_));
  EXPECT_EQ(reason_, "file is shorter than the mapping");
  EXPECT_FALSE(reader.isOpen());
  EXPECT_EQ(writer.fileSize(), 2 * kPage);  // the reader did not extend it

  ASSERT_TRUE(reader.open(kPage, false, reason_)) << reason_;
  EXPECT_EQ(firstMismatch(reader.base(), 0, kPage), std::nullopt);
  static_cast<unsigned char*>(writer.base())[17] = 0xA5;
  EXPECT_EQ(static_cast<const unsigned char*>(reader.base())[17], 0xA5);

  EXPECT_FALSE(reader.resize(3 * kPage, reason_));
  EXPECT_EQ(reason_, "file is shorter than the mapping");
  EXPECT_EQ(reader.mappedSize(), kPage);

  ASSERT_TRUE(writer.resize(3 * kPage, reason_)) << reason_;
  fillPattern(writer, 2 * kPage, 3 * kPage);
  ASSERT_TRUE(reader.resize(3 * kPage, reason_)) << reason_;
  EXPECT_EQ(firstMismatch(reader.base(), 2 * kPage, 3 * kPage), std::nullopt);
}

// Verifies: wipe() unlinks the file; a reader's old mapping stays readable with
// the old bytes, also after a new file takes the name.
TEST_F(SharedMemWrapperTest, WipeUnlinksWhileOldMappingStaysReadable) {
  SharedMemWrapper writer(path(), Access::readWrite);
  ASSERT_TRUE(writer.open(4 * kPage, true, reason_)) << reason_;
  fillPattern(writer, 0, 4 * kPage);
  SharedMemWrapper reader(path(), Access::readOnly);
  ASSERT_TRUE(reader.open(4 * kPage, false, reason_)) << reason_;

  writer.wipe();
  EXPECT_FALSE(writer.isOpen());
  EXPECT_FALSE(writer.exists());
  EXPECT_EQ(writer.fileSize(), 0u);
  EXPECT_EQ(firstMismatch(reader.base(), 0, 4 * kPage), std::nullopt);

  SharedMemWrapper successor(path(), Access::readWrite);
  ASSERT_TRUE(successor.open(4 * kPage, true, reason_)) << reason_;
  EXPECT_TRUE(allZero(successor.base(), 0, 4 * kPage));
  std::memset(successor.base(), 0xFF, 4 * kPage);
  EXPECT_EQ(firstMismatch(reader.base(), 0, 4 * kPage), std::nullopt);
}

// Verifies: core-dump mode 3 excludes the mapping from core dumps and 0
// includes it, and the choice survives a resize that moves the mapping.
TEST_F(SharedMemWrapperTest, CoreDumpModeAppliedAndKeptAcrossResize) {
  SharedMemWrapper shm(path(), Access::readWrite);
  shm.coreDumpModeIs(3);  // before open: applied when it maps
  ASSERT_TRUE(shm.open(kPage, true, reason_)) << reason_;
  ASSERT_FALSE(vmFlags(shm.base()).empty()) << "no VmFlags in /proc/self/smaps";
  EXPECT_TRUE(excludedFromCoreDumps(shm.base()));

  void* blocker = blockGrowthInPlace(shm);
  ASSERT_TRUE(shm.resize(16 * kPage, reason_)) << reason_;
  unblock(blocker);
  EXPECT_EQ(shm.remaps(), 1u);
  EXPECT_EQ(shm.coreDumpMode(), 3);
  EXPECT_TRUE(excludedFromCoreDumps(shm.base()));

  shm.coreDumpModeIs(0);
  EXPECT_EQ(shm.coreDumpMode(), 0);
  EXPECT_FALSE(excludedFromCoreDumps(shm.base()));
}

class OrlRootPathTest : public test_shm::TempBaseDir {};

// Verifies: collection paths map to one directory name below the base, with
// leading slashes dropped and every character outside [A-Za-z0-9._-] turned
// into '_'.
TEST_F(OrlRootPathTest, MapsCollectionPathToDirectoryName) {
  struct Case {
    const char* collectionPath;
    const char* directory;
  };
  const Case cases[] = {
      {"/Vovu/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/1-0",
       "Vovu_bcm88490_a0_IppaVsiToRoutingProfileMapHwDirect_1-0"},
      {"///a/b", "a_b"},
      {"plain.name-1_2", "plain.name-1_2"},
      {"/a b:c*d?e\\f", "a_b_c_d_e_f"},
      {"/tab\there/", "tab_here_"},
      {"/caf\xc3\xa9", "caf__"},
      {"/x/../y", "x_.._y"},
      // Names that would point at the base or its parent.
      {"/..", "__"},
      {"/.", "_"},
      {"/", "_"},
      {"", "_"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.collectionPath);
    const Mem::OrlRootPath root(c.collectionPath);
    EXPECT_EQ(root.collectionPath(), c.collectionPath);
    EXPECT_EQ(root.path(), (base_ / c.directory).string());
    EXPECT_EQ(root.file("slots"), (base_ / c.directory / "slots").string());
  }
}

// Verifies: create() makes the directory with its parents and tolerates an
// existing one; failure names the directory and the reason. The control file
// is created empty (and again without harm); a missing root is reported.
TEST_F(OrlRootPathTest, CreateMakesDirectoryOrThrows) {
  Mem::baseDirIs((base_ / "deeper" / "base").string());
  const Mem::OrlRootPath root("/Vovu/table");
  EXPECT_EQ(root.path(), (base_ / "deeper" / "base" / "Vovu_table").string());
  EXPECT_FALSE(std::filesystem::exists(root.path()));
  root.create();
  EXPECT_TRUE(std::filesystem::is_directory(root.path()));
  root.create();
  const std::filesystem::path control = std::filesystem::path(root.path()) / Mem::Util::Clone::CONTROL_FILENAME;
  for (int i = 0; i < 2; ++i) {
    Mem::Util::createControlFile(root.path());
    ASSERT_TRUE(std::filesystem::is_regular_file(control));
    EXPECT_EQ(std::filesystem::file_size(control), 0u);
  }
  EXPECT_THROW(Mem::Util::createControlFile(root.path() + "/missing"), Orvel::MemoryResourceException);

  std::ofstream(base_ / "plainfile") << "x";
  Mem::baseDirIs((base_ / "plainfile").string());
  const Mem::OrlRootPath blocked("/Vovu/table");
  try {
    blocked.create();
    FAIL() << "expected MemoryResourceException";
  } catch (const Orvel::MemoryResourceException& e) {
    EXPECT_EQ(e.message(), "cannot create directory " + blocked.path() + ": Not a directory");
  }
}

// Verifies: the base directory is the one set, else VOVU_SHM_DIR, else the
// default; a relative base still gives absolute paths.
TEST_F(OrlRootPathTest, BaseDirectoryChoice) {
  const char* saved = std::getenv("VOVU_SHM_DIR");
  const std::optional<std::string> savedEnv = saved ? std::optional<std::string>(saved) : std::nullopt;

  EXPECT_EQ(Mem::baseDir(), base_.string());
  Mem::baseDirIs("");
  ::setenv("VOVU_SHM_DIR", "/run/elsewhere", 1);
  EXPECT_EQ(Mem::baseDir(), "/run/elsewhere");
  EXPECT_EQ(Mem::OrlRootPath("/t").path(), "/run/elsewhere/t");
  ::unsetenv("VOVU_SHM_DIR");
  EXPECT_EQ(Mem::baseDir(), "/dev/shm/vovu");
  Mem::baseDirIs("relative/dir/");
  EXPECT_EQ(Mem::baseDir(), "relative/dir");
  EXPECT_EQ(Mem::OrlRootPath("/t").path(), (std::filesystem::current_path() / "relative/dir/t").string());

  if (savedEnv) ::setenv("VOVU_SHM_DIR", savedEnv->c_str(), 1);
}

}  // namespace
