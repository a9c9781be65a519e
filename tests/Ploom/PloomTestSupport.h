// Helpers shared by the collection's tests: a writer and a reader on a
// private base directory, look-ups and traces in one call, an independent
// walk over the raw files, the split order, store and reader hooks, and the
// kinds of writer operation the every-store suites run.
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
  Ploom::MapDescriptor d;
  d.capacity = capacity;
  d.fixedSize = fixedSize;
  return d;
}

template <class V>
struct WriterHandle {
  Orvel::Platform::DebugHandler dh{"ploom-test"};
  std::unique_ptr<Ploom::PloomWriter<V>> writer;

  WriterHandle(const std::string& path, Ploom::MapDescriptor d) {
    writer = std::make_unique<Ploom::PloomWriter<V>>(dh, path, d, path);
    writer->initialize(path);
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
  if (!endpoint.first(value, hint)) return values;
  do {
    values.push_back(value);
  } while (endpoint.next(value.entryKey(), value, hint));
  return values;
}

// The entries of `values` by key.
inline std::map<std::uint32_t, Value> byKey(const std::vector<Value>& values) {
  std::map<std::uint32_t, Value> all;
  for (const Value& v : values) all[v.key.id] = v;
  return all;
}

// The message of what `f` throws ("no exception" when it returns).
template <class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

// The messages `dh` traces at `levelMask` while `fn` runs.
template <class F>
std::vector<std::string> traced(Orvel::Platform::DebugHandler& dh, unsigned levelMask, F&& fn) {
  Lumlog::CaptureSink sink;
  Lumlog::currentSinkIs(&sink);
  dh.levelMaskIs(levelMask);
  fn();
  dh.levelMaskIs(0);
  Lumlog::currentSinkIs(nullptr);
  std::vector<std::string> messages;
  for (const auto& r : sink.records()) messages.push_back(r.message);
  return messages;
}
// Whether one of `messages` contains `text`.
inline bool mentions(const std::vector<std::string>& messages, const std::string& text) {
  return std::any_of(messages.begin(), messages.end(),
                     [&](const std::string& m) { return m.find(text) != std::string::npos; });
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

// An independent reader of the raw files: finds `key` by walking its bucket's
// chain with `buckets` buckets, following links only (no writer code).
template <class V>
bool rawFind(const std::uint8_t* bucketBase, const std::uint8_t* slotBase, std::uint32_t buckets,
             const typename V::EntryKey& key, std::uint32_t seed) {
  using Layout = Ploom::SlotLayout<V>;
  const std::uint32_t bucket = keyHash(key, seed) & (buckets - 1);
  std::uint64_t word;
  std::memcpy(&word, bucketBase + 24 + 8 * bucket, 8);
  for (int hops = 0; hops < 1 << 20; ++hops) {
    const std::uint32_t link = static_cast<std::uint32_t>(word >> 32);
    if (link & Ploom::SlotLink::kEndOfChain) return false;
    const std::uint8_t* slot =
        slotBase + Layout::kHeaderSize + std::size_t{link & Ploom::SlotLink::kIndexMask} * Layout::kSlotSize;
    V value;
    std::memcpy(&value, slot + Layout::kValueOffset, sizeof(V));
    if (!(value.entryKey() < key) && !(key < value.entryKey())) return true;
    std::memcpy(&word, slot, 8);
  }
  return false;
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

// Runs `fn` at every store point of a writer while installed (see
// Ploom/StorePoint.h).
class StoreHook {
 public:
  explicit StoreHook(std::function<void()> fn) {
    current() = std::move(fn);
    Ploom::Testing::storeHook = [] { current()(); };
  }
  ~StoreHook() {
    Ploom::Testing::storeHook = nullptr;
    current() = nullptr;
  }

 private:
  static std::function<void()>& current() {
    static std::function<void()> fn;
    return fn;
  }
};

// Runs `fn(stage, index)` at every reader point while installed. The hook is
// off while `fn` runs, so that reads `fn` makes itself do not recurse.
class ReaderHook {
 public:
  using Fn = std::function<void(Ploom::Testing::ReaderStage, std::uint32_t)>;
  explicit ReaderHook(Fn fn) {
    current() = std::move(fn);
    install();
  }
  ~ReaderHook() {
    Ploom::Testing::readerHook = nullptr;
    current() = nullptr;
  }

 private:
  static void install() {
    Ploom::Testing::readerHook = [](Ploom::Testing::ReaderStage stage, std::uint32_t index) {
      Ploom::Testing::readerHook = nullptr;
      current()(stage, index);
      install();
    };
  }
  static Fn& current() {
    static Fn fn;
    return fn;
  }
};

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
  auto removeKey = [](std::uint32_t id) {
    return [id](W& w) {
      Value out;
      w.remove(Key{id}, out);
    };
  };
  return {
      {"insert", 10, [](W& w) { w.write(valueFor(100, 1), true); }, nullptr, nullptr, {100}},
      {"overwrite", 10, [](W& w) { w.write(valueFor(3, 7), true); }, nullptr, nullptr, {3}},
      {"remove", 10, removeKey(4), nullptr, nullptr, {4}},
      // 64 entries fill the 64 slots and are the grow threshold of 64
      // buckets: one more grows the slot file and doubles the buckets.
      {"slot and bucket grow", 64, [](W& w) { w.write(valueFor(100, 1), true); }, nullptr, nullptr, {100}},
      // 16 entries left of 40 keep 64 buckets (shrink threshold 16); one
      // fewer halves them. 64 slots are the minimum: no compaction.
      {"bucket shrink",
       40,
       removeKey(24),
       [](W& w) {
         Value out;
         for (std::uint32_t i = 0; i < 24; ++i) w.remove(Key{i}, out);
       },
       nullptr,
       {24}},
      // 150 entries take 157 slots and 256 buckets. Removing from key 0 up
      // stops where one more removal leaves fewer than half the slot file's
      // shrink threshold occupied (64 of 128), which is also below the
      // buckets' shrink threshold (256 >> 2): removing key 149 then compacts
      // the slot file to 128 slots, moving the entries above it down, and
      // halves the buckets.
      {"slot compaction and bucket shrink",
       150,
       removeKey(149),
       [](W& w) {
         Value out;
         auto& slots = Access::slots(w);
         for (std::uint32_t i = 0; slots.occupied() - 1 >= slots.shrinkThreshold() / 2; ++i) w.remove(Key{i}, out);
       },
       nullptr,
       {149}},
      {"direct write and commit, new key",
       10,
       [](W& w) {
         w.directWrite(valueFor(100, 1));
         w.directCommit();
       },
       nullptr,
       nullptr,
       {100}},
      {"direct write and commit, existing key",
       10,
       [](W& w) {
         w.directWrite(valueFor(5, 9));
         w.directCommit();
       },
       nullptr,
       nullptr,
       {5}},
      {"mark",
       10,
       [](W& w) { w.markAndSweepFlag(Key{2}, Ploom::MarkAndSweepOperation::set); },
       nullptr,
       nullptr,
       {},
       false,
       false},
      // Wiping the files (the collection's cleanup): the slot file is
      // retired, then both files are unlinked.
      {"cleanup", 10, [](W& w) { w.cleanup(); }, nullptr, nullptr, {}, true, false},
      // The attach re-formats a collection left inside a critical section.
      {"re-format", 20, [](W&) {}, nullptr, leaveInCriticalSection, {}, true},
  };
}

}  // namespace ploom_test
