#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "Mem/OrlRootPath.h"
#include "Mem/SharedMemWrapper.h"
#include "Mem/Util.h"
#include "Orvel/Exception.h"
#include "platform/ThrownMessage.h"
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

// The first offset in [from, to) whose byte is not the pattern's (or zero).
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

// The VmFlags line of the mapping that starts at `base`, from /proc/self/smaps.
std::string vmFlags(const void* base) {
  const std::string start = fmt::format("{:x}-", reinterpret_cast<std::uintptr_t>(base));
  std::ifstream smaps("/proc/self/smaps");
  bool inMapping = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.rfind(start, 0) == 0) inMapping = true;
    if (inMapping && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}
bool excludedFromCoreDumps(const void* base) { return vmFlags(base).find(" dd") != std::string::npos; }

class SharedMemWrapperTest : public test_shm::TempBaseDir {
 protected:
  std::string path() const { return file("slots"); }
  std::string reason_;
};

TEST_F(SharedMemWrapperTest, OpenCreatesExtendsAndMaps) {
  SharedMemWrapper shm(path(), Access::readWrite);
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

  shm.close();
  EXPECT_FALSE(shm.isOpen());
  EXPECT_EQ(shm.fileSize(), 10000u);
  ASSERT_TRUE(shm.open(10000, /*create=*/false, reason_)) << reason_;
  EXPECT_EQ(firstMismatch(shm.base(), 0, 10000), std::nullopt);

  shm.close();  // resizing a closed wrapper fails
  EXPECT_FALSE(shm.resize(20000, reason_));
  EXPECT_FALSE(reason_.empty());
}

// Shrinking keeps the file length (a reader still mapping the old size must
// not get SIGBUS) but gives back the memory above the new size; growing again
// maps zeroed, writable memory there.
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
  fillPattern(shm, 0, kLarge);                // writable
}

// remaps() counts exactly the resizes that moved the mapping (one blocked in
// place must move to grow), and the core-dump mode, set before open, is
// applied when it maps and kept when it moves.
TEST_F(SharedMemWrapperTest, RemapCountedAndCoreDumpModeKept) {
  SharedMemWrapper shm(path(), Access::readWrite);
  shm.coreDumpModeIs(3);
  ASSERT_TRUE(shm.open(kPage, true, reason_)) << reason_;
  ASSERT_FALSE(vmFlags(shm.base()).empty()) << "no VmFlags in /proc/self/smaps";
  EXPECT_TRUE(excludedFromCoreDumps(shm.base()));
  fillPattern(shm, 0, kPage);

  // The page right after the mapping is taken (by us, or already by something
  // else), so it cannot grow in place.
  void* before = shm.base();
  void* end = static_cast<char*>(before) + kPage;
  void* blocker = ::mmap(end, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_TRUE(blocker == end || (blocker == MAP_FAILED && errno == EEXIST)) << blocker;
  ASSERT_TRUE(shm.resize(4 * kPage, reason_)) << reason_;
  EXPECT_NE(shm.base(), before);
  EXPECT_EQ(shm.remaps(), 1u);
  EXPECT_EQ(firstMismatch(shm.base(), 0, kPage), std::nullopt);
  EXPECT_EQ(shm.coreDumpMode(), 3);
  EXPECT_TRUE(excludedFromCoreDumps(shm.base()));
  if (blocker == end) ::munmap(blocker, kPage);

  std::uint64_t moves = 1;
  for (std::size_t pages : {8, 2, 64, 3, 512, 1, 100}) {
    void* previous = shm.base();
    ASSERT_TRUE(shm.resize(pages * kPage, reason_)) << reason_;
    if (shm.base() != previous) ++moves;
    EXPECT_EQ(shm.remaps(), moves);
  }
  EXPECT_EQ(firstMismatch(shm.base(), 0, kPage), std::nullopt);
  shm.coreDumpModeIs(0);
  EXPECT_EQ(shm.coreDumpMode(), 0);
  EXPECT_FALSE(excludedFromCoreDumps(shm.base()));
}

// A reader never creates or extends the file; its mapping stays readable with
// the old bytes after wipe() unlinks the file and a new file takes the name.
TEST_F(SharedMemWrapperTest, ReaderSeesWriterBytesAlsoAfterWipe) {
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
  fillPattern(writer, 0, 3 * kPage);  // also puts back byte 17
  ASSERT_TRUE(reader.resize(3 * kPage, reason_)) << reason_;
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);

  writer.wipe();
  EXPECT_FALSE(writer.isOpen());
  EXPECT_FALSE(writer.exists());
  EXPECT_EQ(writer.fileSize(), 0u);
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);
  SharedMemWrapper successor(path(), Access::readWrite);
  ASSERT_TRUE(successor.open(3 * kPage, true, reason_)) << reason_;
  EXPECT_TRUE(allZero(successor.base(), 0, 3 * kPage));
  std::memset(successor.base(), 0xFF, 3 * kPage);
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);
}

using OrlRootPathTest = test_shm::TempBaseDir;

// A collection path maps to one directory name below the base: leading
// slashes dropped, every character outside [A-Za-z0-9._-] turned into '_'.
TEST_F(OrlRootPathTest, MapsCollectionPathToDirectoryName) {
  const std::pair<const char*, const char*> cases[] = {
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
  for (const auto& [collectionPath, directory] : cases) {
    SCOPED_TRACE(collectionPath);
    const Mem::OrlRootPath root(collectionPath);
    EXPECT_EQ(root.collectionPath(), collectionPath);
    EXPECT_EQ(root.path(), (base_ / directory).string());
    EXPECT_EQ(root.file("slots"), (base_ / directory / "slots").string());
  }
}

// create() tolerates an existing directory; its failure names the directory
// and the reason. The control file is created empty, again without harm.
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
  EXPECT_EQ(thrownMessage<Orvel::MemoryResourceException>([&] { blocked.create(); }),
            "cannot create directory " + blocked.path() + ": Not a directory");
}

// The base directory is the one set, else VOVU_SHM_DIR, else the default; a
// relative base still gives absolute paths.
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
