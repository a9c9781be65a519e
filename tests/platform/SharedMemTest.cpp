// A collection's files (mappings, directory, writer lock, owner and identity files); toggle files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "Mem/OrlRootPath.h"
#include "Mem/SharedMemWrapper.h"
#include "Mem/Util.h"
#include "Mem/WriterLock.h"
#include "NvToggles/Toggles.h"
#include "Orvel/Exception.h"
#include "SharedMem/OwnerFile.h"
#include "SharedMem/PalvoFile.h"
#include "SharedMem/WirraInfo.h"
#include "support/ChildProcess.h"
#include "support/ErrorOf.h"
#include "support/TempBaseDir.h"

namespace {

using Mem::Access;
using Mem::SharedMemWrapper;
using Mem::WriterLock;
using SharedMem::OwnerFile;
using SharedMem::PalvoFile;
using SharedMem::WirraInfo;
using testing_support::runInChild;

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

// What a wrapper says of itself: open, file present, mapped size, file size.
std::tuple<bool, bool, std::size_t, std::size_t> stateOf(const SharedMemWrapper& shm) {
  return {shm.isOpen(), shm.exists(), shm.mappedSize(), shm.fileSize()};
}

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

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// An owner record's fields, compared whole.
std::tuple<WirraInfo, std::string, std::uint32_t, bool> recordOf(const OwnerFile& owner) {
  return {owner.wirraInfo(), owner.typeName(), owner.shmType(), owner.wiped()};
}

// True when a separate open of `path` could take an exclusive flock now.
bool lockableNow(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return true;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// Waits (10 s at most) until someone is blocked in flock on the file `path`
// names now: a "->" entry of /proc/locks for its inode.
bool waitForBlockedLocker(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  for (int i = 0; i < 10000; ++i) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class CollectionFilesTest : public test_shm::TempBaseDir {
 protected:
  std::string root() const { return base_.string(); }
  std::string path() const { return file("slots"); }
  std::string ownerPath() const { return file("owner"); }
  std::string palvoPath() const { return file("palvo"); }

  // The message a second writer of this process is refused with.
  std::string refusal() {
    WriterLock second(root());
    try {
      second.acquireWriterLock(ownerPath());
    } catch (const Orvel::InvalidInitializeException& e) {
      EXPECT_FALSE(second.held());
      return e.what();
    }
    return "not refused";
  }

  std::string reason_;
};
using SharedMemWrapperTest = CollectionFilesTest;
using OrlRootPathTest = CollectionFilesTest;
using WriterLockTest = CollectionFilesTest;
using OwnerFileTest = CollectionFilesTest;
using PalvoFileTest = CollectionFilesTest;
using TogglesTest = CollectionFilesTest;

TEST_F(SharedMemWrapperTest, OpenCreatesExtendsAndMaps) {
  SharedMemWrapper shm(path(), Access::readWrite);
  EXPECT_FALSE(shm.open(10000, /*create=*/false, reason_));
  EXPECT_EQ(reason_, "No such file or directory");
  EXPECT_EQ(stateOf(shm), std::tuple(false, false, 0u, 0u));

  EXPECT_FALSE(shm.open(0, /*create=*/true, reason_));
  EXPECT_FALSE(shm.isOpen());

  ASSERT_TRUE(shm.open(10000, /*create=*/true, reason_)) << reason_;
  EXPECT_EQ(stateOf(shm), std::tuple(true, true, 10000u, 10000u));
  EXPECT_TRUE(allZero(shm.base(), 0, 10000));
  fillPattern(shm, 0, 10000);

  shm.close();
  EXPECT_EQ(stateOf(shm), std::tuple(false, true, 0u, 10000u));
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
  EXPECT_EQ(stateOf(shm), std::tuple(true, true, kLarge, kLarge));
  EXPECT_EQ(firstMismatch(shm.base(), 0, 3 * kPage), std::nullopt);
  fillPattern(shm, 3 * kPage, kLarge);
  EXPECT_GE(allocatedBytes(path()), kLarge);
  SharedMemWrapper reader(path(), Access::readOnly);
  ASSERT_TRUE(reader.open(kLarge, false, reason_)) << reason_;

  // A new size inside a page: that page keeps its bytes, the rest is punched.
  constexpr std::size_t kSmall = 2 * kPage + 100;
  ASSERT_TRUE(shm.resize(kSmall, reason_)) << reason_;
  EXPECT_EQ(stateOf(shm), std::tuple(true, true, kSmall, kLarge));
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
  EXPECT_EQ(stateOf(reader), std::tuple(false, true, 0u, 2 * kPage));  // the reader did not extend the file

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
  EXPECT_EQ(stateOf(writer), std::tuple(false, false, 0u, 0u));
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);
  SharedMemWrapper successor(path(), Access::readWrite);
  ASSERT_TRUE(successor.open(3 * kPage, true, reason_)) << reason_;
  EXPECT_TRUE(allZero(successor.base(), 0, 3 * kPage));
  std::memset(successor.base(), 0xFF, 3 * kPage);
  EXPECT_EQ(firstMismatch(reader.base(), 0, 3 * kPage), std::nullopt);
}

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
  EXPECT_EQ(testing_support::errorOf<Orvel::MemoryResourceException>([&] { blocked.create(); }),
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

// The owner is alive exactly while its lock (and so its socket) is held;
// ownerIsMe needs both this pid and this process's start time. (That a
// forked child is refused is checked through the collection's writer,
// tests/Ploom/FilesTest.cpp.)
TEST_F(WriterLockTest, OneWriterUntilReleasedAlsoAcrossFork) {
  WriterLock first(root());
  EXPECT_FALSE(first.held());
  EXPECT_TRUE(first.wirraInfo().empty());
  first.acquireWriterLock(ownerPath());
  ASSERT_TRUE(first.held());
  const WirraInfo info = first.wirraInfo();
  EXPECT_EQ(info.pid, ::getpid());
  EXPECT_EQ(info.socketName.rfind("vovu-" + std::to_string(::getpid()) + "-", 0), 0u) << info.socketName;
  EXPECT_EQ(info.startTime, SharedMem::processStartTime(::getpid()));       // not 0: ProcessStartTime
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(WriterLock::ownerIsAlive(info));  // every connection is served
  EXPECT_TRUE(WriterLock::ownerIsMe(info));
  EXPECT_FALSE(WriterLock::ownerIsMe({info.socketName, info.pid + 1, info.startTime}));
  EXPECT_FALSE(WriterLock::ownerIsMe({info.socketName, info.pid, info.startTime + 1}));  // a recycled pid
  EXPECT_FALSE(WriterLock::ownerIsMe({}));

  const std::string unknown = "collection " + root() + " is owned by an unknown process";
  EXPECT_EQ(refusal(), unknown);
  writeText(ownerPath(), "garbage");
  EXPECT_EQ(refusal(), unknown);
  OwnerFile owner(ownerPath());
  owner.wirraInfoIs(info);
  owner.write();
  EXPECT_EQ(refusal(), "collection " + root() + " is owned by " + info.toString());
  owner.lock();  // locking and unlocking the owner file leaves the writer lock in place
  owner.unlock();
  EXPECT_NE(refusal(), "not refused");

  // A forked child sees the parent alive and not itself; the child dropping
  // its copy of the lock leaves the parent's intact.
  const auto view = runInChild([&] {
    std::string seen = std::string(WriterLock::ownerIsAlive(info) ? "alive" : "dead") +
                       (WriterLock::ownerIsMe(info) ? " me" : " other");
    first.release();
    return seen;
  });
  EXPECT_EQ(view.output, "alive other");
  EXPECT_TRUE(WriterLock::ownerIsAlive(info));
  EXPECT_NE(refusal(), "not refused");

  first.release();
  EXPECT_FALSE(first.held());
  EXPECT_TRUE(first.wirraInfo().empty());
  for (const WirraInfo& dead : {info, WirraInfo{}, WirraInfo{"vovu-no-such-socket", ::getpid(), 1},
                                WirraInfo{std::string(200, 'x'), ::getpid(), 1}}) {
    EXPECT_FALSE(WriterLock::ownerIsAlive(dead)) << dead.toString();
  }
  const auto acquired = runInChild([&] {
    WriterLock child(root());
    child.acquireWriterLock(ownerPath());
    return std::string(child.held() ? "acquired" : "not held");
  });
  EXPECT_EQ(acquired.exitCode, 0);
  EXPECT_EQ(acquired.output, "acquired");
  WriterLock second(root());
  second.acquireWriterLock(ownerPath());
  EXPECT_TRUE(second.held());
  EXPECT_NE(second.wirraInfo().socketName, info.socketName);  // sockets are numbered per process
}

// A command name holding spaces and parentheses must not shift the fields.
TEST(ProcessStartTime, ParsesPastCommandName) {
  for (pid_t none : {0, -1, std::numeric_limits<pid_t>::max()})
    EXPECT_EQ(SharedMem::processStartTime(none), 0u) << none;

  const auto result = runInChild([] {
    const std::uint64_t before = SharedMem::processStartTime(::getpid());
    ::prctl(PR_SET_NAME, "a) b (c) 1 2 3", 0, 0, 0);
    const std::uint64_t after = SharedMem::processStartTime(::getpid());
    return before != 0 && before == after ? std::string("same") : std::to_string(before) + " " + std::to_string(after);
  });
  EXPECT_EQ(result.output, "same");
}

// After the round trip: a file that is not a complete owner record fails
// validate() and read(), and read() leaves the record empty.
TEST_F(OwnerFileTest, RoundTripAndMalformedFiles) {
  std::string err;
  OwnerFile reader(ownerPath());
  EXPECT_FALSE(reader.read(err));
  EXPECT_FALSE(err.empty());
  EXPECT_TRUE(reader.wirraInfo().empty());

  OwnerFile writer(ownerPath());
  const WirraInfo info{"vovu-4242-7", 4242, 987654321012ull};
  const std::string typeName = "Vovu::Bcm88490A0::Table \"quoted\"";
  writer.wirraInfoIs(info);
  writer.typeNameIs(typeName);
  writer.shmTypeIs(1);
  writer.wipedIs(true);
  writer.write();

  EXPECT_TRUE(reader.validate(err)) << err;
  ASSERT_TRUE(reader.read(err)) << err;
  EXPECT_EQ(recordOf(reader), std::tuple(info, typeName, 1u, true));
  EXPECT_NE(reader.toString().find(info.toString()), std::string::npos) << reader.toString();

  // Rewriting replaces the record; no temporary files stay behind.
  writer.wipedIs(false);
  writer.wirraInfoIs({});
  writer.write();
  ASSERT_TRUE(reader.read(err)) << err;
  EXPECT_EQ(recordOf(reader), std::tuple(WirraInfo{}, typeName, 1u, false));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base_), {}), 1);

  writer.remove();
  EXPECT_FALSE(reader.validate(err));  // also what a missing file gives

  const std::string good =
      R"({"magic":"vovu-owner-1","wirraInfo":{"socketName":"s","pid":1,"startTime":2},"typeName":"T","shmType":1,"wiped":false})";
  const auto edit = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"not JSON", "{\"magic\":"},
      {"array", "[1,2]"},
      {"wrong magic", edit("owner-1", "owner-2")},
      {"no magic", edit(R"("magic":"vovu-owner-1",)", "")},
      {"no wirraInfo", edit(R"("wirraInfo":{"socketName":"s","pid":1,"startTime":2},)", "")},
      {"pid as text", edit(R"("pid":1)", R"("pid":"1")")},
      {"negative start", edit(R"("startTime":2)", R"("startTime":-2)")},
      {"no socketName", edit(R"("socketName":"s",)", "")},
      {"typeName number", edit(R"("T")", "3")},
      {"shmType too big", edit(R"("shmType":1)", R"("shmType":4294967296)")},
      {"wiped as number", edit("false", "0")},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    writeText(ownerPath(), good);
    ASSERT_TRUE(reader.read(err)) << err;  // the record is full before each case
    writeText(ownerPath(), text);
    err.clear();
    EXPECT_FALSE(reader.validate(err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(reader.read(err));
    EXPECT_EQ(recordOf(reader), std::tuple(WirraInfo{}, "", 0u, false));
  }
}

// The lock stays on the file that has the name when write() replaces it, and
// a second locker, blocked on a file that was then replaced, ends up holding
// the current file once the first lets go.
TEST_F(OwnerFileTest, LockFollowsReplacedFile) {
  OwnerFile owner(ownerPath());
  owner.lock();
  OwnerFile other(ownerPath());
  std::thread waiter([&] { other.lock(); });
  ASSERT_TRUE(waitForBlockedLocker(ownerPath()));
  for (int i = 0; i < 2; ++i) {
    owner.write();
    EXPECT_FALSE(lockableNow(ownerPath())) << "after write " << i;
  }
  owner.unlock();
  waiter.join();
  EXPECT_FALSE(lockableNow(ownerPath()));
  other.unlock();
  EXPECT_TRUE(lockableNow(ownerPath()));
}

// An id is stored as eight lowercase hex digits and a newline; anything else
// in the file reads as nothing. Ids carry the pid's low 16 bits above a
// per-call counter; a forked child's carry the child's pid.
TEST_F(PalvoFileTest, RoundTripAndNewIds) {
  const PalvoFile palvo(palvoPath());
  std::string err;
  EXPECT_FALSE(palvo.validate(1, err));
  EXPECT_FALSE(err.empty());

  for (SharedMem::PalvoId id : {0x0u, 0x1u, 0xabcdef01u, 0xffffffffu}) {
    palvo.write(id);
    EXPECT_EQ(palvo.read(), id);
  }
  palvo.write(0x00c0ffeeu);
  std::ifstream in(palvoPath(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "00c0ffee\n");
  EXPECT_TRUE(palvo.validate(0x00c0ffeeu, err)) << err;
  err.clear();
  EXPECT_FALSE(palvo.validate(0x00c0ffefu, err));
  EXPECT_NE(err.find("00c0ffee"), std::string::npos) << err;

  palvo.remove();
  EXPECT_EQ(palvo.read(), std::nullopt);  // also what a missing file gives
  palvo.remove();

  for (const std::string text : {"", "\n", "1234567\n", "123456789\n", "ABCDEF01\n", "abcdef01", "abcdef0g\n",
                                 "abcdef01\n\n", " bcdef01\n", "0x12abcd\n", "-1234567\n"}) {
    SCOPED_TRACE(text);
    writeText(palvoPath(), text);
    EXPECT_EQ(palvo.read(), std::nullopt);
    EXPECT_FALSE(palvo.validate(0, err));
  }

  const SharedMem::PalvoId first = SharedMem::newPalvoId();
  const SharedMem::PalvoId second = SharedMem::newPalvoId();
  const auto pidBits = static_cast<std::uint32_t>(::getpid()) & 0xffffu;
  EXPECT_EQ(first >> 16, pidBits);
  EXPECT_EQ(second >> 16, pidBits);
  EXPECT_NE(first & 0xffffu, 0u);
  EXPECT_EQ(second & 0xffffu, ((first & 0xffffu) + 1) & 0xffffu) << std::hex << first << " " << second;

  const auto child = runInChild([] {
    const SharedMem::PalvoId id = SharedMem::newPalvoId();
    return (id >> 16) == (static_cast<std::uint32_t>(::getpid()) & 0xffffu) ? std::string("child pid")
                                                                            : std::to_string(id);
  });
  EXPECT_EQ(child.output, "child pid");
}

// A toggle takes the caller's default when it, its file, or a usable value is
// missing (a stored false: DefaultsTest.Ipv6LinkLocalSourceFollowsToggle).
TEST_F(TogglesTest, StoredStateOrDefault) {
  NvToggles::toggleDirIs(base_.string());
  EXPECT_FALSE(getToggleState("V6LinkLocalSrcPuntToCpu", "Vovu.json", false));

  writeText(file("Vovu.json"), R"({"V6LinkLocalSrcPuntToCpu": false, "Other": true, "Bad": "yes"})");
  EXPECT_TRUE(getToggleState("Other", "Vovu.json", false));
  EXPECT_TRUE(getToggleState("Absent", "Vovu.json", true));
  EXPECT_FALSE(getToggleState("Bad", "Vovu.json", false));
  // The same name in another file is another toggle.
  EXPECT_TRUE(getToggleState("V6LinkLocalSrcPuntToCpu", "Ploom.json", true));

  writeText(file("Ploom.json"), "not json");
  EXPECT_TRUE(getToggleState("FullCoreDump", "Ploom.json", true));
  writeText(file("Ploom.json"), "[true]");
  EXPECT_FALSE(getToggleState("FullCoreDump", "Ploom.json", false));
  NvToggles::toggleDirIs("");
}

}  // namespace
