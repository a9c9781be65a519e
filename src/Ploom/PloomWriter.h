// Ploom::PloomWriter: the one process that owns and modifies a collection.
//
// It creates or re-attaches the collection's files under the root directory
// (slot file, bucket file, "owner", "palvo"), validates them and re-formats
// them (wipes and rebuilds empty) when they cannot be trusted, and performs
// every modification: write, remove, the two-step direct write, mark-and-sweep
// flags, slot compaction, detach and file removal.
//
// Crash safety: every modification runs inside a critical section, marked by
// bit 0 of the slot header's runtime flags, set before the first store and
// cleared after the last. A writer that dies inside one leaves the bit set;
// the next writer's validation fails on it and re-formats the collection. A
// writer that dies outside one leaves a valid collection. A writer that dies
// while formatting a file or between retiring a file and unlinking it leaves a
// file without the "formatted" flag or with the "retired" flag, which the next
// writer re-formats as well (SlotWriterTable.h). Table-full and
// resource errors leave the critical section closed; other errors (structural
// corruption) leave it open, so the collection is re-formatted next time.
//
// Value-write protocol (a seqlock in the slot's version word): the old value
// and reversed hash go to the header's lookaside image, version + 2 (bit 1
// set: "being rewritten"), release fence, the value's words stored relaxed,
// then version = (version + 2) | 1 with a release store. A reader that sees
// bit 1 set, or a version that changed while it copied, retries or takes the
// lookaside image.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <unistd.h>

#include <fmt/format.h>

#include "Mem/OrlRootPath.h"
#include "Mem/Util.h"
#include "Mem/WriterLock.h"
#include "NvToggles/Toggles.h"
#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "PloomCore/Counters.h"
#include "PloomCore/Errors.h"
#include "Ploom/MapDescriptor.h"
#include "Ploom/PloomInterface.h"
#include "PloomCore/SlotWriterTable.h"
#include "Ploom/Util.h"
#include "Ploom/Validator.h"
#include "PloomCore/WriterHashMap.h"
#include "SharedMem/OwnerFile.h"
#include "SharedMem/PalvoFile.h"

namespace Ploom {

inline constexpr const char* kCorruptionFile = "corruption-detected";

template <CollectionValue V>
class PloomWriter final : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;
  using Traits = ValueTraits<V>;
  using Layout = SlotLayout<V>;
  using Notifier = std::function<void(bool)>;
  using PloomInterface<V>::criticalTaskCheck_;

  PloomWriter(const Orvel::Platform::DebugHandler& dh, const std::string& collectionPath, MapDescriptor descriptor,
              std::string name, Notifier notifier = {})
      : dh_(dh),
        descriptor_(descriptor),
        name_(std::move(name)),
        rootPath_(collectionPath),
        notifier_(std::move(notifier)),
        slots_(dh, name_, descriptor.local ? std::string() : rootPath_.path(), descriptor.capacity,
               descriptor.fixedSize, descriptor.shrinkSlots, &counters_),
        map_(slots_, PloomCore::HashMapContext{&dh, &seed_, &counters_, [this] { return criticalTaskCheck_; }, name_},
             descriptor.local ? std::string() : rootPath_.path(), descriptor.shrinkBuckets),
        writerLock_(rootPath_.path()),
        ownerFile_(rootPath_.file("owner")),
        palvoFile_(rootPath_.file("palvo")) {
    criticalTaskCheck_ = descriptor.criticalTaskCheck;
  }

  ~PloomWriter() override {
    if (initialized_) detach(false);
  }

  // Attaches as the collection's only writer. Throws
  // Orvel::InvalidInitializeException when another writer owns it.
  bool initialize(const std::string& /*name*/) override {
    if (!descriptor_.local && !Mem::Atomics::checkCpuSupport()) {
      ORVEL_TRACE(dh_, 0, "PloomWriter", "Hardware does not support Atomics");
      throw Orvel::InvalidInitializeException("Hardware does not support Atomics");
    }
    if (initialized_) return true;
    attach();
    initialized_ = true;
    return true;
  }

  void attach() {
    if (descriptor_.local) {
      attachLocal();
      return;
    }
    rootPath_.create();
    ownerFile_.lock();
    try {
      writerLock_.acquireWriterLock(ownerFile_.path());
      const SharedMem::WirraInfo wirraInfo = writerLock_.wirraInfo();
      const std::optional<SharedMem::PalvoId> stored = palvoFile_.read();
      palvoId_ = stored ? *stored : SharedMem::newPalvoId();
      std::string err;
      const bool ownerValid = ownerFile_.read(err);
      if (!ownerValid) {
        ORVEL_TRACE(dh_, 1, "PloomWriter", "owner file validation failed, dumping owner file string: {}",
                    ownerFile_.toString());
      }
      ownerFile_.typeNameIs(V::kTypeName);
      ownerFile_.shmTypeIs(1);
      int r = attachAndValidate(!ownerValid, wirraInfo);
      if ((r != 1 && r != 2) || (r == 1 && ownerValid && stored)) {
        ORVEL_TRACE(dh_, 1, "PloomWriter", "expectReattach: {}, attachResult: {}", ownerValid && stored.has_value(),
                    r);
        PLOOM_ASSERT(ownerValid, "failed to attach to and validate new files");
        r = attachAndValidate(true, wirraInfo);
      }
      std::remove(rootPath_.file(kCorruptionFile).c_str());
      attached_ = true;
      palvoFile_.write(palvoId_);
      applyCoreDumpMode();
      ORVEL_TRACE(dh_, 1, "PloomWriter", "success {} capacity:{} palvoId:{} mtime:{} wirraInfo:{}", rootPath_.path(),
                  capacity(), palvoId_, Orvel::time(), wirraInfo.toString());
    } catch (...) {
      ownerFile_.unlock();
      writerLock_.release();
      throw;
    }
    ownerFile_.unlock();
  }

  // A local writer lives in process-local memory: no files, lock, owner or
  // socket; its restart identity comes from the process id.
  void attachLocal() {
    palvoId_ = static_cast<SharedMem::PalvoId>(getpid());
    const int r = attach(palvoId_);
    PLOOM_ASSERT(r == 1 && validate(palvoId_, false), "local collection {} failed to attach: {}", name_, r);
    attached_ = true;
    ORVEL_TRACE(dh_, 1, "PloomWriter", "success local {} capacity:{} palvoId:{}", name_, capacity(), palvoId_);
  }

  // Attaches both files: the results or-ed (1 created, 2 attached existing;
  // anything else asks for a re-format).
  int attach(std::uint32_t palvoId) {
    counters_ = Writer::Counters{};
    const int slotResult = slots_.attach(palvoId, seed_);
    PLOOM_ASSERT(slotResult == 1 || slotResult == 2 || slotResult == 8, "Invalid slot attach");
    ORVEL_TRACE(dh_, 2, "PloomWriter", "slotsAttached:{}", slotResult);
    const int mapResult = map_.attach(palvoId);
    PLOOM_ASSERT(mapResult == 1 || mapResult == 2 || mapResult == 8, "Invalid map attach");
    ORVEL_TRACE(dh_, 2, "PloomWriter", "mapAttached:{}", mapResult);
    ORVEL_TRACE(dh_, 2, "PloomWriter", "braskAttached:{}", true);
    return slotResult | mapResult;
  }

  int attachAndValidate(bool reinit, const SharedMem::WirraInfo& wirraInfo) {
    if (reinit) {
      ORVEL_TRACE(dh_, 1, "PloomWriter", "{}", rootPath_.path());
      ++restartGeneration_;
      ownerFile_.wipedIs(true);
      slots_.cleanup();
      map_.cleanup();
    }
    const int r = attach(palvoId_);
    if (r == 1 || r == 2) {
      if (validate(palvoId_, false)) {
        ownerFile_.wirraInfoIs(wirraInfo);
        ownerFile_.write();
        std::string err;
        PLOOM_ASSERT(ownerFile_.validate(err), "wrote to owner file but validation failed: {}", err);
        ownerWritten_ = true;
        if (reinit) ORVEL_TRACE(dh_, 1, "PloomWriter", "re-formatted successfully");
        return r;
      }
      if (reinit) throw Orvel::InvalidInitializeException("failed validation");
      if (Util::runningOnPhysicalDut() && Util::strictValidation()) {
        // The files are kept for inspection: the next writer must not trust
        // them as its own (no restart identity), and a core dump shows them.
        palvoFile_.remove();
        slots_.file().shm().coreDumpModeIs(0);
        map_.bucketWriter().file().shm().coreDumpModeIs(0);
        Orvel::fmassert("strictValidation", __FILE__, __func__, __LINE__,
                        "failed initial validation of {} after re-attaching", rootPath_.path());
      }
      ORVEL_TRACE(dh_, 0, "PloomWriter", "failed to validate existing files");
      ORVEL_TRACE(dh_, 0, "PloomWriter", "{}", dumpHeaders());
      ORVEL_TRACE(dh_, 0, "PloomWriter", "owner file: {}", ownerFile_.toString());
      return 0;
    }
    PLOOM_ASSERT(!reinit, "expected successful attach post-wipe");
    ORVEL_TRACE(dh_, 0, "PloomWriter", "failed to attach to existing files");
    return r;
  }

  bool validate() override { return validate(palvoId_, !descriptor_.local); }
  bool validate(std::uint32_t palvoId, bool checkOwner) {
    Validator<V> validator(dh_, slots_, map_, name_);
    bool ok = validator.validate(palvoId);
    lastValidationError_ = validator.error();
    if (ok && checkOwner) {
      std::string err;
      ok = ownerFile_.validate(err);
      if (!ok) lastValidationError_ = err;
    }
    return ok;
  }
  const std::string& lastValidationError() const noexcept { return lastValidationError_; }

  bool validateFiles() override {
    std::string err;
    if (descriptor_.local) return map_.validate(palvoId_, err) && slots_.validate(palvoId_, err);
    return map_.validate(palvoId_, err) && slots_.validate(palvoId_, err) && palvoFile_.validate(palvoId_, err) &&
           ownerFile_.validate(err);
  }

  // A modification while a direct write is pending is a bug: the process ends.
  // `subject` describes what was being modified; it runs only on failure.
  template <class Describe>
  void assertNoPendingDirect(const char* action, Describe subject) const {
    PLOOM_ASSERT(directSlot_ == SlotLink::kNothing,
                 "unbalanced directSlot:{} containing value:{} when {}:{} - Make sure the DirectIs/Commit are "
                 "properly paired!",
                 directSlot_, describeSlot(directSlot_), action, subject());
  }

  // Inserts `value` or, when its key exists and `overwrite` is set, replaces
  // the stored value in place. Returns the stored value.
  const V* write(const V& value, bool overwrite) override {
    const Key& key = Traits::key(value);
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("writing value", [&] { return describe(value); });
    slots_.enterCriticalSection(name_);
    std::uint32_t target;
    try {
      PloomCore::LinkRef prev, curr;
      if (!map_.find(key, bucket, prev, curr, h)) {
        target = slots_.alloc(reverseBits(h));
        map_.link(prev, target, [&](std::uint32_t s) { writeValue(s, value); });
        ORVEL_TRACE(dh_, 9, "PloomWriter", "new {} bucket:{} slot:{} next:{}", describe(value), bucket, target,
                    SlotLink::read(slots_[target]).link);
        if (members() > map_.growThreshold()) map_.growBuckets();
      } else {
        target = curr.index;
        ORVEL_TRACE(dh_, 9, "PloomWriter", "existing {} bucket:{} slot:{} next:{}", describe(value), bucket, target,
                    SlotLink::read(slots_[target]).link);
        if (overwrite) writeValue(target, value);
      }
    } catch (const TableFullException&) {
      throw;  // alloc closed the critical section
    } catch (const Orvel::MemoryResourceException&) {
      slots_.leaveCriticalSection();
      throw;
    }
    slots_.leaveCriticalSection();
    return map_.valueAt(target);
  }

  // Removes `key`, copying its value out. False (nothing changed) when absent.
  bool remove(const Key& key, V& valueOut) override {
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("removing key", [&] { return describeKey(key); });
    PloomCore::LinkRef prev, curr;
    if (!map_.find(key, bucket, prev, curr, h)) {
      ORVEL_TRACE(dh_, 9, "PloomWriter", "{} bucket:{} not found", describeKey(key), bucket);
      return false;
    }
    slots_.enterCriticalSection(name_);
    try {
      const std::uint32_t s = curr.index;
      valueOut = *map_.valueAt(s);
      map_.unlink(prev, s);
      const SlotLink link = SlotLink::read(slots_[s]);
      SlotLink::write(slots_[s], SlotLink{(link.version + SlotLink::kVersionStep) & ~SlotLink::kOccupied, link.link});
      slots_.pushFree(s);
      ORVEL_TRACE(dh_, 9, "PloomWriter", "{} bucket:{} slot:{}", describeKey(key), bucket, s);
      if (slots_.occupied() < slots_.shrinkThreshold() / 2) doMaybeShrinkSlots(slots_.shrinkThreshold());
      if (map_.shrinkBucketsEnabled() && members() < map_.shrinkThreshold()) map_.shrinkBuckets();
    } catch (const Orvel::MemoryResourceException&) {
      slots_.leaveCriticalSection();
      throw;
    }
    slots_.leaveCriticalSection();
    return true;
  }

  // First step of a two-step write: the value is placed (in a new unlinked
  // slot, or in the lookaside image for an existing key) and the critical
  // section stays entered until directCommit().
  void directWrite(const V& value) override {
    const Key& key = Traits::key(value);
    const std::uint32_t h = map_.hash(key);
    const std::uint32_t bucket = map_.bucketOf(h);
    assertNoPendingDirect("modifying key", [&] { return describeKey(key); });
    slots_.enterCriticalSection(name_);
    PloomCore::LinkRef prev, curr;
    const bool found = map_.find(key, bucket, prev, curr, h);
    std::uint32_t s;
    try {
      if (!found) {
        s = slots_.alloc(reverseBits(h));
        Words::storeRelaxed(slots_[s] + Layout::kValueOffset, &value, sizeof(V));
      } else {
        s = curr.index;
        std::atomic_thread_fence(std::memory_order_release);  // as in writeValue
        Words::storeRelaxed(slots_.lookaside() + Layout::kValueOffset, &value, sizeof(V));
      }
    } catch (const Orvel::MemoryResourceException&) {
      slots_.leaveCriticalSection();
      throw;
    }
    directNew_ = !found;
    directPrev_ = prev;
    directSlot_ = s;
    ++counters_.directWrites;
    ORVEL_TRACE(dh_, 9, "PloomWriter", "{}{} bucket:{} slot:{} next:{}", found ? "existing " : "new ", describe(value),
                bucket, s, SlotLink::read(slots_[s]).link);
  }

  void directCommit() override {
    ORVEL_TRACE(dh_, 9, "PloomWriter", "slot: {}", directSlot_);
    PLOOM_ASSERT(directSlot_ != SlotLink::kNothing,
                 "not in direct mode! Make sure the DirectIs/Commit are properly paired!");
    const std::uint32_t s = directSlot_;
    std::uint8_t* slot = slots_[s];
    if (directNew_) {
      const SlotLink old = SlotLink::read(slot);
      const std::uint32_t successor = SlotLink::read(map_.at(directPrev_)).link;
      SlotLink::write(slot, SlotLink{(old.version + SlotLink::kVersionStep) | SlotLink::kOccupied,
                                     (successor & ~SlotLink::kMark) | (old.link & SlotLink::kMark)});
      // Publishes the new entry: its link and value are complete.
      SlotLink::relink(map_.at(directPrev_), s);
    } else {
      std::uint8_t* lookaside = slots_.lookaside();
      Words::copyRelaxed(lookaside + Layout::kRhashOffset, slot + Layout::kRhashOffset, 4);
      const SlotLink old = SlotLink::read(slot);
      SlotLink::write(slot, SlotLink{old.version + 2, old.link});
      std::atomic_thread_fence(std::memory_order_release);
      Words::copyRelaxed(slot + Layout::kValueOffset, lookaside + Layout::kValueOffset, sizeof(V));
      // Publishes the rewritten value.
      SlotLink::write(slot, SlotLink{old.version + 4, old.link});
    }
    directSlot_ = SlotLink::kNothing;
    ++counters_.directCommits;
    try {
      if (directNew_ && members() > map_.growThreshold()) map_.growBuckets();
    } catch (const Orvel::MemoryResourceException&) {
      slots_.leaveCriticalSection();
      throw;
    }
    directNew_ = false;
    slots_.leaveCriticalSection();
  }

  const V* lookup(const Key& key, bool& found, void* /*buffer*/) const override { return map_.lookup(key, found); }
  bool first(V& valueOut, IterHint& hint) const override { return map_.first(0, valueOut, hint); }
  bool next(const Key& key, V& valueOut, IterHint& hint) const override { return map_.next(key, valueOut, hint); }

  // Reads (op read), sets (op set) or clears (any other op) the mark of `key`'s slot.
  bool markAndSweepFlag(const Key& key, MarkAndSweepOperation op) override {
    const std::uint32_t h = map_.hash(key);
    PloomCore::LinkRef prev, curr;
    if (!map_.find(key, map_.bucketOf(h), prev, curr, h)) return false;
    std::uint8_t* slot = slots_[curr.index];
    const SlotLink link = SlotLink::read(slot);
    if (op == MarkAndSweepOperation::read) return link.marked();
    const std::uint32_t marked = op == MarkAndSweepOperation::set ? (link.link | SlotLink::kMark)
                                                                  : (link.link & ~SlotLink::kMark);
    SlotLink::write(slot, SlotLink{link.version + SlotLink::kVersionStep, marked});
    return true;
  }

  // Compacts the slot file when few slots are used.
  void shrink() {
    const std::uint32_t threshold =
        slots_.occupied() < slots_.shrinkThreshold() / 2 ? slots_.shrinkThreshold() : 0;
    if (threshold == 0) return;
    slots_.enterCriticalSection(name_);
    doMaybeShrinkSlots(threshold);
    slots_.leaveCriticalSection();
  }

  // Moves every entry above the target size into a free slot below it and
  // cuts the file there. Runs inside the caller's critical section.
  void doMaybeShrinkSlots(std::uint32_t threshold) {
    if (threshold == 0) return;
    const std::uint32_t occupied = slots_.occupied();
    std::uint32_t target = occupied == 0 ? 0 : std::uint32_t{1} << (std::bit_width(occupied) - 1 + 2);
    target = std::max(target, slots_.minSlots());
    ORVEL_TRACE(dh_, 5, "PloomWriter", "threshold:{} shrinkThreshold:{}{}", target, threshold,
                target < threshold ? " SUPER SHRINK!" : "");
    if (target >= slots_.numSlots()) return;
    slots_.purgeFreeSlots(target);
    typename PloomCore::WriterHashMap<V>::Yield yield(map_);
    for (std::uint32_t from = slots_.numSlots(); from-- > target;) {
      const SlotLink link = SlotLink::read(slots_[from]);
      if (!link.occupied()) {
        ORVEL_TRACE(dh_, 9, "PloomWriter", "skipping not occupied slot:{}", from);
        continue;
      }
      const Key key = map_.keyOf(from);
      const std::uint32_t h = map_.hash(key);
      PloomCore::LinkRef prev, curr;
      PLOOM_ASSERT(map_.find(key, map_.bucketOf(h), prev, curr, h), "fromSlot:{} key not found", from);
      PLOOM_ASSERT(!(curr == prev), "fromSlot:{} not referenced", from);
      const std::uint32_t to = slots_.move(from);
      ORVEL_TRACE(dh_, 9, "PloomWriter", "moving fromSlot:{} toSlot:{}", from, to);
      // Readers now reach the entry at its new place.
      SlotLink::relink(map_.at(prev), to);
      const SlotLink old = SlotLink::read(slots_[from]);
      SlotLink::write(slots_[from], SlotLink{(old.version + SlotLink::kVersionStep) & ~SlotLink::kOccupied, old.link});
      yield.check();
    }
    slots_.shrink(target);
  }

  void detach(bool /*force*/) override {
    ORVEL_TRACE(dh_, 5, "PloomWriter", "owner:{} localMem_:{} rootPath:{}", ownerWritten_, descriptor_.local,
                rootPath_.path());
    PLOOM_ASSERT(!(directSlot_ != SlotLink::kNothing && directNew_),
                 "unbalanced directSlot:{} containing value:{} - Make sure the DirectIs/Commit are properly paired!",
                 directSlot_, describeSlot(directSlot_));
    if (ownerWritten_ && !descriptor_.local) {
      try {
        std::string err;
        if (ownerFile_.read(err) && Mem::WriterLock::ownerIsMe(ownerFile_.wirraInfo())) {
          ORVEL_TRACE(dh_, 5, "PloomWriter", "clearing wirraInfo");
          ownerFile_.wirraInfoIs({});
          ownerFile_.write();
        }
      } catch (const std::exception& e) {
        ORVEL_TRACE(dh_, 1, "PloomWriter", "ignoring owner file corruption:{}", e.what());
      }
    }
    slots_.detach();
    map_.detach();
    if (!descriptor_.local) writerLock_.release();
    initialized_ = false;
    attached_ = false;
  }

  void cleanup() override {
    slots_.cleanup();
    map_.cleanup();
  }

  void removeFiles() {
    if (descriptor_.local) return;
    ORVEL_TRACE(dh_, 1, "PloomWriter", "removing Ploom files in {}", rootPath_.path());
    std::remove(rootPath_.file(kCorruptionFile).c_str());
    map_.cleanup();
    slots_.cleanup();
    palvoFile_.remove();
    std::remove(rootPath_.file(Mem::Util::Clone::CONTROL_FILENAME).c_str());
    ownerFile_.remove();
    ownerWritten_ = false;
  }

  void handleQuiesced(bool quiesced) { notifier_(quiesced); }

  std::uint32_t members() const override { return slots_.occupied(); }
  std::uint32_t capacity() const override { return slots_.numSlots(); }
  std::uint32_t minSize() const override { return descriptor_.fixedSize ? descriptor_.capacity : slots_.minSlots(); }
  std::uint32_t maxSize() const override { return slots_.maxSlots(); }
  std::uint32_t buckets() const override { return map_.numBuckets(); }
  EndpointType type() const override {
    return descriptor_.local ? EndpointType::temporary : EndpointType::writer;
  }
  std::uint32_t mountStatus() const override { return initialized_ ? 1 : 0; }
  std::uint32_t palvoId() const override { return palvoId_; }
  std::string rootPath() const override { return rootPath_.path(); }
  std::string ploomName() const override { return name_; }
  const Writer::Counters& counters() const noexcept { return counters_; }
  std::uint32_t seed() const noexcept { return seed_; }
  std::uint16_t restartGeneration() const noexcept { return restartGeneration_; }
  bool ownerWritten() const noexcept { return ownerWritten_; }

  std::string dumpHeaders() const {
    if (!slots_.attached()) return "slots: not attached";
    return fmt::format("slots: {} numSlots:{} occupied:{} freeHead:{:#x} runtimeFlags:{:#x}; buckets:{}",
                       SlotHeaderCommon::toString(slots_.base()), slots_.numSlots(), slots_.occupied(),
                       slots_.freeHead(), SlotHeader::runtimeFlags(slots_.base()), map_.numBuckets());
  }

  // For tests and tools in this process.
  SlotWriterTable<V>& slotTable() noexcept { return slots_; }
  PloomCore::WriterHashMap<V>& hashMap() noexcept { return map_; }

 private:
  void writeValue(std::uint32_t s, const V& value) {
    std::uint8_t* slot = slots_[s];
    const SlotLink old = SlotLink::read(slot);
    if (old.occupied()) {
      // Orders every earlier store (the last rewrite's final version above
      // all) before the lookaside stores: a reader that sees new lookaside
      // words then sees that version too, and retries.
      std::atomic_thread_fence(std::memory_order_release);
      std::uint8_t* lookaside = slots_.lookaside();
      Words::copyRelaxed(lookaside + Layout::kValueOffset, slot + Layout::kValueOffset, sizeof(V));
      Words::copyRelaxed(lookaside + Layout::kRhashOffset, slot + Layout::kRhashOffset, 4);
    }
    // Bit 1 set: readers take the lookaside image (published with this store).
    SlotLink::write(slot, SlotLink{old.version + 2, old.link});
    std::atomic_thread_fence(std::memory_order_release);
    Words::storeRelaxed(slot + Layout::kValueOffset, &value, sizeof(V));
    // Publishes the new value: bit 1 clear, occupied.
    SlotLink::write(slot, SlotLink{(old.version + 4) | SlotLink::kOccupied, old.link});
  }

  void applyCoreDumpMode() {
    const int mode = NvToggles::getToggleState("FullCoreDump", "Ploom.json", true) ? 0 : 3;
    slots_.file().shm().coreDumpModeIs(mode);
    map_.bucketWriter().file().shm().coreDumpModeIs(mode);
  }

  std::string describe(const V& value) const;
  std::string describeKey(const Key& key) const;
  std::string describeSlot(std::uint32_t slot) const {
    if (slot == SlotLink::kNothing || slot >= slots_.numSlots()) return "none";
    return describe(*map_.valueAt(slot));
  }

  const Orvel::Platform::DebugHandler& dh_;
  MapDescriptor descriptor_;
  std::string name_;
  Mem::OrlRootPath rootPath_;
  Notifier notifier_;
  Writer::Counters counters_;
  std::uint32_t seed_ = 0;
  SlotWriterTable<V> slots_;
  PloomCore::WriterHashMap<V> map_;
  Mem::WriterLock writerLock_;
  SharedMem::OwnerFile ownerFile_;
  SharedMem::PalvoFile palvoFile_;
  SharedMem::PalvoId palvoId_ = 0;
  std::uint16_t restartGeneration_ = 0;
  std::uint32_t directSlot_ = SlotLink::kNothing;
  PloomCore::LinkRef directPrev_{true, 0};
  bool directNew_ = false;
  bool ownerWritten_ = false;
  bool initialized_ = false;
  bool attached_ = false;
  std::string lastValidationError_;
};

// Values and keys print through their string form when they have one.
template <CollectionValue V>
std::string PloomWriter<V>::describe(const V& value) const {
  if constexpr (requires { value.strep(); }) {
    return value.strep();
  } else {
    return describeKey(Traits::key(value));
  }
}

template <CollectionValue V>
std::string PloomWriter<V>::describeKey(const Key& key) const {
  if constexpr (requires { key.strep(); }) {
    return key.strep();
  } else {
    return "<key>";
  }
}

}  // namespace Ploom
