// Crash safety of the writer: a writer that dies at any store of any
// operation, or at a random moment, never leaves the next writer with a crash
// or a hang. The next writer finds either a valid collection holding only
// whole values that were written, or re-formats it because the dead writer
// was inside a critical section.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "Ploom/PloomReader.h"
#include "PloomTestSupport.h"
#include "support/ChildProcess.h"
#include "support/Knobs.h"
#include "support/SoakFigures.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

constexpr const char* kPath = "/crash/collection";

class PloomCrash : public test_shm::TempBaseDir {
 protected:
  std::string root() const { return Mem::OrlRootPath(kPath).path(); }

  // The runtime flags of the slot file at the path (0 when there is none).
  std::uint16_t slotFlags() const {
    const std::string path = root() + "/slots";
    if (!std::filesystem::exists(path)) return 0;
    Mem::SharedMemWrapper shm(path, Mem::Access::readOnly);
    std::string reason;
    if (!shm.open(Ploom::SlotHeader::kRuntimeFlags + 2, false, reason)) return 0;
    return Ploom::SlotHeader::runtimeFlags(static_cast<const std::uint8_t*>(shm.base()));
  }
  // Whether the slot file says a writer stopped inside a critical section.
  bool criticalFlagSet() const { return slotFlags() & Ploom::SlotHeader::kInCriticalSection; }

  // Everything the collection holds, by key, through a writer of this process.
  std::map<std::uint32_t, Value> contents() {
    WriterHandle<Value> w(kPath, descriptor(64));
    EXPECT_TRUE(w->validate()) << w->lastValidationError();
    return byKey(iterate(*w.writer));
  }

  // Everything a reader in this process reads from the files.
  std::map<std::uint32_t, Value> readerContents() {
    ReaderHandle r(kPath);
    EXPECT_TRUE(r->initialize(kPath)) << "a reader cannot attach the next writer's files";
    const auto all = byKey(iterate<Value>(r.reader));
    readerOps_ += all.size();
    return all;
  }

  std::uint64_t readerOps_ = 0;
};

// Verifies, for every store k of each kind of operation, that a writer dying
// just before store k leaves either the state before, the state after, or a
// critical-section flag that makes the next writer re-format; that the next
// writer never keeps a retired slot file (a writer that died between retiring
// a file and unlinking it leaves one at the path: kept, every reader would
// attach it, see it retired and attach it again, forever); and that a reader
// then reads what the next writer holds.
TEST_F(PloomCrash, DeathAtEveryStoreOfEveryOperation) {
  const std::filesystem::path saved = base_ / "saved";
  std::uint64_t deaths = 0, reformats = 0;
  for (const WriterOperation& op : writerOperations()) {
    SCOPED_TRACE(op.name);
    prepareFor(op, kPath, false);
    const auto before = contents();
    if (op.damage) op.damage(root());
    std::filesystem::remove_all(saved);
    std::filesystem::copy(root(), saved, std::filesystem::copy_options::recursive);

    // The number of store points of the operation (its writer's attach
    // included), counted in a child.
    auto dry = testing_support::runInChild([&] {
      int stores = 0;
      StoreHook hook([&] { ++stores; });
      WriterHandle<Value> w(kPath, descriptor(64));
      op.run(*w.writer);
      return std::to_string(stores);
    });
    ASSERT_EQ(dry.exitCode, 0) << dry.output;
    const int stores = std::stoi(dry.output);
    ASSERT_GT(stores, 0);
    const auto after = contents();
    // The prepared entries survived re-attaching, and the operation changed them.
    ASSERT_GE(before.size(), std::min<std::uint32_t>(op.prepared, 8u));
    if (std::string(op.name) != "mark") {
      ASSERT_NE(before, after);
    }

    int reformatted = 0;
    for (int k = 1; k <= stores; ++k) {
      std::filesystem::remove_all(root());
      std::filesystem::copy(saved, root(), std::filesystem::copy_options::recursive);
      auto child = testing_support::runInChild([&]() -> std::string {
        int count = 0;
        StoreHook hook([&] {
          if (++count == k) _exit(0);  // dies before store k
        });
        WriterHandle<Value> w(kPath, descriptor(64));
        op.run(*w.writer);
        _exit(3);
      });
      ASSERT_EQ(child.exitCode, 0) << "store " << k << ": " << child.output;
      ++deaths;
      const bool flagged = criticalFlagSet();
      const auto now = contents();
      if (flagged) {
        EXPECT_TRUE(now.empty()) << "store " << k << ": a flagged collection is re-formatted";
        ++reformatted;
      } else {
        EXPECT_TRUE(now == before || now == after) << "store " << k << " left a state that is neither before nor after";
      }
      ASSERT_FALSE(slotFlags() & Ploom::SlotHeader::kRetired)
          << "store " << k << ": the next writer kept a retired file";
      EXPECT_EQ(readerContents(), now) << "store " << k;
    }
    if (op.critical) {
      EXPECT_GT(reformatted, 0) << "no death inside the critical section";
    }
    reformats += static_cast<std::uint64_t>(reformatted);
  }
  testing_support::reportSoakFigures({{"writerKills", deaths}, {"reformats", reformats}, {"readerOps", readerOps_}});
}

// Verifies, over many random deaths (SIGKILL at a random moment of a random
// workload), that the next writer always attaches, and finds a valid
// collection of whole values or re-formats a flagged one.
TEST_F(PloomCrash, RandomKills) {
  const std::uint64_t rounds = testing_support::scaled(500);
  std::mt19937 random(7);
  int flaggedDeaths = 0, cleanDeaths = 0;
  std::uint64_t torn = 0;
  std::size_t largest = 0;
  for (std::uint64_t round = 0; round < rounds; ++round) {
    const unsigned seed = static_cast<unsigned>(random());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      WriterHandle<Value> w(kPath, descriptor(64));
      std::mt19937 work(seed);
      Value out;
      for (std::uint32_t version = 1;; ++version) {
        const std::uint32_t id = work() % 3000;
        switch (work() % 4) {
          case 0:
          case 1:
            w->write(valueFor(id, version), true);
            break;
          case 2:
            w->remove(Key{id}, out);
            break;
          default:
            w->directWrite(valueFor(id, version));
            w->directCommit();
        }
      }
    }
    // Mostly within the first 4 ms (attach and the first operations); now and
    // then later, so that the collection grows large even in slow builds.
    const std::uint32_t delay = round % 25 == 24 ? 20000 + random() % 30000 : random() % 4000;
    usleep(static_cast<useconds_t>(delay));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own";

    const bool flagged = criticalFlagSet();
    const auto now = contents();
    (flagged ? flaggedDeaths : cleanDeaths)++;
    if (flagged) {
      ASSERT_TRUE(now.empty()) << "round " << round;
    }
    for (const auto& [id, value] : now) {
      if (!whole(value)) {
        ++torn;
        ADD_FAILURE() << "round " << round << ": torn value of key " << id;
      }
    }
    largest = std::max(largest, now.size());
  }
  testing_support::reportSoakFigures(
      {{"writerKills", rounds}, {"reformats", static_cast<std::uint64_t>(flaggedDeaths)}, {"tornValues", torn}});
  EXPECT_GT(flaggedDeaths, 0);
  EXPECT_GT(cleanDeaths, 0);
  EXPECT_GT(largest, 100u) << "the workload got going before it was killed";
}

}  // namespace
