// Helpers shared by the collection's tests: a writer and a reader on a
// private base directory, look-ups and traces in one call, the split order,
// store and reader hooks, and the kinds of writer operation the every-store
// suites run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Lumlog/Sink.h"
#include "Ploom/PloomReader.h"
#include "Ploom/PloomWriter.h"
#include "Ploom/TestAccess.h"
#include "TestValues.h"
#include "support/ErrorOf.h"
#include "support/TempBaseDir.h"

namespace ploom_test {

using test_values::Key;
using test_values::Value;
using Access = Ploom::Testing::Access;

inline Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

// A value for key `id` written for the `version`-th time; its second payload
// word lets a reader tell a whole value from a torn one.
inline Value valueFor(std::uint32_t id, std::uint32_t version) {
  return Value{Key{id}, {version, id * 2654435761u ^ version}};
}
inline bool whole(const Value& v) { return v.payload[1] == (v.key.id * 2654435761u ^ v.payload[0]); }

inline Ploom::MapDescriptor descriptor(std::uint32_t capacity, bool fixedSize = false) {
  return {.capacity = capacity, .fixedSize = fixedSize};
}

// A writer of the collection at `path`, initialised, holding val(i, i) for
// every i < `entries`.
template <class V>
struct WriterHandle {
  Orvel::Platform::DebugHandler dh{"ploom-test"};
  std::unique_ptr<Ploom::PloomWriter<V>> writer;

  WriterHandle(const std::string& path, Ploom::MapDescriptor d, std::uint32_t entries = 0) {
    writer = std::make_unique<Ploom::PloomWriter<V>>(dh, path, d, path);
    writer->initialize(path);
    if constexpr (std::is_same_v<V, Value>) {
      for (std::uint32_t i = 0; i < entries; ++i) writer->write(val(i, i), true);
    }
  }
  Ploom::PloomWriter<V>* operator->() { return writer.get(); }
  Ploom::PloomWriter<V>& operator*() { return *writer; }
};

// A reader of the collection at `path` (not yet initialised).
template <class V = Value>
struct ReaderHandle {
  Orvel::Platform::DebugHandler dh{"ploom-test-reader"};
  Ploom::PloomReader<V> reader;
  explicit ReaderHandle(const std::string& path) : reader(dh, path, path) {}
  Ploom::PloomReader<V>* operator->() { return &reader; }
};

// The value `endpoint` holds for `key`, if it finds one.
template <class V>
std::optional<V> find(const Ploom::PloomInterface<V>& endpoint, const typename V::EntryKey& key) {
  bool found = false;
  const V* value = endpoint.lookup(key, found, nullptr);
  return found ? std::optional<V>(*value) : std::nullopt;
}

// Every entry in iteration order, through first/next of any endpoint.
template <class V>
std::vector<V> iterate(const Ploom::PloomInterface<V>& endpoint) {
  std::vector<V> values;
  V value;
  Ploom::IterHint hint;
  for (bool more = endpoint.first(value, hint); more; more = endpoint.next(value.entryKey(), value, hint)) {
    values.push_back(value);
  }
  return values;
}

inline std::map<std::uint32_t, Value> byKey(const std::vector<Value>& values) {
  std::map<std::uint32_t, Value> all;
  for (const Value& v : values) all[v.key.id] = v;
  return all;
}

using testing_support::errorOf;

// The messages `dh` traces at `levelMask` while `fn` runs, one a line.
template <class F>
std::string traced(Orvel::Platform::DebugHandler& dh, unsigned levelMask, F&& fn) {
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  dh.levelMaskIs(levelMask);
  fn();
  dh.levelMaskIs(0);
  Lumlog::currentSinkIs(nullptr);
  std::string messages;
  for (const auto& r : sink.records()) messages += r.message + "\n";
  return messages;
}

// Keys sorted in split order: ascending reversed hash, then key.
template <class K>
std::vector<K> splitOrder(std::vector<K> keys, std::uint32_t seed) {
  std::sort(keys.begin(), keys.end(), [&](const K& a, const K& b) {
    const auto ra = Ploom::reverseBits(keyHash(a, seed)), rb = Ploom::reverseBits(keyHash(b, seed));
    return ra != rb ? ra < rb : a < b;
  });
  return keys;
}

// The slot index that holds `key` in `writer`'s slot file.
template <class V>
std::uint32_t slotOf(Ploom::PloomWriter<V>& writer, const typename V::EntryKey& key) {
  bool found = false;
  const V* value = writer.lookup(key, found, nullptr);
  EXPECT_TRUE(found);
  const auto offset = reinterpret_cast<const std::uint8_t*>(value) - Access::slots(writer).base();
  return static_cast<std::uint32_t>((offset - Ploom::SlotLayout<V>::kHeaderSize - 8) / Ploom::SlotLayout<V>::kSlotSize);
}

// The {version, link} of slot `s`, and its replacement.
template <class V>
Ploom::SlotLink linkOf(Ploom::PloomWriter<V>& writer, std::uint32_t s) {
  return Ploom::SlotLink::read(Access::slots(writer)[s]);
}
template <class V>
void linkIs(Ploom::PloomWriter<V>& writer, std::uint32_t s, Ploom::SlotLink link) {
  Ploom::SlotLink::write(Access::slots(writer)[s], link);
}

// Toggles the mark of `key` (in slot `s`) until the slot's version reaches
// `version`: what other changes can do as well.
template <class V>
void versionIs(Ploom::PloomWriter<V>& writer, const typename V::EntryKey& key, std::uint32_t s, std::uint32_t version) {
  for (bool set = true; linkOf(writer, s).version < version; set = !set) {
    writer.markAndSweepFlag(key, set ? Ploom::MarkAndSweepOperation::set : Ploom::MarkAndSweepOperation::clear);
  }
  ASSERT_EQ(linkOf(writer, s).version, version);
}

// The free list, head first.
template <class V>
std::vector<std::uint32_t> freeList(Ploom::PloomWriter<V>& writer) {
  std::vector<std::uint32_t> list;
  auto& slots = Access::slots(writer);
  for (std::uint32_t s = slots.freeHead(); s != Ploom::SlotLink::kNothing && list.size() <= slots.numSlots();) {
    list.push_back(s);
    s = Ploom::SlotLink::read(slots[s]).link & ~Ploom::SlotLink::kMark;
  }
  return list;
}

// Runs `fn` at every store point of a writer (StoreHook), or at every reader
// point with its stage and index (ReaderHook), while installed (see
// Ploom/StorePoint.h). The reader hook is off while `fn` runs, so that reads
// `fn` makes itself do not recurse.
template <auto& kHook, bool kOffWhileRunning, class... Args>
class Hook {
 public:
  explicit Hook(std::function<void(Args...)> fn) {
    current = std::move(fn);
    install();
  }
  ~Hook() {
    kHook = nullptr;
    current = nullptr;
  }

 private:
  static void install() {
    kHook = [](Args... args) {
      if constexpr (kOffWhileRunning) kHook = nullptr;
      current(args...);
      if constexpr (kOffWhileRunning) install();
    };
  }
  static inline std::function<void(Args...)> current;
};
using StoreHook = Hook<Ploom::Testing::storeHook, false>;
using ReaderHook = Hook<Ploom::Testing::readerHook, true, Ploom::Testing::ReaderStage, std::uint32_t>;

// One kind of writer operation, as the every-store suites run it: the
// collection is prepared with valueFor(i, 0) for i < prepared (then
// `prepare`), its files are damaged (`damage`, given the root directory), and
// a writer that attaches runs `run`. Every store point from that attach on
// belongs to the operation. Keys other than `touched` keep their value
// throughout, unless the operation replaces the files (every key goes).
struct WriterOperation {
  const char* name;
  std::uint32_t prepared;
  std::function<void(Ploom::PloomWriter<Value>&)> run;
  std::function<void(Ploom::PloomWriter<Value>&)> prepare = nullptr;
  std::function<void(const std::string& root)> damage = nullptr;
  std::set<std::uint32_t> touched = {};
  bool replacesFiles = false;
  bool critical = true;  // its stores are made inside a critical section
};

// Sets runtime flags of the slot file under `root`, as a writer that died
// inside a critical section leaves them.
inline void leaveInCriticalSection(const std::string& root) {
  Mem::SharedMemWrapper shm(root + "/slots", Mem::Access::readWrite);
  std::string reason;
  ASSERT_TRUE(shm.open(Ploom::SlotHeader::kRuntimeFlags + 2, false, reason)) << reason;
  auto* base = static_cast<std::uint8_t*>(shm.base());
  Ploom::SlotHeader::runtimeFlagsIs(base,
                                    Ploom::SlotHeader::runtimeFlags(base) | Ploom::SlotHeader::kInCriticalSection);
}

// Prepares the collection at `path` for `op` (see WriterOperation), from no
// files at all, and damages it unless asked not to.
inline void prepareFor(const WriterOperation& op, const std::string& path, bool damage = true) {
  std::filesystem::remove_all(Mem::OrlRootPath(path).path());
  {
    WriterHandle<Value> w(path, descriptor(64));
    for (std::uint32_t i = 0; i < op.prepared; ++i) w->write(valueFor(i, 0), true);
    if (op.prepare) op.prepare(*w.writer);
  }
  if (damage && op.damage) op.damage(Mem::OrlRootPath(path).path());
}

// Every kind of operation a writer makes on the files, each store of which
// the crash suite dies at and the interleaving suite reads at.
inline std::vector<WriterOperation> writerOperations() {
  using W = Ploom::PloomWriter<Value>;
  // Removes the keys from `from` up to `to` (excluded).
  auto removeKeys = [](std::uint32_t from, std::uint32_t to) {
    return [from, to](W& w) {
      Value out;
      for (std::uint32_t i = from; i < to; ++i) w.remove(Key{i}, out);
    };
  };
  auto directWrite = [](std::uint32_t id, std::uint32_t version) {
    return [id, version](W& w) {
      w.directWrite(valueFor(id, version));
      w.directCommit();
    };
  };
  auto insert100 = [](W& w) { w.write(valueFor(100, 1), true); };
  return {
      {.name = "insert", .prepared = 10, .run = insert100, .touched = {100}},
      {.name = "overwrite", .prepared = 10, .run = [](W& w) { w.write(valueFor(3, 7), true); }, .touched = {3}},
      {.name = "remove", .prepared = 10, .run = removeKeys(4, 5), .touched = {4}},
      // 64 entries fill the 64 slots and are the grow threshold of 64
      // buckets: one more grows the slot file and doubles the buckets.
      {.name = "slot and bucket grow", .prepared = 64, .run = insert100, .touched = {100}},
      // 16 entries left of 40 keep 64 buckets (shrink threshold 16); one
      // fewer halves them. 64 slots are the minimum: no compaction.
      {.name = "bucket shrink",
       .prepared = 40,
       .run = removeKeys(24, 25),
       .prepare = removeKeys(0, 24),
       .touched = {24}},
      // 150 entries take 157 slots and 256 buckets. Removing from key 0 up
      // stops where one more removal leaves fewer than half the slot file's
      // shrink threshold occupied (64 of 128), which is also below the
      // buckets' shrink threshold (256 >> 2): removing key 149 then compacts
      // the slot file to 128 slots, moving the entries above it down, and
      // halves the buckets.
      {.name = "slot compaction and bucket shrink",
       .prepared = 150,
       .run = removeKeys(149, 150),
       .prepare =
           [](W& w) {
             Value out;
             auto& slots = Access::slots(w);
             for (std::uint32_t i = 0; slots.occupied() - 1 >= slots.shrinkThreshold() / 2; ++i) w.remove(Key{i}, out);
           },
       .touched = {149}},
      {.name = "direct write and commit, new key", .prepared = 10, .run = directWrite(100, 1), .touched = {100}},
      {.name = "direct write and commit, existing key", .prepared = 10, .run = directWrite(5, 9), .touched = {5}},
      {.name = "mark",
       .prepared = 10,
       .run = [](W& w) { w.markAndSweepFlag(Key{2}, Ploom::MarkAndSweepOperation::set); },
       .critical = false},
      // Wiping the files (the collection's cleanup): the slot file is
      // retired, then both files are unlinked.
      {.name = "cleanup", .prepared = 10, .run = [](W& w) { w.cleanup(); }, .replacesFiles = true, .critical = false},
      // The attach re-formats a collection left inside a critical section.
      {.name = "re-format", .prepared = 20, .run = [](W&) {}, .damage = leaveInCriticalSection, .replacesFiles = true},
  };
}

}  // namespace ploom_test
