// Interleavings of a writer and a reader that end in a crash, a reader that
// never recovers or a key a reader cannot find, each driven step by step: the
// writer and the reader map the same files in this process, and a store hook
// or a reader hook (Ploom/StorePoint.h) runs one side's step at a chosen point
// of the other's. Nothing here depends on timing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;
using Stage = Ploom::Testing::ReaderStage;

class PloomInterleaving : public test_shm::TempBaseDir {};

Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

std::uint64_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

// Runs a writer's work on a thread of its own that stops at the first store
// point where `parkHere()` holds, until resume(): a strict hand-over between
// the two threads, so the reader's steps fall exactly there.
class SteppedWriter {
 public:
  SteppedWriter(std::function<void()> work, std::function<bool()> parkHere)
      : hook_([this, parkHere = std::move(parkHere)] {
          if (parked_ || !parkHere()) return;
          std::unique_lock lock(mutex_);
          parked_ = true;
          changed_.notify_all();
          changed_.wait(lock, [&] { return resumed_; });
        }),
        thread_([this, work = std::move(work)] {
          work();
          std::lock_guard lock(mutex_);
          done_ = true;
          changed_.notify_all();
        }) {}
  ~SteppedWriter() {
    resume();
    thread_.join();
  }
  // Waits until the writer stopped at its point (true) or finished without
  // reaching it (false).
  bool waitParked() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return parked_ || done_; });
    return parked_ && !resumed_;
  }
  void resume() {
    std::lock_guard lock(mutex_);
    resumed_ = true;
    changed_.notify_all();
  }
  void finish() {
    resume();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool parked_ = false, resumed_ = false, done_ = false;
  StoreHook hook_;
  std::thread thread_;
};

// Everything `reader` iterates, by key; a corruption it reports is a failure.
std::map<std::uint32_t, Value> readAll(const Ploom::PloomReader<Value>& reader) {
  std::map<std::uint32_t, Value> all;
  try {
    for (const Value& v : iterate<Value>(reader)) {
      EXPECT_TRUE(all.emplace(v.key.id, v).second) << "key " << v.key.id << " iterated twice";
    }
  } catch (const Orvel::CorruptionDetectedException& e) {
    ADD_FAILURE() << "the reader reports corruption: " << e.what();
  }
  return all;
}

// Verifies, at every store point of every kind of writer operation (the
// writer's attach included), what a reader with its own mapping of the files
// reads there: every key the operation leaves alone, found by look-up and by
// iteration with its value; the keys it changes, if found, whole; no
// corruption reported. After the operation the reader reads exactly what the
// writer holds.
TEST_F(PloomInterleaving, ReaderAtEveryStoreOfEveryOperation) {
  const std::string root = Mem::OrlRootPath("/i/every").path();
  for (const WriterOperation& op : writerOperations()) {
    SCOPED_TRACE(op.name);
    std::filesystem::remove_all(root);
    {
      WriterHandle<Value> w("/i/every", descriptor(64));
      for (std::uint32_t i = 0; i < op.prepared; ++i) w->write(valueFor(i, 0), true);
      if (op.prepare) op.prepare(*w.writer);
    }
    if (op.damage) op.damage(root);
    Orvel::Platform::DebugHandler dh("every-store");
    Ploom::PloomReader<Value> reader(dh, "/i/every", "/i/every");
    ASSERT_TRUE(reader.initialize("/i/every"));
    std::map<std::uint32_t, Value> untouched = readAll(reader);
    if (op.replacesFiles) untouched.clear();
    for (std::uint32_t key : op.touched) untouched.erase(key);

    int stores = 0;
    std::unique_ptr<WriterHandle<Value>> w;
    {
      StoreHook hook([&] {
        ++stores;
        for (const auto& [id, value] : untouched) {
          bool found = false;
          try {
            const Value* v = reader.lookup(Key{id}, found, nullptr);
            ASSERT_TRUE(found) << "store " << stores << ": key " << id;
            ASSERT_EQ(*v, value) << "store " << stores << ": key " << id;
          } catch (const Orvel::CorruptionDetectedException& e) {
            FAIL() << "store " << stores << ": look-up of key " << id << ": " << e.what();
          }
        }
        const auto all = readAll(reader);
        for (const auto& [id, value] : all) ASSERT_TRUE(whole(value)) << "store " << stores << ": key " << id;
        for (const auto& [id, value] : untouched) {
          ASSERT_TRUE(all.count(id) && all.at(id) == value) << "store " << stores << ": iteration, key " << id;
        }
      });
      w = std::make_unique<WriterHandle<Value>>("/i/every", descriptor(64));
      op.run(*w->writer);
    }
    EXPECT_GT(stores, 0);
    std::map<std::uint32_t, Value> held;  // nothing when the operation wiped the files
    if ((*w)->buckets() > 0) {
      for (const Value& v : iterate(*w->writer)) held[v.key.id] = v;
    }
    EXPECT_EQ(readAll(reader), held);
  }
}

// Verifies that a poll never reads a slot's version past the mapping it reads
// through. Interleaving: the shadow's poll starts over a 512-slot table; at
// its first version read the writer removes most entries, which compacts the
// slot file to 64 slots; the poll's handler of the next changed slot reads it
// with getValue, which re-maps the file at 64 slots. The poll then goes on
// with the slots after it: each version it reads must lie inside the new
// mapping (reading them at the slot count the poll started with reads past
// the end of that mapping).
TEST_F(PloomInterleaving, PollReadsNoVersionPastTheMappingItsHandlerReplaced) {
  WriterHandle<Value> w("/i/poll", descriptor(512));
  for (std::uint32_t i = 0; i < 300; ++i) w->write(val(i, i), true);
  Orvel::Platform::DebugHandler dh("interleaving");
  Ploom::PloomShadow<Value> shadow(dh, "/i/poll", "/i/poll");
  ASSERT_TRUE(shadow.initialize("/i/poll"));
  shadow.sync();
  ASSERT_EQ(shadow.reader().capacity(), 512u);

  bool shrunk = false;
  std::uint32_t pastTheMapping = 0;
  {
    ReaderHook hook([&](Stage stage, std::uint32_t slot) {
      if (stage != Stage::pollVersionRead) return;
      if (slot >= shadow.reader().capacity()) ++pastTheMapping;
      if (shrunk) return;
      shrunk = true;
      Value out;
      for (std::uint32_t i = 0; i < 296; ++i) w->remove(Key{i}, out);
      ASSERT_EQ(w->capacity(), 64u) << "the removals compacted the slot file";
    });
    shadow.sync();
  }
  ASSERT_TRUE(shrunk);
  EXPECT_EQ(pastTheMapping, 0u) << "versions read past the end of the slot mapping";
  EXPECT_EQ(shadow.reader().capacity(), 64u);
  shadow.sync();
  EXPECT_EQ(shadow.members(), 4u);
  for (std::uint32_t i = 296; i < 300; ++i) {
    bool found = false;
    EXPECT_EQ(shadow.lookup(Key{i}, found, nullptr)->payload[0], i);
    EXPECT_TRUE(found) << i;
  }
}

// Verifies that a reader never pairs the bucket file of one formatting with
// the slot file of another, nor reads a slot header that is still being
// written. Interleaving: a reader attaches the bucket file; before it maps the
// slot file, a new writer re-formats the collection (the old slot file is
// retired and unlinked, the old bucket file unlinked, new files created)
// either completely or up to the point where the new slot file's common
// header is written but not yet its seed and slot count; then the reader maps
// the slot file at the path, which is the new one. The pair is not used: the
// reader attaches again afterwards and finds what the new writer writes
// (stuck on the unlinked bucket file, it would never find anything again).
TEST_F(PloomInterleaving, ReattachNeverMixesFormattingsNorReadsAHalfWrittenHeader) {
  const std::string slotsPath = Mem::OrlRootPath("/i/reformat").file("slots");
  for (const bool halfWritten : {false, true}) {
    SCOPED_TRACE(halfWritten ? "slot header half written" : "re-format complete");
    std::filesystem::remove_all(Mem::OrlRootPath("/i/reformat").path());
    {
      WriterHandle<Value> w("/i/reformat", descriptor(64));
      for (std::uint32_t i = 0; i < 20; ++i) w->write(val(i, i), true);
      // The next writer finds the collection left inside a critical section and re-formats it.
      Ploom::SlotHeader::runtimeFlagsIs(w->slotTable().base(),
                                        Ploom::SlotHeader::kFormatted | Ploom::SlotHeader::kInCriticalSection);
    }
    const std::uint64_t oldSlots = inodeOf(slotsPath);
    std::unique_ptr<WriterHandle<Value>> next;
    auto reformat = [&] { next = std::make_unique<WriterHandle<Value>>("/i/reformat", descriptor(64)); };
    // The new slot file exists and its common header reads as valid, but its
    // own fields (seed, slot count, flags) are not written yet.
    auto headerHalfWritten = [&] {
      if (inodeOf(slotsPath) == oldSlots || inodeOf(slotsPath) == 0) return false;
      Mem::SharedMemWrapper shm(slotsPath, Mem::Access::readOnly);
      std::string reason;
      if (!shm.open(Ploom::SlotLayout<Value>::kHeaderSize, false, reason)) return false;
      const auto* base = static_cast<const std::uint8_t*>(shm.base());
      // The type name is the common header's last field.
      return !Ploom::SlotHeaderCommon::typeName(base).empty() &&
             Ploom::SlotHeader::word(base, Ploom::SlotHeader::kSeed) == 0;
    };

    Orvel::Platform::DebugHandler dh("interleaving");
    Ploom::PloomReader<Value> reader(dh, "/i/reformat", "/i/reformat");
    std::unique_ptr<SteppedWriter> stepped;
    {
      ReaderHook hook([&](Stage stage, std::uint32_t) {
        if (stage != Stage::bucketsAttached) return;
        if (!halfWritten) {
          reformat();
          return;
        }
        stepped = std::make_unique<SteppedWriter>(reformat, headerHalfWritten);
        ASSERT_TRUE(stepped->waitParked()) << "the re-format never stopped with a half-written header";
      });
      reader.initialize("/i/reformat");
    }
    if (stepped) stepped->finish();
    ASSERT_NE(next, nullptr);
    (*next)->write(val(500, 5), true);
    try {
      bool found = false;
      EXPECT_EQ(reader.lookup(Key{500}, found, nullptr)->payload[0], 5u);
      EXPECT_TRUE(found) << "the reader does not see the re-formatted collection";
      reader.lookup(Key{3}, found, nullptr);
      EXPECT_FALSE(found) << "a key of the collection before the re-format";
      EXPECT_EQ(reader.seed(), (*next)->seed());
    } catch (const Orvel::CorruptionDetectedException& e) {
      ADD_FAILURE() << "the reader reports corruption: " << e.what();
    }
  }
}

}  // namespace
