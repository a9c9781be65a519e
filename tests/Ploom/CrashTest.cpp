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

#include "PloomTestSupport.h"
#include "support/ChildProcess.h"
#include "support/Knobs.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;

constexpr const char* kPath = "/crash/collection";

Value valueFor(std::uint32_t id, std::uint32_t version) { return Value{Key{id}, {version, id * 2654435761u ^ version}}; }
bool whole(const Value& v) { return v.payload[1] == (v.key.id * 2654435761u ^ v.payload[0]); }

class PloomCrash : public test_shm::TempBaseDir {
 protected:
  std::string root() const { return Mem::OrlRootPath(kPath).path(); }

  // Whether the slot file says a writer stopped inside a critical section.
  bool criticalFlagSet() const {
    const std::string path = root() + "/slots";
    if (!std::filesystem::exists(path)) return false;
    Mem::SharedMemWrapper shm(path, Mem::Access::readOnly);
    std::string reason;
    if (!shm.open(Ploom::SlotHeader::kRuntimeFlags + 2, false, reason)) return false;
    return Ploom::SlotHeader::runtimeFlags(static_cast<const std::uint8_t*>(shm.base())) &
           Ploom::SlotHeader::kInCriticalSection;
  }

  // Everything the collection holds, by key, through a writer of this process.
  std::map<std::uint32_t, Value> contents() {
    WriterHandle<Value> w(kPath, descriptor(64));
    EXPECT_TRUE(w->validate()) << w->lastValidationError();
    std::map<std::uint32_t, Value> all;
    for (const Value& v : iterate(*w.writer)) all[v.key.id] = v;
    return all;
  }
};

struct Operation {
  const char* name;
  std::uint32_t prepared;                          // entries 0 .. prepared - 1 before the operation
  std::function<void(Ploom::PloomWriter<Value>&)> run;
  std::function<void(Ploom::PloomWriter<Value>&)> prepare = nullptr;  // extra preparation
};

// Verifies, for every store k of each kind of operation, that a writer dying
// just before store k leaves either the state before, the state after, or a
// critical-section flag that makes the next writer re-format.
TEST_F(PloomCrash, DeathAtEveryStoreOfEveryOperation) {
  Value out;
  const std::vector<Operation> operations = {
      {"insert", 10, [](auto& w) { w.write(valueFor(100, 1), true); }},
      {"overwrite", 10, [](auto& w) { w.write(valueFor(3, 7), true); }},
      {"remove", 10, [&](auto& w) { w.remove(Key{4}, out); }},
      // 64 entries are the grow threshold of 64 buckets: one more doubles them.
      {"grow", 64, [](auto& w) { w.write(valueFor(100, 1), true); }},
      // One entry left of 9 after removals: the next remove compacts and halves.
      {"shrink", 300,
       [&](auto& w) { w.remove(Key{299}, out); },
       [&](auto& w) {
         for (std::uint32_t i = 0; i < 299; ++i) {
           if (i % 40 != 0) w.remove(Key{i}, out);
         }
       }},
      {"direct commit new", 10, [](auto& w) { w.directWrite(valueFor(100, 1)); w.directCommit(); }},
      {"direct commit existing", 10, [](auto& w) { w.directWrite(valueFor(5, 9)); w.directCommit(); }},
      {"mark", 10, [](auto& w) { w.markAndSweepFlag(Key{2}, Ploom::MarkAndSweepOperation::set); }},
  };
  const std::filesystem::path saved = base_ / "saved";
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    std::filesystem::remove_all(root());
    {
      WriterHandle<Value> w(kPath, descriptor(64));
      for (std::uint32_t i = 0; i < op.prepared; ++i) w->write(valueFor(i, 0), true);
      if (op.prepare) op.prepare(*w.writer);
    }
    const auto before = contents();
    std::filesystem::remove_all(saved);
    std::filesystem::copy(root(), saved, std::filesystem::copy_options::recursive);

    // The number of stores the operation makes, counted in a child.
    auto dry = testing_support::runInChild([&] {
      WriterHandle<Value> w(kPath, descriptor(64));
      int stores = 0;
      StoreHook hook([&] { ++stores; });
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
        WriterHandle<Value> w(kPath, descriptor(64));
        int count = 0;
        StoreHook hook([&] {
          if (++count == k) _exit(0);  // dies before store k
        });
        op.run(*w.writer);
        _exit(3);
      });
      ASSERT_EQ(child.exitCode, 0) << "store " << k << ": " << child.output;
      const bool flagged = criticalFlagSet();
      const auto now = contents();
      if (flagged) {
        EXPECT_TRUE(now.empty()) << "store " << k << ": a flagged collection is re-formatted";
        ++reformatted;
      } else {
        EXPECT_TRUE(now == before || now == after) << "store " << k << " left a state that is neither before nor after";
      }
    }
    if (std::string(op.name) != "mark") {
      EXPECT_GT(reformatted, 0) << "no death inside the critical section";
    }
  }
}

// Verifies, over many random deaths (SIGKILL at a random moment of a random
// workload), that the next writer always attaches, and finds a valid
// collection of whole values or re-formats a flagged one.
TEST_F(PloomCrash, RandomKills) {
  const std::uint64_t rounds = testing_support::scaled(500);
  std::mt19937 random(7);
  int flaggedDeaths = 0, cleanDeaths = 0;
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
    for (const auto& [id, value] : now) ASSERT_TRUE(whole(value)) << "round " << round << " key " << id;
    largest = std::max(largest, now.size());
  }
  EXPECT_GT(flaggedDeaths, 0);
  EXPECT_GT(cleanDeaths, 0);
  EXPECT_GT(largest, 100u) << "the workload got going before it was killed";
}

}  // namespace
