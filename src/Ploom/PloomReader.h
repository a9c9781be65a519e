// Ploom::PloomReader: a collection read from another process.
//
// It maps the writer's bucket and slot files read-only and answers look-ups
// and iteration straight from shared memory through the reader hash map. Every
// read runs inside a resize retry: when the hash map reports an inconsistency
// or the files were re-mapped during the read (the writer grew or shrank
// them, or re-formatted the collection), the reader re-maps and repeats; a
// result is returned only when no re-map happened while it was obtained. The
// reader never writes the shared files.
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
#include "Ploom/Errors.h"
#include "Ploom/PloomInterface.h"
#include "Ploom/ReaderCounters.h"
#include "Ploom/SlotReaderTable.h"
#include "PloomCore/BucketReader.h"
#include "PloomCore/ReaderHashMap.h"
#include "SharedMem/PalvoFile.h"

namespace Ploom {

template <CollectionValue V>
class PloomReader : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;

  PloomReader(const Orvel::Platform::DebugHandler& dh, const std::string& collectionPath, std::string name)
      : dh_(dh),
        name_(std::move(name)),
        rootPath_(collectionPath),
        buckets_(rootPath_.path()),
        slots_(dh, rootPath_.path()),
        map_(dh, buckets_, slots_, &seed_, &counters_) {
    static const bool fullCoreDump = NvToggles::getToggleState("FullCoreDump", "Ploom.json", true);
    (void)fullCoreDump;
  }

  // Attaches and validates the files; false (after a level-0 trace) when the
  // collection is not there or not valid, so the caller can try later.
  bool initialize(const std::string& /*path*/) override {
    if (!Mem::Atomics::checkCpuSupport()) {
      PLOOM_THROW(Orvel::InvalidInitializeException, dh_, "PloomReader", "Hardware does not support Atomics");
    }
    if (initialized_) return true;
    std::string reason;
    if (!buckets_.attach(reason)) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "failed to attach to buckets");
      return false;
    }
    PLOOM_READER_POINT(bucketsAttached, 0);
    if (!slots_.attach()) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "failed to attach to slots");
      buckets_.detach();
      return false;
    }
    PLOOM_READER_POINT(slotsAttached, 0);
    const std::optional<SharedMem::PalvoId> palvo = SharedMem::PalvoFile(rootPath_.file("palvo")).read();
    if (!palvo) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "failed to read palvo file");
      detachFiles();
      return false;
    }
    palvoId_ = *palvo;
    std::string err;
    if (!slots_.validate(palvoId_, err)) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "failed to validate slots");
      detachFiles();
      return false;
    }
    seed_ = SlotHeader::word(slots_.base(), SlotHeader::kSeed);
    try {
      slots_.doResize();
    } catch (const Orvel::Exception& e) {
      ORVEL_TRACE(dh_, 0, "PloomReader", "failed to validate slots");
      detachFiles();
      return false;
    }
    initialized_ = true;
    ORVEL_TRACE(dh_, 1, "PloomReader", "success {} capacity:{} palvoId:{} mtime:{} delay:{} event:{}", rootPath_.path(),
                capacity(), palvoId_, Orvel::time(), 0, "attach");
    return true;
  }

  const V* lookup(const Key& key, bool& found, void* buffer) const override {
    V* out = buffer ? static_cast<V*>(buffer) : &scratch_;
    return withRetry([&] { return map_.lookup(key, found, out); }, [&] { found = false; });
  }

  bool first(V& valueOut, IterHint& hint) const override {
    const bool found = withRetry([&] { return map_.first(0, valueOut, hint); }, [&] { valueOut = V{}; });
    if (!found) valueOut = V{};
    return found;
  }

  bool next(const Key& keyIn, V& valueOut, IterHint& hint) const override {
    const Key key = keyIn;  // valueOut may hold it
    return withRetry([&] { return map_.next(key, valueOut, hint); },
                     [&] { hint.bucket = SlotLink::kNothing; });  // the slow path after a re-map
  }

  // The value of slot `index` into `out`; true when the slot is occupied.
  bool getValue(std::uint32_t index, V& out) const {
    return withRetry(
        [&] {
          if (index >= slots_.numSlots()) PloomCore::ReaderHashMapCommon::throwOutOfRangeIndex(index, slots_.numSlots());
          std::uint32_t rhash;
          return map_.consistentRead(index, out, rhash).occupied();
        },
        [] {});
  }

  // Re-maps what the writer resized or replaced; true when anything changed.
  bool doResize() const {
    if (!initialized_) {
      reattach();
      return true;
    }
    bool changed = false;
    if (SlotHeader::runtimeFlags(slots_.base()) & SlotHeader::kRetired) {
      reattach();
      return true;
    }
    changed |= slots_.doResize();
    if (static_cast<std::uint32_t>(buckets_.countPair()) != buckets_.generation()) changed |= buckets_.remap();
    return changed;
  }

  std::uint32_t members() const override { return SlotHeader::word(slots_.base(), SlotHeader::kOccupied); }
  std::uint32_t capacity() const override { return slots_.numSlots(); }
  std::uint32_t buckets() const override { return buckets_.numBuckets(); }
  std::uint32_t minSize() const override { return 0; }
  std::uint32_t maxSize() const override { return SlotHeaderCommon::maxSlots(slots_.base()); }
  EndpointType type() const override { return EndpointType::reader; }
  std::uint32_t mountStatus() const override { return initialized_ ? 1 : 0; }
  std::uint32_t palvoId() const override { return palvoId_; }
  bool connected() const override { return initialized_; }
  std::string rootPath() const override { return rootPath_.path(); }
  std::string ploomName() const override { return name_; }
  const Reader::Counters& readerCounters() const noexcept { return counters_; }
  std::uint32_t seed() const noexcept { return seed_; }
  const SlotReaderTable<V>& slotTable() const noexcept { return slots_; }
  const PloomCore::BucketReader& bucketReader() const noexcept { return buckets_; }

  void detach(bool) override {
    detachFiles();
    initialized_ = false;
  }
  bool validate() override { return initialized_; }
  bool validateFiles() override {
    std::string err;
    return initialized_ && slots_.validate(palvoId_, err);
  }
  void cleanup() override {}

 private:
  template <class Op, class Reset>
  auto withRetry(Op&& op, Reset&& reset) const {
    if (!initialized_) reattach();  // a collection that went away may be back
    while (true) {
      try {
        auto result = op();
        if (!doResize()) return result;
      } catch (const Orvel::CorruptionDetectedException&) {
        if (!doResize()) throw;
      }
      counters_.inc(Reader::Counters::resizeRetries);
      reset();
    }
  }

  // The collection was re-formatted: attach its new files.
  void reattach() const {
    auto* self = const_cast<PloomReader*>(this);
    self->detachFiles();
    self->initialized_ = false;
    counters_.inc(Reader::Counters::reattaches);
    if (!self->initialize(name_)) {
      throw Orvel::CorruptionDetectedException(fmt::format("collection {} went away", rootPath_.path()));
    }
  }

  void detachFiles() {
    buckets_.detach();
    slots_.detach();
  }

  const Orvel::Platform::DebugHandler& dh_;
  std::string name_;
  Mem::OrlRootPath rootPath_;
  std::uint32_t seed_ = 0;
  mutable PloomCore::BucketReader buckets_;
  mutable SlotReaderTable<V> slots_;
  mutable Reader::Counters counters_;
  PloomCore::ReaderHashMap<V> map_;
  SharedMem::PalvoId palvoId_ = 0;
  bool initialized_ = false;
  mutable V scratch_{};
};

}  // namespace Ploom
