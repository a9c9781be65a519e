#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <thread>

#include "Mem/WriterLock.h"
#include "Orvel/Exception.h"
#include "SharedMem/OwnerFile.h"
#include "SharedMem/PalvoFile.h"
#include "SharedMem/WirraInfo.h"
#include "support/ChildProcess.h"
#include "support/TempBaseDir.h"

namespace {

using Mem::WriterLock;
using SharedMem::OwnerFile;
using SharedMem::PalvoFile;
using SharedMem::WirraInfo;
using testing_support::runInChild;

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

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
    std::string line;
    while (std::getline(locks, line)) {
      if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class WriterLockTest : public test_shm::TempBaseDir {
 protected:
  std::string root() const { return base_.string(); }
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
};

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
  EXPECT_EQ(info.startTime, SharedMem::processStartTime(::getpid()));
  EXPECT_NE(info.startTime, 0u);
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
  owner.typeNameIs("Test::Table");
  owner.shmTypeIs(1);
  owner.write();
  EXPECT_EQ(refusal(), "collection " + root() + " is owned by " + info.toString());
  owner.lock();  // locking and unlocking the owner file leaves the writer lock in place
  owner.unlock();
  EXPECT_NE(refusal(), "not refused");

  // A forked child sees the parent alive and not itself; the child dropping
  // its copy of the lock leaves the parent's intact.
  const auto view = runInChild([&] {
    const std::string seen = std::string(WriterLock::ownerIsAlive(info) ? "alive" : "dead") +
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
  EXPECT_FALSE(WriterLock::ownerIsAlive(info));
  EXPECT_FALSE(WriterLock::ownerIsAlive(WirraInfo{}));
  EXPECT_FALSE(WriterLock::ownerIsAlive(WirraInfo{"vovu-no-such-socket", ::getpid(), 1}));
  EXPECT_FALSE(WriterLock::ownerIsAlive(WirraInfo{std::string(200, 'x'), ::getpid(), 1}));
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
  EXPECT_NE(SharedMem::processStartTime(::getpid()), 0u);
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

using OwnerFileTest = WriterLockTest;
using PalvoFileTest = WriterLockTest;

TEST_F(OwnerFileTest, WriteReadValidateRoundTrip) {
  std::string err;
  OwnerFile reader(ownerPath());
  EXPECT_FALSE(reader.read(err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(reader.validate(err));
  EXPECT_TRUE(reader.wirraInfo().empty());

  OwnerFile writer(ownerPath());
  const WirraInfo info{"vovu-4242-7", 4242, 987654321012ull};
  writer.wirraInfoIs(info);
  writer.typeNameIs("Vovu::Bcm88490A0::Table \"quoted\"");
  writer.shmTypeIs(1);
  writer.wipedIs(true);
  writer.write();

  EXPECT_TRUE(reader.validate(err)) << err;
  ASSERT_TRUE(reader.read(err)) << err;
  EXPECT_EQ(reader.wirraInfo(), info);
  EXPECT_EQ(reader.typeName(), "Vovu::Bcm88490A0::Table \"quoted\"");
  EXPECT_EQ(reader.shmType(), 1u);
  EXPECT_TRUE(reader.wiped());
  EXPECT_NE(reader.toString().find(info.toString()), std::string::npos) << reader.toString();

  // Rewriting replaces the record; no temporary files stay behind.
  writer.wipedIs(false);
  writer.wirraInfoIs({});
  writer.write();
  ASSERT_TRUE(reader.read(err)) << err;
  EXPECT_FALSE(reader.wiped());
  EXPECT_TRUE(reader.wirraInfo().empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base_), {}), 1);

  writer.remove();
  EXPECT_FALSE(reader.validate(err));
}

// A file that is not a complete owner record fails validate() and read(),
// and read() leaves the record empty.
TEST_F(OwnerFileTest, MalformedFilesFailValidate) {
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
  std::string err;
  OwnerFile owner(ownerPath());
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    writeText(ownerPath(), good);
    ASSERT_TRUE(owner.read(err)) << err;  // the record is full before each case
    writeText(ownerPath(), text);
    err.clear();
    EXPECT_FALSE(owner.validate(err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(owner.read(err));
    EXPECT_TRUE(owner.wirraInfo().empty());
    EXPECT_EQ(owner.typeName(), "");
    EXPECT_EQ(owner.shmType(), 0u);
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
// in the file reads as nothing.
TEST_F(PalvoFileTest, RoundTrip) {
  const PalvoFile palvo(palvoPath());
  EXPECT_EQ(palvo.read(), std::nullopt);
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
  EXPECT_EQ(palvo.read(), std::nullopt);
  palvo.remove();

  for (const std::string text : {"", "\n", "1234567\n", "123456789\n", "ABCDEF01\n", "abcdef01", "abcdef0g\n",
                                 "abcdef01\n\n", " bcdef01\n", "0x12abcd\n", "-1234567\n"}) {
    SCOPED_TRACE(text);
    writeText(palvoPath(), text);
    EXPECT_EQ(palvo.read(), std::nullopt);
    EXPECT_FALSE(palvo.validate(0, err));
  }
}

// Ids carry the pid's low 16 bits above a per-call counter; a forked child's
// carry the child's pid.
TEST(PalvoId, PidAndCounter) {
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

}  // namespace
