// Ploom::PloomShadow: a collection read from another process through a local
// index that follows the writer's changes.
//
// The shadow holds a Ploom::PloomReader on the shared files, a local store
// (Ploom::KeyShadowStore: one ShadowRecord per shared slot index, indexed by
// a Ploom::ShadowHashMap) and the sequence-transport reader (Brask::
// BraskReader), which reports the shared slots that changed. sync() applies
// those notifications (doSlot): a slot that now holds a key is indexed under
// it, a slot that was freed is unindexed; the key-changed and key-removed
// callbacks hear of every change. Look-ups and iteration go through the
// local index and read the values from the shared slots
// (Ploom::KeyShadowSlot::value), falling back to a keyed look-up when a slot
// has been reused meanwhile. Nothing here writes the shared files.
//
// What a notification says is decided by the slot's contents, never by its
// version alone: the transport notifies every slot when the slot table was
// cut or grown between two polls (versions restart in re-initialised slots),
// and a re-formatted collection is indexed from scratch.
//
// Lifecycle: initialised -> synchronising (notifications applied) ->
// synchronised (syncComplete) -> optionally flushed (every slot applied
// again; flushComplete) -> detached. A transport disconnect returns it to
// synchronising. During an asynchronous flush (one that the next sync()
// completes) only a forced detach is allowed.
//
// The local store's and index's counters go to the reader's counter block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Brask/BraskReader.h"
#include "Ploom/PloomReader.h"
#include "PloomCore/ShadowHashMap.h"

namespace Ploom {

template <CollectionValue V>
class KeyShadowStore {
 public:
  using Key = typename V::EntryKey;
  using Record = ShadowRecord<Key>;
  struct KeyHash {
    const std::uint32_t* seed;
    std::uint32_t operator()(const Key& key) const { return ValueTraits<V>::hash(key, *seed); }
  };
  using Callback = std::function<void(const Key&)>;
  using Index = ShadowHashMap<Key, KeyHash>;

  // The local index doubles its buckets past (buckets << 2) records.
  static constexpr std::uint32_t kBucketFactor = 2;
  // No notification names a slot past the links' index space.
  static constexpr std::uint64_t kMaxRecords = std::uint64_t{SlotLink::kIndexMask} + 1;

  KeyShadowStore(const Orvel::Platform::DebugHandler& dh, PloomReader<V>& reader, const std::uint32_t* seed)
      : dh_(dh),
        reader_(reader),
        counters_(reader.counterBlock()),
        index_(dh, reader.ploomName(), KeyHash{seed}, records_, counters_, kBucketFactor) {}

  void initialize() {
    if (initialized_) return;
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "size:{} elements", 2);
    index_.reset();
    records_.clear();
    initialized_ = true;
  }
  // Stops notification processing: doSlot() consumes without indexing.
  void disable() { initialized_ = false; }
  bool initialized() const noexcept { return initialized_; }
  void keyChangedIs(Callback callback) { keyChanged_ = std::move(callback); }
  void keyRemovedIs(Callback callback) { keyRemoved_ = std::move(callback); }

  // One change notification of the writer for shared slot `slot`; true when consumed.
  bool doSlot(std::uint32_t slot, std::uint64_t sequence, std::uint32_t /*flag*/,
              const Brask::BraskReader* transport = nullptr) {
    if (!initialized_) return true;
    if (slot >= records_.size()) {
      if (reader_.capacity() > slot || (reader_.doResize(), reader_.capacity() > slot)) {
        if (!grow(slot)) {
          ORVEL_TRACE(dh_, 5, "KeyShadowStore", "discarding notification for slotIndex:{}", slot);
          return true;
        }
      } else {
        ORVEL_TRACE(dh_, 5, "KeyShadowStore",
                    "skip growing of shadow table to accomodate slotIndex:{} because shared memory has shrunk to {} "
                    "slots",
                    slot, reader_.capacity());
        return true;
      }
    }
    V value{};
    bool occupied = false;
    try {
      occupied = slot < reader_.capacity() && reader_.getValue(slot, value);
    } catch (const Orvel::CorruptionDetectedException&) {
      occupied = false;  // handled as free
    }
    Record& record = records_[slot];
    const Key& key = ValueTraits<V>::key(value);
    auto tombstoned = [&] {
      if (sequence == Brask::BraskReader::kNoSequence || !transport || transport->sequenceHeld(sequence)) return false;
      ORVEL_TRACE(dh_, 5, "KeyShadowStore", "failed because sequence:{} may have been tombstoned", sequence);
      return true;
    };
    if (occupied) {
      const bool same = record.indexed() && record.key == key;
      ORVEL_TRACE(dh_, 9, "KeyShadowStore", "updated: {} compare: {} slotIndex:{}{}", same, record.indexed(), slot,
                  " found");
      if (record.indexed() && !same) {
        if (tombstoned()) return false;
        const Key old = record.key;
        index_.remove(slot);
        if (keyRemoved_) keyRemoved_(old);
        if (!initialized_) return true;
      }
      record.key = key;
      if (index_.write(slot, !same) && keyChanged_) keyChanged_(key);
      return true;
    }
    ORVEL_TRACE(dh_, 9, "KeyShadowStore", "updated: {} compare: {} slotIndex:{}{}", false, record.indexed(), slot,
                " not found");
    if (!record.indexed()) return true;
    if (tombstoned()) return false;
    const Key old = record.key;
    index_.remove(slot);
    if (keyRemoved_) keyRemoved_(old);
    if (initialized_) {
      record.key = Key{};
      tryShrink();
    }
    return true;
  }

  // Grows the local records to the shared slot count; false when `slot` is past it.
  bool grow(std::uint32_t slot) {
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "for slotIndex:{}", slot);
    reader_.doResize();
    const std::uint32_t count = reader_.capacity();
    if (slot >= count) {
      ORVEL_TRACE(dh_, 5, "KeyShadowStore", "complete. Never learned of slotIndex:{} so it is safe to ignore.", slot);
      return false;
    }
    ORVEL_TRACE(dh_, 2, "KeyShadowStore", "resize shadow slots from {} to {} due to out of range slot {}",
                records_.size(), count, slot);
    resize(count);
    counters_.inc(Reader::Counters::shadowGrows);
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "complete.");
    return true;
  }

  // Sets the number of local records: added records are fresh, records past
  // the new count go (they must not be indexed). Throws
  // Orvel::MemoryResourceException naming the sizes and the memory kind when
  // the records cannot be had.
  void resize(std::uint64_t count) {
    const std::uint64_t old = records_.size();
    try {
      if (count > kMaxRecords) throw std::bad_alloc();
      records_.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
      throw Orvel::MemoryResourceException(fmt::format("failed to resize {} from {} to {} slots - {}",
                                                       reader_.ploomName(), old, count, Index::kMemoryKind));
    }
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "Passed resize {} and got {} back.", count, records_.size());
  }

  // The value behind record `slot`, read from the shared slot (or by key when
  // the slot was reused or is gone); null when the key is not in the collection.
  const V* value(std::uint32_t slot, V& out) const {
    const Key& key = records_[slot].key;
    if (slot < reader_.capacity()) {
      try {
        if (reader_.getValue(slot, out)) {
          if (ValueTraits<V>::key(out) == key) return &out;
          counters_.inc(Reader::Counters::mismatches);  // the writer reused the slot for another key
          return byKey(key, out);
        }
      } catch (const Orvel::CorruptionDetectedException&) {
        ORVEL_TRACE(dh_, 5, "KeyShadowSlot", "unable to retrieve slotIndex:{}, returning not found", slot);
      }
    } else {
      ORVEL_TRACE(dh_, 5, "KeyShadowSlot", "slotIndex:{} shmemCapacity:{}, returning not found", slot,
                  reader_.capacity());
    }
    reader_.lastSlotReadReset();
    return byKey(key, out);
  }

  const Index& index() const noexcept { return index_; }
  std::uint32_t localCapacity() const noexcept { return static_cast<std::uint32_t>(records_.size()); }
  const Record& record(std::uint32_t slot) const { return records_[slot]; }

 private:
  const V* byKey(const Key& key, V& out) const {
    bool found = false;
    const V* v = reader_.lookup(key, found, &out);
    return found ? v : nullptr;
  }

  // After a removal: shrink the records to what the largest occupied index
  // needs once at most a quarter are occupied, unless the shared table is larger.
  void tryShrink() {
    if (index_.occupied() > localCapacity() >> 2) return;
    const std::uint32_t target = index_.largestOccupied();
    if (target >= localCapacity()) return;
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "shadow slot occupancy <= 25% and can shrink to {} slots.", target);
    if (reader_.capacity() > target && target != 0) {
      ORVEL_TRACE(dh_, 5, "KeyShadowStore",
                  "skip shrinking of shadow table to {} slots because shared memory has grown to {} slots", target,
                  reader_.capacity());
      return;
    }
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "newNumSlots:{}", target);
    ORVEL_TRACE(dh_, 2, "KeyShadowStore", "resize shadow slots from {} to {}", localCapacity(), target);
    resize(target);
    counters_.inc(Reader::Counters::shadowShrinks);
    ORVEL_TRACE(dh_, 5, "KeyShadowStore", "complete.");
  }

  const Orvel::Platform::DebugHandler& dh_;
  PloomReader<V>& reader_;
  Reader::Counters& counters_;
  std::vector<Record> records_;
  Index index_;
  Callback keyChanged_;
  Callback keyRemoved_;
  bool initialized_ = false;
};

// Both reader modes with a local index use the same store: what the two host
// stores differ in (how records are kept) makes no difference here.
template <CollectionValue V>
using ShadowStore = KeyShadowStore<V>;

template <CollectionValue V>
class PloomShadow final : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;
  // What the notifications being applied are for.
  enum class SyncerMode : std::uint32_t { sync = 0, flush = 1 };

  PloomShadow(const Orvel::Platform::DebugHandler& dh, const std::string& collectionPath, std::string name)
      : dh_(dh), reader_(dh, collectionPath, std::move(name)), store_(dh, reader_, &seed_) {}

  bool initialize(const std::string& path) override {
    if (initialized_) return true;
    if (!reader_.initialize(path)) {
      ORVEL_TRACE(dh_, 0, "PloomShadow", "ploom.initialize() Failed");
      return false;
    }
    startOver();
    if (!brask_.initialize(transportSource())) {
      ORVEL_TRACE(dh_, 0, "PloomShadow", "brask_.initialize() Failed");
      return false;
    }
    initialized_ = true;
    return true;
  }

  // Applies the writer's changes since the last call (and completes an
  // asynchronous flush); returns how many notifications were consumed.
  std::uint32_t sync() {
    if (!initialized_) return 0;
    reader_.doResize();
    if (reader_.attachments() != attachment_) {  // re-formatted: new files, new seed
      startOver();
      brask_.initialize(transportSource());
    }
    const std::uint32_t consumed = brask_.poll([this](std::uint32_t slot, std::uint64_t sequence, std::uint32_t flag) {
      return doSlot(slot, sequence, flag);
    });
    if (asyncFlush_) flushComplete();
    syncComplete();
    return consumed;
  }

  // Applies every shared slot again (the transport's flush). An asynchronous
  // flush is applied and completed by the next sync().
  void flush(bool async) {
    mode_ = SyncerMode::flush;
    brask_.resync();
    if (async) {
      asyncFlush_ = true;
      return;
    }
    sync();
    flushComplete();
  }

  bool doSlot(std::uint32_t slot, std::uint64_t sequence, std::uint32_t flag) {
    if (store_.doSlot(slot, sequence, flag, &brask_)) return true;
    reader_.counterBlock().inc(Reader::Counters::unconsumed);
    return false;
  }

  void syncComplete() {
    ORVEL_TRACE(dh_, 5, "PloomShadow", "Synchronization complete, seq:{}", brask_.sequence());
    synced_ = true;
  }
  void flushComplete() {
    ORVEL_TRACE(dh_, 5, "PloomShadow", "Flush complete");
    mode_ = SyncerMode::sync;
    asyncFlush_ = false;
  }
  // The transport lost its writer: everything is looked at again at the next
  // sync().
  void handleDisconnect() {
    if (!store_.initialized()) {
      ORVEL_TRACE(dh_, 1, "PloomShadow", "disconnected while zuvo processing is disabled, syncer mode:{} done:{}",
                  static_cast<std::uint32_t>(mode_), synced_);
    }
    synced_ = false;
    brask_.resync();
  }
  bool synchronised() const noexcept { return synced_; }
  SyncerMode syncerMode() const noexcept { return mode_; }

  const V* lookup(const Key& key, bool& found, void* buffer) const override {
    V* out = buffer ? static_cast<V*>(buffer) : &scratch_;
    const std::uint32_t slot = store_.index().find(key);
    found = false;
    if (slot == ShadowRecord<Key>::kNone) {
      *out = V{};
      return out;
    }
    const V* v = store_.value(slot, *out);
    found = v != nullptr;
    if (!found) *out = V{};
    return out;
  }
  // The value of `key` read straight from the shared files, past the local index.
  const V* directLookup(const Key& key, bool& found, void* buffer) const { return reader_.lookup(key, found, buffer); }

  bool first(V& valueOut, IterHint& hint) const override {
    return deliverFrom(store_.index().firstFrom(0), valueOut, hint);
  }
  bool next(const Key& key, V& valueOut, IterHint& hint) const override {
    const Key copy = key;
    return deliverFrom(store_.index().after(copy), valueOut, hint);
  }

  // Sets the number of local records (see KeyShadowStore::resize).
  void resize(std::uint64_t count) { store_.resize(count); }

  void keyChangedIs(typename KeyShadowStore<V>::Callback callback) { store_.keyChangedIs(std::move(callback)); }
  void keyRemovedIs(typename KeyShadowStore<V>::Callback callback) { store_.keyRemovedIs(std::move(callback)); }

  VersionAnchor getCacheVersionAnchor() const noexcept { return reader_.getCacheVersionAnchor(); }
  bool validateVersionAnchor(const VersionAnchor& anchor) const { return reader_.validateVersionAnchor(anchor); }
  const Reader::Counters& readerCounters() const noexcept { return reader_.readerCounters(); }

  std::uint32_t members() const override { return store_.index().occupied(); }
  std::uint32_t capacity() const override { return reader_.capacity(); }
  std::uint32_t localCapacity() const { return store_.localCapacity(); }
  std::uint32_t buckets() const override { return store_.index().numBuckets(); }
  std::uint32_t minSize() const override { return 0; }
  std::uint32_t maxSize() const override { return reader_.maxSize(); }
  EndpointType type() const override { return EndpointType::shadow; }
  std::uint32_t mountStatus() const override { return initialized_ ? 1 : 0; }
  std::string rootPath() const override { return reader_.rootPath(); }
  std::string ploomName() const override { return reader_.ploomName(); }
  bool validate() override { return initialized_; }
  bool validateFiles() override { return reader_.validateFiles(); }
  void cleanup() override {}
  void detach(bool force) override {
    ORVEL_TRACE(dh_, 2, "PloomShadow", "detach force:{}", force);
    if (!initialized_) {
      ORVEL_TRACE(dh_, 5, "PloomShadow", "already detached");
      return;
    }
    if (asyncFlush_) {
      if (!force) {
        Orvel::fmassert("force", __FILE__, "PloomShadow", __LINE__,
                        "expected only forced detach during asynchronous flush");
      }
      if (mode_ != SyncerMode::flush) {
        Orvel::fmassert("mode_ == SyncerMode::flush", __FILE__, "PloomShadow", __LINE__,
                        "expected Syncer in flush mode during asynchronous flush");
      }
    }
    store_.disable();
    reader_.detach(force);
    initialized_ = false;
    asyncFlush_ = false;
    mode_ = SyncerMode::sync;
  }

  const KeyShadowStore<V>& store() const noexcept { return store_; }
  const PloomReader<V>& reader() const noexcept { return reader_; }

 private:
  // The local index starts empty for the files the reader has now.
  void startOver() {
    seed_ = reader_.seed();
    attachment_ = reader_.attachments();
    store_.disable();
    store_.initialize();
  }

  // What the transport polls: the slots the reader maps now, their version
  // words and the slot table's generation.
  Brask::BraskReader::Source transportSource() {
    return Brask::BraskReader::Source{
        [this] { return reader_.capacity(); },
        [this](std::uint32_t slot) { return SlotLink::read(reader_.slotTable().slot(slot)).version; },
        [this] { return reader_.connected() ? SlotHeader::countPair(reader_.slotTable().base()).version : 0; }};
  }

  // Skips records whose value cannot be read any more (removed meanwhile).
  bool deliverFrom(std::uint32_t slot, V& valueOut, IterHint& hint) const {
    for (; slot != ShadowRecord<Key>::kNone; slot = store_.index().next(slot)) {
      if (store_.value(slot, valueOut)) {
        hint = IterHint{0, slot, 0};
        return true;
      }
    }
    valueOut = V{};
    return false;
  }

  const Orvel::Platform::DebugHandler& dh_;
  PloomReader<V> reader_;
  std::uint32_t seed_ = 0;
  std::uint32_t attachment_ = 0;
  KeyShadowStore<V> store_;
  Brask::BraskReader brask_;
  SyncerMode mode_ = SyncerMode::sync;
  bool asyncFlush_ = false;
  bool synced_ = false;
  bool initialized_ = false;
  mutable V scratch_{};
};

}  // namespace Ploom
