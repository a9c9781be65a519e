// Ploom::PloomReader: a collection read from another process.
//
// It maps the writer's bucket and slot files read-only and answers look-ups
// and iteration straight from shared memory through the reader hash map. Every
// read runs inside a resize retry: when the hash map reports an inconsistency
// or the files were re-mapped during the read (the writer grew or shrank
// them, or re-formatted the collection), the reader re-maps and repeats; a
// miss or an iteration step is returned only when no re-map happened while it
// was obtained. A hit (a look-up that found its key, an occupied slot read by
// index) validates itself and is returned without that check: see withRetry.
// After every operation the reader checks the slot file's retired mark, and
// after a miss or an iteration step the copy of the slot-count generation;
// both sit on a header line the writer stores to only when it formats or
// retires the file or changes the slot count, so that while a writer is busy
// they stay in the reader's cache. The reader never writes the shared files.
//
// Attaching. The bucket file is mapped first, then the slot file's header.
// Only a file whose header is complete (the "formatted" flag, set last by the
// writer) and not retired is read. A re-format unlinks the old bucket file
// before it creates the new slot file, so a reader that mapped the old bucket
// file and then the new slot file finds the bucket file no longer at its path
// and does not use the pair: it attaches again later. While the files are
// replaced, a reader has nothing to read.
//
// Detached. A reader that is detached (detach(), or a collection that went
// away and has not come back yet) reports every key as not found and
// iterates nothing; it never throws for it. One that detach() detached stays
// so until initialize(); one whose collection went away attaches again at
// its next read when the writer's new files are there.
//
// The last slot read. Every consistent slot read records the slot's version
// and place (Ploom::LastSlotRead); getCacheVersionAnchor() hands that out, and
// validateVersionAnchor() tells later, without reading the value again,
// whether that slot still holds what was read then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Mem/OrlRootPath.h"
#include "Mem/Util.h"
#include "NvToggles/Toggles.h"
#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "Orvel/Time.h"
#include "Ploom/PloomInterface.h"
#include "Ploom/StorePoint.h"
#include "PloomCore/BucketReader.h"
#include "PloomCore/Errors.h"
#include "PloomCore/ReaderCounters.h"
#include "PloomCore/ReaderHashMap.h"
#include "PloomCore/SlotReaderTable.h"
#include "SharedMem/PalvoFile.h"

namespace Ploom {

// Where a value a reader returned came from, to tell later whether it is
// still current: the slot's version and offset, and the slot table's
// generation and attachment when it was read.
struct VersionAnchor {
  std::uint32_t version = 0;
  std::uint32_t offset = LastSlotRead::kNoOffset;
  std::uint32_t generation = 0;
  std::uint32_t attachment = 0;
};

template <CollectionValue V>
class PloomReader final : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;

  PloomReader(const Orvel::Platform::DebugHandler& dh, const std::string& collectionPath, std::string name)
      : dh_(dh),
        name_(std::move(name)),
        rootPath_(collectionPath),
        buckets_(rootPath_.path()),
        slots_(dh, rootPath_.path()),
        map_(dh, buckets_, slots_, &seed_, &counters_, &lastRead_) {
    static const bool fullCoreDump = NvToggles::getToggleState("FullCoreDump", "Ploom.json", true);
    (void)fullCoreDump;
    slots_.onResizeIs([this](const void* oldBase) {
      if (lastRead_.base == oldBase) lastRead_.base = slots_.base();
      ORVEL_TRACE(dh_, 3, "PloomReader", "{}", SlotHeaderCommon::toString(slots_.base()));
    });
  }

  // Attaches and validates the files; false (after a level-0 trace) when the
  // collection is not there or not valid, so the caller can try later.
  bool initialize(const std::string& /*path*/) override {
    if (!Mem::Atomics::checkCpuSupport()) {
      PLOOM_THROW(Orvel::InvalidInitializeException, dh_, "PloomReader", "Hardware does not support Atomics");
    }
    detached_ = false;
    if (initialized_) return true;
    return attachFiles();
  }

  const V* lookup(const Key& key, bool& found, void* buffer) const override {
    V* out = buffer ? static_cast<V*>(buffer) : &scratch_;
    found = false;
    return withRetry([&] [[gnu::always_inline]] { return map_.lookup(key, found, out); }, [&] { found = false; },
                     [&] {
                       found = false;
                       *out = V{};
                       return static_cast<const V*>(out);
                     },
                     [&](const V*) { return found; });
  }

  bool first(V& valueOut, IterHint& hint) const override {
    const bool found = withRetry([&] { return map_.first(0, valueOut, hint); }, [&] { valueOut = V{}; },
                                 [] { return false; }, kNeverSelfValidating);
    if (!found) valueOut = V{};
    return found;
  }

  bool next(const Key& keyIn, V& valueOut, IterHint& hint) const override {
    const Key key = keyIn;  // valueOut may hold it
    const bool found = withRetry([&] [[gnu::always_inline]] { return map_.next(key, valueOut, hint); },
                                 [&] { hint.bucket = SlotLink::kNothing; },  // the slow path after a re-map
                                 [] { return false; }, kNeverSelfValidating);
    if (!found) lastRead_.reset();
    return found;
  }

  // The value of slot `index` into `out`; true when the slot is occupied.
  bool getValue(std::uint32_t index, V& out) const {
    return withRetry(
        [&] {
          if (index >= slots_.numSlots())
            PloomCore::ReaderHashMapCommon::throwOutOfRangeIndex(index, slots_.numSlots());
          std::uint32_t rhash;
          return map_.consistentRead(index, out, rhash).occupied();
        },
        [] {}, [] { return false; }, [](bool occupied) { return occupied; });
  }

  // Re-maps what the writer resized or replaced; true when anything changed
  // (also when the collection went away: the reader is then detached).
  [[gnu::always_inline]] bool doResize() const {
    if (!initialized_) return false;
    if (retiredUnder()) return true;
    bool changed = slots_.generationMoved() && slots_.doResize();
    if (static_cast<std::uint32_t>(buckets_.countPair()) != buckets_.generation()) changed |= buckets_.remap();
    return changed;
  }

  VersionAnchor getCacheVersionAnchor() const noexcept {
    return VersionAnchor{lastRead_.version,
                         lastRead_.base == slots_.base() ? lastRead_.offset : LastSlotRead::kNoOffset,
                         slots_.generation(), attachments_};
  }
  // Whether the slot `anchor` names still holds the value read then: same
  // files, same slot table, same version.
  bool validateVersionAnchor(const VersionAnchor& anchor) const {
    if (!initialized_ || anchor.offset == LastSlotRead::kNoOffset || anchor.attachment != attachments_ ||
        anchor.generation != slots_.generation()) {
      return false;
    }
    if (SlotHeader::countPair(slots_.base()).version != anchor.generation) return false;
    if (anchor.offset + sizeof(SlotLink) > slots_.file().shm().mappedSize()) return false;
    return SlotLink::read(slots_.base() + anchor.offset).version == anchor.version;
  }
  // Forgets the last slot read (its value was not what the caller returned).
  void lastSlotReadReset() const noexcept { lastRead_.reset(); }
  const LastSlotRead& lastSlotRead() const noexcept { return lastRead_; }

  std::uint32_t members() const override {
    return initialized_ ? SlotHeader::word(slots_.base(), SlotHeader::kOccupied) : 0;
  }
  std::uint32_t capacity() const override { return slots_.numSlots(); }
  std::uint32_t buckets() const override { return buckets_.numBuckets(); }
  std::uint32_t minSize() const override { return 0; }
  std::uint32_t maxSize() const override { return initialized_ ? SlotHeaderCommon::maxSlots(slots_.base()) : 0; }
  EndpointType type() const override { return EndpointType::reader; }
  std::uint32_t mountStatus() const override { return initialized_ ? 1 : 0; }
  std::uint32_t palvoId() const override { return palvoId_; }
  bool connected() const override { return initialized_; }
  std::string rootPath() const override { return rootPath_.path(); }
  std::string ploomName() const override { return name_; }
  const Reader::Counters& readerCounters() const noexcept { return counters_; }
  // The counter block, for the local shadow that counts into it.
  Reader::Counters& counterBlock() const noexcept { return counters_; }
  std::uint32_t seed() const noexcept { return seed_; }
  // How often this reader attached files (a new attachment: new files).
  std::uint32_t attachments() const noexcept { return attachments_; }
  const SlotReaderTable<V>& slotTable() const noexcept { return slots_; }
  const PloomCore::BucketReader& bucketReader() const noexcept { return buckets_; }

  // Detaches from the files; reads find nothing until initialize().
  void detach(bool) override {
    detachFiles();
    detached_ = true;
  }
  bool validate() override { return initialized_; }
  bool validateFiles() override {
    std::string err;
    return initialized_ && slots_.validate(palvoId_, err);
  }
  void cleanup() override {}

 private:
  // Runs `op`, repeating it while the files were re-mapped under it.
  // `notAttached()` is the answer when there are no files to read.
  //
  // A result for which `selfValidating(result)` holds (a look-up hit, an
  // occupied slot read) is returned without reading the slot-count pair or
  // the bucket count: the slot it came from was read inside its seqlock,
  // reached through links validated after the read, in a mapping that stays
  // inside a file that never shrinks, and every occupied slot that holds a
  // key holds that key's current value (also during a compaction move). What
  // that leaves open is a slot cut and added again during the call: its
  // version starts over and may come back to the one read, so that the key
  // read first and the value copied after it belong to two lives of the slot.
  // The copy of the slot-count generation tells (it moves before a cut), so
  // a hit checks it and the retired mark, both on the header line the writer
  // leaves alone while it writes entries. Every other result (a miss, an
  // iteration step) is returned only when neither file was re-mapped under it.
  template <class Op, class Reset, class NotAttached, class SelfValidating>
  [[gnu::always_inline]] auto withRetry(Op&& op, Reset&& reset, NotAttached&& notAttached,
                                        SelfValidating&& selfValidating) const {
    if (!initialized_ && (detached_ || !const_cast<PloomReader*>(this)->attachFiles())) return notAttached();
    while (true) {
      try {
        auto result = op();
        if (!selfValidating(result)) {
          if (!doResize()) return result;
        } else if (!retiredUnder()) {
          // A copy ahead of a count not yet published: nothing was cut yet.
          if (!slots_.generationMoved() || !doResize()) return result;
        }
      } catch (const Orvel::CorruptionDetectedException&) {
        if (!doResize()) throw;
      }
      if (!initialized_) return notAttached();  // the collection went away under the read
      counters_.inc(Reader::Counters::resizeRetries);
      reset();
    }
  }
  static constexpr auto kNeverSelfValidating = [](bool) { return false; };

  // Whether the writer retired the slot file (a re-format or a cleanup): the
  // reader then attaches the new files, or stays detached until they are there.
  bool retiredUnder() const {
    if (!slots_.retiredMarked()) return false;
    reattach();
    return true;
  }

  // Maps and checks both files; false, with a level-0 trace, when they are not
  // (yet) a complete pair of one collection.
  bool attachFiles() {
    auto fail = [&](const char* what) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "{}", what);
      detachFiles();
      return false;
    };
    std::string reason;
    if (!buckets_.attach(reason)) return fail("failed to attach to buckets");
    PLOOM_READER_POINT(bucketsAttached, 0);
    if (!slots_.attach()) return fail("failed to attach to slots");
    PLOOM_READER_POINT(slotsAttached, 0);
    // The bucket file must still be the one at the path: a re-format unlinks
    // it before it creates the slot file just mapped.
    if (buckets_.replaced()) return fail("failed to validate buckets");
    // The flags' acquire load orders the header reads below after the
    // writer's stores that completed it.
    if (!slots_.formatted() || slots_.retired()) return fail("failed to validate slots");
    const std::optional<SharedMem::PalvoId> palvo = SharedMem::PalvoFile(rootPath_.file("palvo")).read();
    if (!palvo) return fail("failed to read palvo file");
    palvoId_ = *palvo;
    std::string err;
    if (!slots_.validate(palvoId_, err)) return fail("failed to validate slots");
    seed_ = SlotHeader::word(slots_.base(), SlotHeader::kSeed);
    try {
      slots_.doResize();
    } catch (const Orvel::Exception& e) {
      return fail("failed to validate slots");
    }
    initialized_ = true;
    ++attachments_;
    ORVEL_TRACE(dh_, 1, "PloomReader", "success {} capacity:{} palvoId:{} mtime:{} delay:{} event:{}", rootPath_.path(),
                capacity(), palvoId_, Orvel::time(), 0, "attach");
    return true;
  }

  // The collection was re-formatted: attach its new files, or stay detached
  // until they are there.
  void reattach() const {
    auto* self = const_cast<PloomReader*>(this);
    self->detachFiles();
    counters_.inc(Reader::Counters::reattaches);
    self->attachFiles();
  }

  void detachFiles() {
    buckets_.detach();
    slots_.detach();
    lastRead_.reset();
    initialized_ = false;
  }

  const Orvel::Platform::DebugHandler& dh_;
  std::string name_;
  Mem::OrlRootPath rootPath_;
  std::uint32_t seed_ = 0;
  mutable PloomCore::BucketReader buckets_;
  mutable SlotReaderTable<V> slots_;
  mutable Reader::Counters counters_;
  mutable LastSlotRead lastRead_;
  PloomCore::ReaderHashMap<V> map_;
  SharedMem::PalvoId palvoId_ = 0;
  std::uint32_t attachments_ = 0;
  bool initialized_ = false;
  bool detached_ = false;
  mutable V scratch_{};
};

}  // namespace Ploom
