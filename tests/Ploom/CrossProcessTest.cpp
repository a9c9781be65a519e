// A reader in one process while a writer in another inserts, rewrites,
// removes, grows and shrinks buckets and slots, compacts, and is killed and
// replaced (which re-formats the collection). The reader never blocks the
// writer, never returns a torn value, always finds the keys that stay put
// while the writer runs normally, iterates in split order without repeats,
// and never dies (no SIGBUS when files shrink or are replaced under it).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "Ploom/PloomReader.h"
#include "PloomTestSupport.h"
#include "support/Knobs.h"
#include "support/SoakFigures.h"

namespace {

using namespace ploom_test;

constexpr const char* kPath = "/cross/collection";
constexpr std::uint32_t kStable = 200;  // keys 0 .. 199 stay put while the writer runs normally

enum Phase : std::uint32_t { starting = 0, steady = 1, restarting = 2, done = 3 };

// Shared by the test's processes (an anonymous shared mapping made before fork).
struct Control {
  std::atomic<std::uint32_t> phase{starting};
  std::atomic<std::uint32_t> epoch{0};  // advanced at every phase change
  std::atomic<std::uint64_t> writerOps{0};
  std::atomic<std::uint64_t> lookups{0};
  std::atomic<std::uint64_t> iterations{0};
  std::atomic<std::uint64_t> fullIterations{0};
  std::atomic<std::uint64_t> rewriteCopies{0};
  std::atomic<std::uint64_t> resizeRetries{0};
  std::atomic<std::uint64_t> retries{0};
  std::atomic<std::uint64_t> slowPaths{0};
  std::atomic<std::uint64_t> iterationSteps{0};
  std::atomic<std::uint64_t> reformats{0};  // writers that found the collection to re-format
  std::atomic<std::uint64_t> tornValues{0};
  std::atomic<std::uint64_t> falseMisses{0};  // stable keys not found while the writer ran normally
  std::atomic<std::uint32_t> failures{0};
  char message[512] = {};

  enum class Fault { torn, miss, other };
  void fail(Fault fault, const std::string& text) {
    if (fault == Fault::torn) tornValues.fetch_add(1);
    if (fault == Fault::miss) falseMisses.fetch_add(1);
    if (failures.fetch_add(1) == 0) std::strncpy(message, text.c_str(), sizeof message - 1);
  }
  void phaseIs(Phase p) {
    phase.store(p);
    epoch.fetch_add(1);
  }
};

class PloomCrossProcess : public test_shm::TempBaseDir {};

// The writer's work: stable keys first, then rounds of filling and draining
// the volatile keys while rewriting stable ones, until `rounds` are done and
// the reader has completed a few iterations under it, or forever (rounds 0).
void runWriter(Control& control, std::uint64_t rounds, unsigned seed) {
  WriterHandle<Value> w(kPath, descriptor(64));
  if (w->restartGeneration() > 0) control.reformats.fetch_add(1);
  std::mt19937 random(seed);
  std::uint32_t version = 1;
  for (std::uint32_t id = 0; id < kStable; ++id) w->write(valueFor(id, version), true);
  if (control.phase.load() == starting) control.phaseIs(steady);
  Value out;
  auto enough = [&](std::uint64_t round) {
    if (rounds == 0) return false;
    return round >= rounds && (control.fullIterations.load() >= 3 || round >= 50 * rounds);
  };
  for (std::uint64_t round = 0; !enough(round); ++round) {
    const std::uint32_t size = 500 + random() % 2500;
    for (std::uint32_t i = 0; i < size; ++i) {
      const std::uint32_t id = 1000 + random() % 4000;
      if (i % 3 == 0) {
        w->directWrite(valueFor(id, ++version));
        w->directCommit();
      } else {
        w->write(valueFor(id, ++version), true);
      }
      if (i % 7 == 0) w->write(valueFor(random() % kStable, ++version), true);  // rewrite a stable key
      control.writerOps.fetch_add(1, std::memory_order_relaxed);
    }
    for (std::uint32_t id = 1000; id < 5000; ++id) w->remove(Key{id}, out);  // drain: shrink and compact
  }
}

void runReader(Control& control) {
  ReaderHandle r(kPath);
  Ploom::PloomReader<Value>& reader = r.reader;
  while (!reader.initialize(kPath)) {
    if (control.phase.load() == done) return;
    usleep(100);
  }
  std::mt19937 random(11);
  while (control.phase.load() != done) {
    try {
      const std::uint32_t epoch = control.epoch.load();
      const bool guaranteed = control.phase.load() == steady;
      for (int i = 0; i < 50; ++i) {
        const std::uint32_t id = random() % kStable;
        const auto v = find<Value>(reader, Key{id});
        if (v && !whole(*v)) control.fail(Control::Fault::torn, "torn value of stable key " + std::to_string(id));
        if (!v && guaranteed && control.epoch.load() == epoch) {
          control.fail(Control::Fault::miss, "stable key " + std::to_string(id) + " not found");
        }
        const std::uint32_t other = 1000 + random() % 4000;
        const auto o = find<Value>(reader, Key{other});
        control.lookups.fetch_add(2, std::memory_order_relaxed);
        if (o && (!whole(*o) || o->key.id != other)) {
          control.fail(Control::Fault::torn, "torn value of key " + std::to_string(other));
        }
      }
      // A full iteration: whole values, strictly increasing split order, and
      // every stable key when the writer ran normally throughout.
      std::vector<bool> stableSeen(kStable, false);
      Value value;
      Ploom::IterHint hint;
      bool more = reader.first(value, hint);
      std::uint64_t lastOrder = 0;
      bool firstOne = true;
      // A reader that re-attaches a re-formatted collection starts over in a
      // new collection (with a new seed): order is compared within one.
      auto reattaches = reader.readerCounters()[Ploom::Reader::Counters::reattaches];
      while (more) {
        if (reader.readerCounters()[Ploom::Reader::Counters::reattaches] != reattaches) {
          reattaches = reader.readerCounters()[Ploom::Reader::Counters::reattaches];
          firstOne = true;
        }
        control.iterationSteps.fetch_add(1, std::memory_order_relaxed);
        if (!whole(value))
          control.fail(Control::Fault::torn, "torn value in iteration, key " + std::to_string(value.key.id));
        const std::uint64_t order =
            std::uint64_t{Ploom::reverseBits(test_values::keyHash(value.key, reader.seed()))} << 32 | value.key.id;
        if (!firstOne && order <= lastOrder && control.epoch.load() == epoch) {
          control.fail(Control::Fault::other, "iteration out of split order at key " + std::to_string(value.key.id));
        }
        firstOne = false;
        lastOrder = order;
        if (value.key.id < kStable) stableSeen[value.key.id] = true;
        more = reader.next(value.key, value, hint);
      }
      control.iterations.fetch_add(1, std::memory_order_relaxed);
      if (guaranteed && control.phase.load() == steady && control.epoch.load() == epoch) {
        control.fullIterations.fetch_add(1, std::memory_order_relaxed);
        for (std::uint32_t id = 0; id < kStable; ++id) {
          if (!stableSeen[id]) control.fail(Control::Fault::miss, "iteration missed stable key " + std::to_string(id));
        }
      }
    } catch (const Orvel::CorruptionDetectedException& e) {
      // Only a writer that is being replaced may leave the collection unreadable for a moment.
      if (control.phase.load() == steady) {
        control.fail(Control::Fault::other, std::string("reader error while steady: ") + e.what());
      }
    }
  }
  using C = Ploom::Reader::Counters;
  const auto& counters = reader.readerCounters();
  control.rewriteCopies.fetch_add(counters[C::rewriteCopies]);
  control.resizeRetries.fetch_add(counters[C::resizeRetries]);
  control.retries.fetch_add(counters[C::retries] + counters[C::rereads]);
  control.slowPaths.fetch_add(counters[C::slowPaths]);
}

// Runs `work` in a child process that exits with status 0 when it returns.
template <class Work>
pid_t forkRunning(Work work) {
  const pid_t pid = fork();
  if (pid == 0) {
    work();
    _exit(0);
  }
  return pid;
}

void expectReadersWereChecked(const Control& control) {
  EXPECT_EQ(control.failures.load(), 0u) << control.message;
  EXPECT_GT(control.lookups.load(), 1000u);
  EXPECT_GT(control.fullIterations.load(), 0u) << "no iteration overlapped only normal writing";
}

TEST_F(PloomCrossProcess, ReaderFollowsAWriterThatChangesEverything) {
  void* memory = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto* control = new (memory) Control();

  const pid_t writer = forkRunning([&] { runWriter(*control, testing_support::scaled(12), 1); });
  std::vector<pid_t> readers;
  for (int r = 0; r < 2; ++r) readers.push_back(forkRunning([&] { runReader(*control); }));

  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;

  // Writers killed at random moments and replaced: each replacement finds the
  // critical section open and re-formats, under the reader's feet.
  control->phaseIs(restarting);
  std::mt19937 random(3);
  const std::uint64_t kills = testing_support::scaled(30);
  for (std::uint64_t k = 0; k < kills; ++k) {
    const pid_t victim = forkRunning([&] { runWriter(*control, 0, static_cast<unsigned>(k + 10)); });
    usleep(static_cast<useconds_t>(2000 + random() % 8000));
    kill(victim, SIGKILL);
    waitpid(victim, &status, 0);
  }
  // A last writer runs normally again: the stable keys are back for good.
  const pid_t last = forkRunning([&] { runWriter(*control, 2, 99); });
  waitpid(last, &status, 0);

  control->phaseIs(done);
  std::uint64_t readerCrashes = 0;
  for (const pid_t reader : readers) {
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    readerCrashes += WIFSIGNALED(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a reader died" << (WIFSIGNALED(status) ? " of signal " + std::to_string(WTERMSIG(status)) : "");
  }
  testing_support::reportSoakFigures({{"writerKills", kills},
                                      {"reformats", control->reformats.load()},
                                      {"readerOps", control->lookups.load() + control->iterationSteps.load()},
                                      {"retries", control->retries.load() + control->resizeRetries.load()},
                                      {"tornValues", control->tornValues.load()},
                                      {"falseMisses", control->falseMisses.load()},
                                      {"readerCrashes", readerCrashes}});
  expectReadersWereChecked(*control);
  EXPECT_GT(control->writerOps.load(), 10000u);
  for (const auto& [name, count] : {std::pair{"lookups", &control->lookups},
                                    {"iterations", &control->iterations},
                                    {"rewriteCopies", &control->rewriteCopies},
                                    {"slowPaths", &control->slowPaths},
                                    {"resizeRetries", &control->resizeRetries},
                                    {"retries", &control->retries}}) {
    RecordProperty(name, std::to_string(count->load()));
  }
  munmap(memory, sizeof(Control));
}

// The same writer and readers as threads of one process. Each maps the files
// at addresses of its own, so under a thread sanitizer this checks what the
// threads share inside the process (trace handles and sinks, allocation
// counters, the writer lock's socket thread, the readers' counters), not the
// words in the files: those are covered by the cross-process run above and
// the store-path tests.
TEST_F(PloomCrossProcess, ReaderThreadsFollowAWriterThread) {
  Control control;
  std::thread writer([&] { runWriter(control, testing_support::scaled(10), 1); });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) readers.emplace_back([&] { runReader(control); });
  writer.join();
  control.phaseIs(done);
  for (std::thread& reader : readers) reader.join();
  expectReadersWereChecked(control);
}

}  // namespace
