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
#include <vector>

#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"
#include "PloomTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;
using Stage = Ploom::Testing::ReaderStage;

class PloomInterleaving : public test_shm::TempBaseDir {};

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
    const auto values = iterate<Value>(reader);
    all = byKey(values);
    EXPECT_EQ(all.size(), values.size()) << "a key iterated twice";
  } catch (const Orvel::CorruptionDetectedException& e) {
    ADD_FAILURE() << "the reader reports corruption: " << e.what();
  }
  return all;
}

// Verifies, at every store point of every kind of writer operation (the
// writer's attach included), what a reader with its own mapping of the files
// reads there: every key the operation leaves alone, found by look-up and by
// iteration with its value; the keys it changes, if found, with the value
// they had before the operation or the one they have after it (a hit is
// returned without re-checking the slot count, so this is what makes it
// safe); no corruption reported. After the operation the reader reads
// exactly what the writer holds.
TEST_F(PloomInterleaving, ReaderAtEveryStoreOfEveryOperation) {
  for (const WriterOperation& op : writerOperations()) {
    SCOPED_TRACE(op.name);
    prepareFor(op, "/i/every");
    ReaderHandle r("/i/every");
    const Ploom::PloomReader<Value>& reader = r.reader;
    ASSERT_TRUE(r->initialize("/i/every"));
    const std::map<std::uint32_t, Value> before = readAll(reader);
    std::map<std::uint32_t, Value> untouched = before;
    if (op.replacesFiles) untouched.clear();
    for (std::uint32_t key : op.touched) untouched.erase(key);
    std::vector<Value> touchedHits;  // what look-ups of the changed keys returned

    int stores = 0;
    std::unique_ptr<WriterHandle<Value>> w;
    {
      StoreHook hook([&] {
        ++stores;
        try {
          for (const auto& [id, value] : untouched)
            ASSERT_EQ(find(reader, Key{id}), value) << "store " << stores << ": key " << id;
          for (std::uint32_t id : op.touched) {
            if (auto hit = find(reader, Key{id})) touchedHits.push_back(*hit);
          }
        } catch (const Orvel::CorruptionDetectedException& e) {
          FAIL() << "store " << stores << ": look-up: " << e.what();
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
    // Nothing when the operation wiped the files.
    const auto held = (*w)->buckets() > 0 ? byKey(iterate(*w->writer)) : std::map<std::uint32_t, Value>{};
    EXPECT_EQ(readAll(reader), held);
    for (const Value& hit : touchedHits) {
      const std::uint32_t id = hit.key.id;
      const bool current = (before.count(id) && before.at(id) == hit) || (held.count(id) && held.at(id) == hit);
      EXPECT_TRUE(current) << "key " << id << ": a look-up returned a value it never had";
    }
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
  Orvel::Platform::DebugHandler dh("poll");
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
  for (std::uint32_t i = 296; i < 300; ++i) EXPECT_EQ(find<Value>(shadow, Key{i}), val(i, i)) << i;
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
      Ploom::SlotHeader::runtimeFlagsIs(Access::slots(*w).base(),
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

    ReaderHandle r("/i/reformat");
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
      r->initialize("/i/reformat");
    }
    if (stepped) stepped->finish();
    ASSERT_NE(next, nullptr);
    (*next)->write(val(500, 5), true);
    try {
      EXPECT_EQ(find<Value>(r.reader, Key{500}), val(500, 5)) << "the reader does not see the re-formatted collection";
      EXPECT_FALSE(find<Value>(r.reader, Key{3})) << "a key of the collection before the re-format";
      EXPECT_EQ(r->seed(), (*next)->seed());
    } catch (const Orvel::CorruptionDetectedException& e) {
      ADD_FAILURE() << "the reader reports corruption: " << e.what();
    }
  }
}

// Verifies that a walk never goes on from a slot that was cut and added
// again under it. Keys 40-43 share one hash and follow each other in one
// chain, in slots m to m + 3 of a 2m-slot file (m = 128, the minimum slot
// count). A reader looking up key 43 has read slots m (key 40) and m + 1 (key
// 41), and not yet validated the link of slot m. There the writer removes
// every other entry (compaction to m slots moves keys 40-43 below m) and
// inserts new keys until the file has 2m slots again, slots m to m + 2
// holding new keys; re-initialised slots start over at version 0, and mark
// flips take slots m and m + 1 back to the versions the reader saw. Both
// validations pass, and the walk would go on from slot m + 1's old successor
// into another key's chain (not found, a key in the wrong bucket, a free
// slot): key 43, present throughout, must be found. Under a look-up of key 41
// the walk stops at slot m + 1 itself, whose key it read before the cut and
// whose value it copies after the regrowth: the hit must return key 41's own
// value.
TEST_F(PloomInterleaving, SlotCutAndRegrownUnderAWalk) {
  for (const std::uint32_t target : {43u, 41u}) {
    SCOPED_TRACE(target);
    using test_values::GroupKey;
    using test_values::GroupValue;
    constexpr std::uint32_t m = Ploom::SlotLayout<GroupValue>::kMinSlots;
    static_assert(m == 128, "the slot numbers below are worked out for 128");
    Ploom::MapDescriptor d = descriptor(512);
    d.shrinkBuckets = false;  // the bucket count stays: only the slot file changes under the walk
    WriterHandle<GroupValue> w("/i/regrown", d);
    auto filler = [](std::uint32_t i) { return GroupValue{GroupKey{4000 + 4 * i}, i}; };  // one key per hash
    for (std::uint32_t i = 0; i < m; ++i) w->write(filler(i), true);
    for (std::uint32_t id = 40; id < 44; ++id) w->write(GroupValue{GroupKey{id}, id}, true);
    for (std::uint32_t i = m; i < m + 32; ++i) w->write(filler(i), true);
    ASSERT_EQ(w->capacity(), 2 * m);
    auto slotOfKey = [&](std::uint32_t id) { return slotOf(*w.writer, GroupKey{id}); };
    ASSERT_EQ(slotOfKey(40), m);
    ASSERT_EQ(slotOfKey(41), m + 1);
    // Versions above what the new keys' inserts can reach (4 per change).
    for (std::uint32_t id : {40u, 41u}) {
      for (int i = 0; i < 8; ++i) w->markAndSweepFlag(GroupKey{id}, Ploom::MarkAndSweepOperation::set);
    }
    const std::uint32_t versions[2] = {linkOf(*w, m).version, linkOf(*w, m + 1).version};
    const std::uint32_t buckets = w->buckets();

    ReaderHandle<GroupValue> r("/i/regrown");
    ASSERT_TRUE(r->initialize("/i/regrown"));
    bool regrown = false;
    ReaderHook hook([&](Stage stage, std::uint32_t slot) {
      if (stage != Stage::slotRead || slot != m + 1 || regrown) return;
      regrown = true;
      GroupValue out;
      for (std::uint32_t i = 0; i < m + 32; ++i) w->remove(filler(i).key, out);
      ASSERT_EQ(w->capacity(), m);
      ASSERT_LT(slotOfKey(40), m);
      // m - 4 inserts fill the free slots below m; three more take slots m to m + 2.
      for (std::uint32_t i = 0; i < m - 1; ++i) w->write(GroupValue{GroupKey{8000 + 4 * i}, i}, true);
      ASSERT_EQ(w->capacity(), 2 * m);
      ASSERT_EQ(w->buckets(), buckets);
      for (std::uint32_t s : {m, m + 1}) versionIs(*w, Access::map(*w).keyOf(s), s, versions[s - m]);
    });
    bool found = false;
    GroupValue value;
    try {
      r->lookup(GroupKey{target}, found, &value);
    } catch (const Orvel::CorruptionDetectedException& e) {
      ADD_FAILURE() << "the reader reports corruption: " << e.what();
    }
    ASSERT_TRUE(regrown) << "the walk did not read slot m + 1";
    EXPECT_TRUE(found) << "key " << target << " was present throughout";
    EXPECT_EQ(value.key.id, target);
    EXPECT_EQ(value.payload, target);
    w->removeFiles();
  }
}

// Verifies that a local shadow indexes a slot reused for another key even
// when the slot's version is back at the one it saw last. Between two polls
// (m = 64 is the minimum slot count) key 1000 sits in slot m of a 2m-slot
// file at the first poll; the writer removes every other entry (compaction to
// m slots moves key 1000 below m), inserts until slot m holds key 2000, and
// flips its mark until slot m's version, started over at 0, is the one the
// shadow saw. The next poll must index key 2000.
TEST_F(PloomInterleaving, SlotReusedAtTheSameVersionBetweenPolls) {
  constexpr std::uint32_t m = Ploom::SlotLayout<Value>::kMinSlots;
  static_assert(m == 64, "the slot numbers below are worked out for 64");
  WriterHandle<Value> w("/i/reused", descriptor(512));
  for (std::uint32_t i = 0; i < m; ++i) w->write(val(i, i), true);
  w->write(val(1000, 1), true);
  for (std::uint32_t i = m; i < m + 32; ++i) w->write(val(i, i), true);
  ASSERT_EQ(w->capacity(), 2 * m);
  ASSERT_EQ(slotOf(*w.writer, Key{1000}), m);
  // A version above what inserting key 2000 there can reach (4 per change: a
  // few relinks and one value write).
  for (int i = 0; i < 8; ++i) w->markAndSweepFlag(Key{1000}, Ploom::MarkAndSweepOperation::set);
  const std::uint32_t seen = linkOf(*w, m).version;

  Orvel::Platform::DebugHandler dh("reused");
  Ploom::PloomShadow<Value> shadow(dh, "/i/reused", "/i/reused");
  ASSERT_TRUE(shadow.initialize("/i/reused"));
  shadow.sync();

  Value out;
  for (std::uint32_t i = 0; i < m + 32; ++i) w->remove(Key{i}, out);
  ASSERT_EQ(w->capacity(), m);
  // m - 1 inserts fill the free slots below m; the next one takes slot m.
  for (std::uint32_t i = 0; i < m - 1; ++i) w->write(val(3000 + i, i), true);
  w->write(val(2000, 2), true);
  ASSERT_EQ(slotOf(*w.writer, Key{2000}), m);
  versionIs(*w, Key{2000}, m, seen);

  shadow.sync();
  EXPECT_EQ(find<Value>(shadow, Key{2000}), val(2000, 2)) << "the key in the reused slot was not indexed";
  EXPECT_EQ(shadow.members(), w->members());
  EXPECT_TRUE(iterate<Value>(shadow) == iterate(*w.writer));
}

// Verifies that a look-up returns a value whole and as its key was read (a
// walk reads only the key of each slot it passes and copies the value of the
// one it stops at afterwards). A reader looking up key 3 has read the key of
// its slot (reader point slotRead); there the writer rewrites key 3, or
// removes it and inserts key 50 into the freed slot, and stops at its k-th
// store, for every k; then the reader goes on. It must return key 3 with a
// value it had during the call, or nothing after the removal; a copy without
// a second version check returns half a rewrite, or key 50's value.
TEST_F(PloomInterleaving, ValueCopiedUnderTheVersionItsKeyWasReadWith) {
  struct Work {
    const char* name;
    std::string path;
    std::function<void(Ploom::PloomWriter<Value>&, std::uint32_t k)> run;
  };
  const std::vector<Work> works = {
      {"rewrite", "/i/copy-rewrite",
       [](Ploom::PloomWriter<Value>& w, std::uint32_t k) { w.write(valueFor(3, k), true); }},
      {"remove and reuse", "/i/copy-reuse",
       [](Ploom::PloomWriter<Value>& w, std::uint32_t) {
         Value out;
         w.remove(Key{3}, out);
         w.write(valueFor(50, 1), true);
       }},
  };
  for (const Work& work : works) {
    SCOPED_TRACE(work.name);
    const std::string& path = work.path;
    for (std::uint32_t k = 1;; ++k) {
      WriterHandle<Value> w(path, descriptor(64));
      for (std::uint32_t i = 0; i < 10; ++i) w->write(valueFor(i, 0), true);
      const std::uint32_t slot = slotOf(*w.writer, Key{3});
      ReaderHandle r(path);
      ASSERT_TRUE(r->initialize(path));
      int stores = 0;
      bool parked = false;
      std::unique_ptr<SteppedWriter> writer;
      bool found = false;
      Value got{};
      {
        ReaderHook hook([&](Stage stage, std::uint32_t index) {
          if (stage != Stage::slotRead || index != slot || writer) return;
          writer = std::make_unique<SteppedWriter>([&] { work.run(*w.writer, k); },
                                                   [&] { return ++stores == static_cast<int>(k); });
          parked = writer->waitParked();
        });
        r->lookup(Key{3}, found, &got);
      }
      ASSERT_TRUE(writer) << "the look-up never read key 3's slot";
      writer->finish();
      if (found) {
        EXPECT_TRUE(got == valueFor(3, 0) || got == valueFor(3, k)) << "store " << k << ": " << got.payload[0];
      } else {
        EXPECT_STREQ(work.name, "remove and reuse") << "store " << k << ": key 3 was present throughout";
      }
      writer.reset();
      w->removeFiles();
      if (!parked) break;  // the work ended before its k-th store: every store was visited
    }
  }
}

// Verifies that the writer's own reads are right in the middle of a bucket
// resize or a compaction, which is where it lets the host's critical-priority
// tasks run (they may read the collection; writing is reentrancy). The
// yields sit between two of the pass's stores, so the host's reads are made
// at every store point of the pass: every key the operation leaves alone is
// found with its value, and iteration returns each of them, in split order.
// Reading with the bucket count the file has grown to, a read looks into
// bucket heads pass 1 has not set yet (a miss), or, after the new count is
// published, walks a chain pass 2 has not cut yet into keys of the new bucket
// (a key in the wrong bucket).
TEST_F(PloomInterleaving, HostReadsDuringAResizeYield) {
  for (const WriterOperation& op : writerOperations()) {
    const std::string name = op.name;
    if (name.find("grow") == std::string::npos && name.find("shrink") == std::string::npos) continue;
    SCOPED_TRACE(op.name);
    Ploom::MapDescriptor d = descriptor(64);
    d.criticalTaskCheck = true;
    const std::string path = "/i/yield/" + std::to_string(op.prepared);
    WriterHandle<Value> w(path, d);
    for (std::uint32_t i = 0; i < op.prepared; ++i) w->write(valueFor(i, 0), true);
    if (op.prepare) op.prepare(*w.writer);
    auto untouched = byKey(iterate(*w.writer));
    for (std::uint32_t key : op.touched) untouched.erase(key);
    const std::uint32_t seed = w->seed();
    int stores = 0;
    {
      StoreHook hook([&] {
        ++stores;
        try {
          for (const auto& [id, value] : untouched)
            ASSERT_EQ(find(*w, Key{id}), value) << "store " << stores << ": key " << id;
          std::vector<Key> seen;
          for (const Value& v : iterate(*w.writer)) seen.push_back(v.key);
          ASSERT_EQ(seen, splitOrder(seen, seed)) << "store " << stores;
          for (const auto& [id, value] : untouched) {
            ASSERT_TRUE(std::count(seen.begin(), seen.end(), Key{id}) == 1) << "store " << stores << ": key " << id;
          }
        } catch (const Orvel::CorruptionDetectedException& e) {
          FAIL() << "store " << stores << ": " << e.what();
        }
      });
      op.run(*w.writer);
    }
    EXPECT_GT(stores, 0);
    EXPECT_TRUE(w->validate()) << w->lastValidationError();
  }
}

// Verifies that a detached reader reports every key as not found and
// iterates nothing, without throwing and without attaching behind its owner's
// back: after detach() until initialize(); after its collection went away
// (the writer removed the files) until the writer's new files are there.
// Also next() of the reader hash map on a bucket table that is not attached
// (count 0) finds nothing instead of reading bucket h of no table.
TEST_F(PloomInterleaving, DetachedReaderFindsNothing) {
  struct Case {
    const char* name;
    std::function<void(Ploom::PloomReader<Value>&, std::unique_ptr<WriterHandle<Value>>&)> detach;
  };
  const std::vector<Case> cases = {
      {"detached", [](auto& reader, auto&) { reader.detach(false); }},
      {"collection went away",
       [](auto&, auto& writer) {
         (*writer)->removeFiles();
         writer.reset();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Mem::OrlRootPath("/i/detached").path());
    auto writer = std::make_unique<WriterHandle<Value>>("/i/detached", descriptor(64));
    for (std::uint32_t i = 0; i < 10; ++i) (*writer)->write(val(i, i), true);
    ReaderHandle r("/i/detached");
    Ploom::PloomReader<Value>& reader = r.reader;
    ASSERT_TRUE(reader.initialize("/i/detached"));
    Value first;
    Ploom::IterHint hint;
    ASSERT_TRUE(reader.first(first, hint));
    c.detach(reader, writer);
    try {
      bool found = true;
      EXPECT_EQ(*reader.lookup(Key{3}, found, nullptr), Value{});
      EXPECT_FALSE(found);
      Value value;
      EXPECT_FALSE(reader.next(first.key, value, hint));
      EXPECT_FALSE(reader.first(value, hint));
      EXPECT_EQ(reader.members(), 0u);
      EXPECT_FALSE(reader.connected());
    } catch (const std::exception& e) {
      ADD_FAILURE() << "a detached reader throws: " << e.what();
    }
    EXPECT_EQ(reader.attachments(), 1u);
  }
  // The collection is back: the reader whose collection went away follows it.
  WriterHandle<Value> again("/i/detached", descriptor(64));
  again->write(val(7, 7), true);
  ReaderHandle r("/i/detached");
  EXPECT_EQ(find<Value>(r.reader, Key{7}), val(7, 7));

  auto child = testing_support::runInChild([] {
    Orvel::Platform::DebugHandler childDh("detached-map");
    PloomCore::BucketReader buckets(Mem::OrlRootPath("/i/none").path());
    Ploom::SlotReaderTable<Value> slots(childDh, Mem::OrlRootPath("/i/none").path());
    std::uint32_t seed = 1;
    Ploom::Reader::Counters counters;
    Ploom::LastSlotRead lastRead;
    PloomCore::ReaderHashMap<Value> map(childDh, buckets, slots, &seed, &counters, &lastRead);
    Value value;
    Ploom::IterHint hint{0, 5, 5};
    return std::string(map.next(Key{123456}, value, hint) ? "found" : "not found");
  });
  EXPECT_EQ(child.signal, 0);
  EXPECT_EQ(child.output, "not found");
}

// Verifies the reader's progress while the writer rewrites one key without
// pause: the writer rewrites key 40 between every two steps of the reader
// (at every slot read). Keys 40-43 share one hash and follow each other in
// one chain, so looking up 41-43, and iterating, walk past the slot being
// rewritten. Every look-up and the iteration complete without restarting a
// walk (a walk that restarted whenever a slot it passed changed its version
// would never end here: the writer stops after a bound, which the reader must
// not need), and return values that were current during the call.
TEST_F(PloomInterleaving, OneKeyRewrittenWithoutPause) {
  using test_values::GroupKey;
  using test_values::GroupValue;
  WriterHandle<GroupValue> w("/i/rewritten", descriptor(64));
  for (std::uint32_t id = 40; id < 44; ++id) w->write(GroupValue{GroupKey{id}, id}, true);
  for (std::uint32_t i = 0; i < 100; ++i) w->write(GroupValue{GroupKey{4000 + 4 * i}, i}, true);
  ReaderHandle<GroupValue> r("/i/rewritten");
  Ploom::PloomReader<GroupValue>& reader = r.reader;
  ASSERT_TRUE(reader.initialize("/i/rewritten"));

  constexpr std::uint32_t kBound = 100000;
  std::uint32_t rewrites = 0;
  ReaderHook hook([&](Stage stage, std::uint32_t) {
    if (stage != Stage::slotRead || rewrites == kBound) return;
    ++rewrites;
    w->write(GroupValue{GroupKey{40}, kBound + rewrites}, true);
  });
  for (std::uint32_t id = 40; id < 44; ++id) {
    bool found = false;
    GroupValue value;
    const std::uint32_t before = rewrites;
    reader.lookup(GroupKey{id}, found, &value);
    EXPECT_TRUE(found) << id;
    if (id == 40) {
      EXPECT_TRUE(value.payload == 40 || (value.payload >= kBound + before && value.payload <= kBound + rewrites))
          << "not a value of key 40 during the call: " << value.payload;
    } else {
      EXPECT_EQ(value.payload, id);
    }
  }
  std::set<std::uint32_t> seen;
  for (const GroupValue& v : iterate<GroupValue>(reader)) EXPECT_TRUE(seen.insert(v.key.id).second) << v.key.id;
  EXPECT_EQ(seen.size(), 104u);
  EXPECT_LT(rewrites, kBound) << "the writer had to stop for the reader to finish";
  EXPECT_GT(rewrites, 0u);
  EXPECT_EQ(reader.readerCounters()[Ploom::Reader::Counters::retries], 0u);
}

}  // namespace
