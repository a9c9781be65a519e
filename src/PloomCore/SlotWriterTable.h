// Ploom::SlotWriterTable: the writer's side of a collection's slot file.
//
// The file is a header (SlotHeader.h) followed by an array of slots
// (SlotLayout.h). Free slots form a singly linked list through their
// links, headed at header byte 568. The table hands out and takes back slots,
// grows the file when the free list runs dry, and compacts and shrinks it.
//
// Invariants (outside a critical section):
//   - every slot is either occupied (reachable from exactly one bucket chain)
//     or on the free list exactly once; occupied count + free-list length =
//     slot count;
//   - free slots hold the default value, and version bit 0 clear.
// Publication order, for readers in other processes:
//   - grow: new slots are initialised before the larger slot count is
//     published at bytes 584-591 ({generation + 1, count}, one store, after
//     the copy of the generation at 388), and the free-list head moves to
//     them after that;
//   - shrink: the smaller count is published first and the mapping cut after
//     (the file keeps its length: readers with the old count stay in bounds);
//   - format (a new file): the common header, the collection's fields, the
//     lookaside image and the free slots, then last the "formatted" runtime
//     flag: a reader reads no seed or count of a file without it;
//   - cleanup (before a re-format): the "retired" runtime flag, then the
//     retired mark (the word readers check after every operation), then the
//     unlink: readers mapping the file see it and attach the new one. A
//     writer that dies between the two leaves the flag, which the next
//     writer's validation rejects: it re-formats, and marks the file then.
// A slot file left retired (its writer died before the unlink) or without the
// "formatted" flag fails the writer's validation and is re-formatted.
// Every shared store goes through Ploom::detail::Words (atomic, release for links and
// counts, relaxed for value words inside the version seqlock).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Mem/SharedMemWrapper.h"
#include "Orvel/DebugHandler.h"
#include "Orvel/Format.h"
#include "Orvel/Time.h"
#include "PloomCore/AttachResult.h"
#include "PloomCore/Counters.h"
#include "PloomCore/Errors.h"
#include "PloomCore/SlotHeader.h"
#include "PloomCore/SlotLayout.h"
#include "PloomCore/ValueTraits.h"

namespace Ploom {

template <CollectionValue V>
class SlotWriterTable {
 public:
  using Layout = SlotLayout<V>;
  static constexpr const char* kFileName = "slots";
  // Link indices have 30 bits: the slot count never exceeds them.
  static constexpr std::uint32_t kMaxIndexableSlots = SlotLink::kIndexMask;

  // An empty root path keeps the slots in process-local memory (a local writer).
  SlotWriterTable(const Orvel::Platform::DebugHandler& dh, std::string collectionName, const std::string& rootPath,
                  std::uint32_t capacity, bool fixedSize, bool shrinkEnabled, Writer::Counters* counters)
      : dh_(dh),
        name_(std::move(collectionName)),
        file_(kFileName, rootPath.empty() ? std::string() : rootPath + "/" + kFileName, Mem::Access::readWrite),
        maxSlots_(capacity),
        minSlots_(fixedSize ? capacity : Layout::kMinSlots),
        counters_(counters),
        fixedSize_(fixedSize),
        shrinkEnabled_(shrinkEnabled) {}

  // Maps the slot file, creating and formatting it when there is none.
  // Returns created, attached or badHeader (an existing header that failed
  // validation; nothing is changed). `seed` receives the collection's hash seed.
  AttachResult attach(std::uint32_t palvoId, std::uint32_t& seed) {
    Mem::SharedMemWrapper& shm = file_.shm();
    if (shm.isOpen()) {
      ORVEL_TRACE(dh_, 5, "SlotWriterTable", "detach");
      shm.close();
    }
    const std::size_t existingSize = shm.exists() ? shm.fileSize() : 0;
    const std::uint64_t minimumSize = *Layout::fileSize(minSlots_);
    std::string reason;
    if (!shm.open(minimumSize, true, reason)) {
      throw Orvel::InvalidInitializeException(
          fmt::format("cannot attach to shmem {} size:{}: {}", shm.path(), minimumSize, reason));
    }
    base_ = static_cast<std::uint8_t*>(shm.base());
    AttachResult result;
    if (existingSize > 0) {
      std::string err;
      if (!validateHeader(dh_, base_, existingSize, palvoId, err)) return AttachResult::badHeader;
      seed = SlotHeader::word(base_, SlotHeader::kSeed);
      const std::uint32_t count = SlotHeader::countPair(base_).link;
      if (!shm.resize(*Layout::fileSize(count), reason)) {
        throw Orvel::MemoryResourceException(
            fmt::format("failed to resize {} to size {} : {}", shm.path(), *Layout::fileSize(count), reason));
      }
      base_ = static_cast<std::uint8_t*>(shm.base());  // the mapping may have moved
      cache();
      ORVEL_TRACE(dh_, 2, "SlotWriterTable", "to existing {}", shm.path());
      result = AttachResult::attached;
    } else {
      seed = static_cast<std::uint32_t>(Orvel::Random::rand64() % 0x7FFFFFFF);
      format(palvoId, seed);
      ORVEL_TRACE(dh_, 2, "SlotWriterTable", "to new file {}", shm.path());
      result = AttachResult::created;
    }
    ORVEL_TRACE(dh_, 3, "SlotWriterTable", "{}", SlotHeaderCommon::toString(base_));
    return result;
  }

  // Ploom::SlotTable::Header::validate: the header of a file of `fileSize` bytes.
  static bool validateHeader(const Orvel::Platform::DebugHandler& dh, const std::uint8_t* base, std::size_t fileSize,
                             std::uint32_t palvoId, std::string& err) {
    auto fail = [&](std::string text) {
      err = std::move(text);
      ORVEL_TRACE(dh, 0, "SlotWriterTable", "{}", err);
      return false;
    };
    if (!SlotHeaderCommon::validate(dh, base, SlotHeader::kCommonSize, fileSize, palvoId, err)) return fail(err);
    if (fileSize < Layout::kHeaderSize) {
      return fail(fmt::format("bad header file size: {} wanted:{}", fileSize, Layout::kHeaderSize));
    }
    const std::uint32_t count = SlotHeader::countPair(base).link;
    const auto size = count <= kMaxIndexableSlots ? Layout::fileSize(count) : std::nullopt;
    if (!size) return fail(fmt::format("bad numSlots: {} message: {}", count, "slot count out of range"));
    if (*size > fileSize) return fail(fmt::format("bad shmem size:{} wanted:{} for {} slots", fileSize, *size, count));
    return true;
  }

  // The writer's check of an attached file: it must be complete, not left
  // inside a critical section and not retired (a writer that died between
  // retiring a file and unlinking it leaves it at the path).
  bool validate(std::uint32_t palvoId, std::string& err) const {
    const std::uint16_t flags = SlotHeader::runtimeFlags(base_);
    if (flags & SlotHeader::kInCriticalSection) {
      err = fmt::format("bad critical section runtimeFlags:{:x}", flags);
      return false;
    }
    if (flags & SlotHeader::kRetired) {
      err = fmt::format("retired file runtimeFlags:{:x}", flags);
      return false;
    }
    if (!(flags & SlotHeader::kFormatted)) {
      err = fmt::format("unfinished format runtimeFlags:{:x}", flags);
      return false;
    }
    const std::uint32_t stored = SlotHeaderCommon::palvoId(base_);
    if (stored != palvoId) {
      err = fmt::format("mismatching palvo:{}, oldPalvo:{}", palvoId, stored);
      return false;
    }
    if (fixedSize_ && numSlots_ != maxSlots_) {
      err = fmt::format("wanted capacity:{} for fixed-size table, but existing file has capacity:{}", maxSlots_,
                        numSlots_);
      return false;
    }
    return validateHeader(dh_, base_, file_.shm().fileSize(), palvoId, err);
  }

  // Writes slots first .. end - 1 as free and threads them into a list in
  // ascending order; returns its head (first). The caller publishes it.
  std::uint32_t initializeSlots(std::uint32_t first, std::uint32_t end) {
    PLOOM_ASSERT(first < end, "bad index range, start: {} end: {}", first, end);
    PLOOM_ASSERT(freeHead() == SlotLink::kNothing, "free-list is not empty");
    std::uint32_t head = SlotLink::kNothing;
    const V defaultValue{};
    for (std::uint32_t s = end; s-- > first;) {
      std::uint8_t* slot = rawSlot(s);
      SlotLink::write(slot, SlotLink{0, SlotLink::kNothing});
      detail::Words::storeRelaxed(slot + Layout::kValueOffset, &defaultValue, sizeof(V));
      for (std::uint32_t at = Layout::kRhashOffset; at < Layout::kSlotSize; at += 4) {
        detail::Words::store<std::uint32_t, std::memory_order_relaxed>(slot + at, 0);
      }
      SlotLink::relink(slot, head);
      head = s;
    }
    return head;
  }

  // Takes the free-list head for a new entry whose key has reversed hash
  // `rhash`, growing the file first when the list is empty. Throws
  // Ploom::TableFullException when it cannot, with nothing changed (the
  // caller's CriticalSection::guard leaves the section).
  std::uint32_t alloc(std::uint32_t rhash) {
    if (freeHead() == SlotLink::kNothing && !grow()) {
      throw TableFullException(
          fmt::format("Ploom table full (occupancy:{} tableSize:{}) {}", occupied(), maxSlots_, name_));
    }
    const std::uint32_t s = freeHead();
    std::uint8_t* slot = (*this)[s];
    detail::Words::store<std::uint32_t>(slot + Layout::kRhashOffset, rhash);
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, SlotLink::read(slot).link & ~SlotLink::kMark);
    const std::uint32_t nowOccupied = occupied() + 1;
    SlotHeader::wordIs(base_, SlotHeader::kOccupied, nowOccupied);
    if (nowOccupied > SlotHeader::word(base_, SlotHeader::kHighestOccupied)) {
      SlotHeader::wordIs(base_, SlotHeader::kHighestOccupied, nowOccupied);
    }
    ++counters_->allocations;
    return s;
  }

  // Puts an unlinked slot, occupied bit already clear, at the head of the free list.
  void pushFree(std::uint32_t s) {
    std::uint8_t* slot = (*this)[s];
    SlotLink::relink(slot, freeHead());
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, s);
    SlotHeader::wordIs(base_, SlotHeader::kOccupied, occupied() - 1);
    ++counters_->frees;
  }

  bool grow() {
    if (freeHead() != SlotLink::kNothing || occupied() != numSlots_) {
      PLOOM_THROW(Orvel::CorruptionDetectedException, dh_, "SlotWriterTable",
                  "the slot table is full but numSlots: {} and occupiedSlots: {} are not equal", numSlots_, occupied());
    }
    if (fixedSize_) return false;
    const std::uint32_t old = numSlots_;
    std::uint64_t wanted;
    if (old < maxSlots_) {
      wanted = std::min<std::uint64_t>(std::uint64_t{2} * old, maxSlots_);
    } else {
      // Past the nominal capacity the table keeps growing by 10 %, computed
      // in single precision (64 -> 100 -> 110 -> 121).
      wanted = static_cast<std::uint64_t>(std::ceil(static_cast<float>(old) * 1.1f));
    }
    wanted = std::min<std::uint64_t>(wanted, kMaxIndexableSlots);
    if (wanted <= old) return false;
    const auto next = static_cast<std::uint32_t>(wanted);
    resize(next);
    const std::uint32_t head = initializeSlots(old, next);
    if (next > SlotHeader::word(base_, SlotHeader::kMaxSlotsEver)) {
      SlotHeader::wordIs(base_, SlotHeader::kMaxSlotsEver, next);
    }
    // Publishes the larger count; the slots it adds are initialised above.
    SlotHeader::countIs(base_, next);
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, head);
    cache();
    ++counters_->grows;
    ORVEL_TRACE(dh_, 2, "SlotWriterTable", "{} from {} slots to {}", "grow", old, next);
    return true;
  }

  // Maps the file at the size for `slots` (growing the file when needed).
  void resize(std::uint32_t slots) {
    Mem::SharedMemWrapper& shm = file_.shm();
    ORVEL_TRACE(dh_, 5, "SlotWriterTable", "{} from {} to {} slots", name_, numSlots_, slots);
    if (slots > maxSlots_) ORVEL_TRACE(dh_, 5, "SlotWriterTable", "overflowing by {} slots", slots - maxSlots_);
    const auto bytes = Layout::fileSize(slots);
    std::string reason = bytes ? "" : "size overflow";
    void* before = shm.base();
    if (!bytes || !shm.resize(*bytes, reason)) {
      throw Orvel::MemoryResourceException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}", shm.path(), numSlots_,
                      slots, bytes.value_or(0), reason));
    }
    if (shm.base() != before) {
      ORVEL_TRACE(dh_, 5, "SlotWriterTable", "remap base address changed from {} to {}", before, shm.base());
      ++counters_->remaps;
    }
    base_ = static_cast<std::uint8_t*>(shm.base());
    ORVEL_TRACE(dh_, 5, "SlotWriterTable", "to {} successfully", slots);
  }

  // Cuts the slot array to `slots`; every slot at or above it must already be
  // off the free list and unoccupied.
  void shrink(std::uint32_t slots) {
    ORVEL_TRACE(dh_, 5, "SlotWriterTable", "newNumSlots:{}", slots);
    const std::uint32_t old = numSlots_;
    // Publishes the smaller count before the mapping is cut.
    SlotHeader::countIs(base_, slots);
    resize(slots);
    cache();
    ++counters_->shrinks;
    ORVEL_TRACE(dh_, 2, "SlotWriterTable", "{} from {} slots to {}", "shrink", old, slots);
  }

  // Unlinks every free slot with index >= threshold from the free list.
  void purgeFreeSlots(std::uint32_t threshold) {
    if (threshold >= numSlots_ || freeHead() == SlotLink::kNothing) return;
    std::uint32_t length = 0;
    std::uint8_t* prev = nullptr;  // null: the header's head word
    for (std::uint32_t s = freeHead(); s != SlotLink::kNothing;) {
      ++length;
      if (length > numSlots_) break;  // a cycle: reported by the count check below
      std::uint8_t* slot = (*this)[s];
      const std::uint32_t next = SlotLink::read(slot).link & ~SlotLink::kMark;
      if (s >= threshold) {
        ORVEL_TRACE(dh_, 7, "SlotWriterTable", "removing slot id {} from free-list", s);
        if (prev == nullptr) {
          SlotHeader::wordIs(base_, SlotHeader::kFreeHead, next);
        } else {
          SlotLink::relink(prev, next);
        }
      } else {
        prev = slot;
      }
      s = next;
    }
    if (length + occupied() != numSlots_) {
      PLOOM_THROW(Orvel::CorruptionDetectedException, dh_, "SlotWriterTable",
                  "numSlots mismatch, length of freeList: {}, occupiedSlots: {} do not add up to numSlots: {}", length,
                  occupied(), numSlots_);
    }
  }

  // Copies the occupied slot `fromSlot` into the free-list head, which must
  // lie below it; returns the new slot. The caller relinks the predecessor
  // and clears the old slot.
  std::uint32_t move(std::uint32_t fromSlot) {
    const std::uint32_t toSlot = freeHead();
    PLOOM_ASSERT(toSlot != SlotLink::kNothing, "not valid toSlotId:{}", toSlot);
    PLOOM_ASSERT(toSlot < fromSlot, "should always move entries to lower section fromSlotId:{} toSlotId:{}", fromSlot,
                 toSlot);
    std::uint8_t* to = (*this)[toSlot];
    const std::uint8_t* from = (*this)[fromSlot];
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, SlotLink::read(to).link & ~SlotLink::kMark);
    detail::Words::copyRelaxed(to + Layout::kRhashOffset, from + Layout::kRhashOffset, 4);
    detail::Words::copyRelaxed(to + Layout::kValueOffset, from + Layout::kValueOffset, sizeof(V));
    const SlotLink source = SlotLink::read(from);
    SlotLink::publishLinked(to, source.link);
    SlotLink::markIs(to, source.marked());
    ORVEL_TRACE(dh_, 7, "SlotWriterTable", "fromSlotId:{} toSlotId:{}", fromSlot, toSlot);
    return toSlot;
  }

  // The slot at `index`; Orvel::CorruptionDetectedException when it is past the end.
  [[gnu::always_inline]] std::uint8_t* operator[](std::uint32_t index) const {
    if (index >= numSlots_) [[unlikely]]
      throwOutOfRange(index);
    return rawSlot(index);
  }

  // Marks the start of a modification: runtime-flag bit 0 must be clear.
  void enterCriticalSection(const std::string& what) {
    const std::uint16_t flags = SlotHeader::runtimeFlags(base_);
    PLOOM_ASSERT(!(flags & SlotHeader::kInCriticalSection), "Ploom reentrancy detected: {}", what);
    SlotHeader::runtimeFlagsIs(base_, flags | SlotHeader::kInCriticalSection);
  }
  void leaveCriticalSection() {
    SlotHeader::runtimeFlagsIs(base_, SlotHeader::runtimeFlags(base_) & ~SlotHeader::kInCriticalSection);
  }
  bool inCriticalSection() const { return SlotHeader::runtimeFlags(base_) & SlotHeader::kInCriticalSection; }

  void detach() {
    file_.shm().close();
    base_ = nullptr;
    numSlots_ = 0;
  }
  // Unmaps and removes the file (before a re-format), marking it retired
  // first for the readers that keep it mapped.
  void cleanup() {
    if (base_ != nullptr && file_.shm().mappedSize() > SlotHeader::kRuntimeFlags + 1) {
      SlotHeader::runtimeFlagsIs(base_, SlotHeader::runtimeFlags(base_) | SlotHeader::kRetired);
      SlotHeader::retiredMarkIs(base_, true);
    }
    PLOOM_STORE_POINT();  // readers see the file go
    file_.shm().wipe();
    base_ = nullptr;
    numSlots_ = 0;
  }

  bool attached() const noexcept { return base_ != nullptr; }
  std::uint8_t* base() const noexcept { return base_; }
  std::uint8_t* lookaside() const noexcept { return base_ + SlotHeader::kLookaside; }
  std::uint32_t numSlots() const noexcept { return numSlots_; }
  std::uint32_t minSlots() const noexcept { return minSlots_; }
  std::uint32_t maxSlots() const noexcept { return maxSlots_; }
  std::uint32_t shrinkThreshold() const noexcept { return shrinkThreshold_; }
  std::uint32_t occupied() const { return SlotHeader::word(base_, SlotHeader::kOccupied); }
  std::uint32_t freeHead() const { return SlotHeader::word(base_, SlotHeader::kFreeHead); }
  Mem::Tracked& file() noexcept { return file_; }
  const Mem::Tracked& file() const noexcept { return file_; }
  const std::string& name() const noexcept { return name_; }

 private:
  [[noreturn, gnu::cold, gnu::noinline]] void throwOutOfRange(std::uint32_t index) const {
    PLOOM_THROW(Orvel::CorruptionDetectedException, dh_, "SlotWriterTable", "out-of-range index: {} max:{}", index,
                static_cast<std::int64_t>(numSlots_) - 1);
  }

  std::uint8_t* rawSlot(std::uint32_t index) const noexcept {
    return base_ + Layout::kHeaderSize + std::size_t{index} * Layout::kSlotSize;
  }

  // Formats a new file: common header, the collection's fields, a fresh
  // lookaside image, minSlots_ free slots, and last the "formatted" flag.
  void format(std::uint32_t palvoId, std::uint32_t seed) {
    SlotHeaderCommon(base_, SlotHeader::kCommonSize, 0, Layout::kValueSize, Layout::kSlotSize, minSlots_, maxSlots_, 0,
                     palvoId, V::kTypeName, Layout::kValueSize, seed);
    SlotHeader::runtimeFlagsIs(base_, 0);  // the common header left the retired mark clear
    SlotHeader::wordIs(base_, SlotHeader::kOccupied, 0);
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, SlotLink::kNothing);
    SlotHeader::wordIs(base_, SlotHeader::kMaxSlotsEver, minSlots_);
    SlotHeader::wordIs(base_, SlotHeader::kSeed, seed);
    SlotHeader::wordIs(base_, SlotHeader::kHighestOccupied, 0);
    SlotHeader::countPairIs(base_, 0, minSlots_);
    const V defaultValue{};
    SlotLink::write(lookaside(), SlotLink{0, SlotLink::kNothing});
    detail::Words::storeRelaxed(lookaside() + Layout::kValueOffset, &defaultValue, sizeof(V));
    detail::Words::store<std::uint32_t>(lookaside() + Layout::kRhashOffset, 0);
    cache();
    SlotHeader::wordIs(base_, SlotHeader::kFreeHead, initializeSlots(0, minSlots_));
    // Publishes the header: every field above is written.
    SlotHeader::runtimeFlagsIs(base_, SlotHeader::kFormatted);
  }

  // Refreshes the cached count and shrink threshold from the header.
  void cache() {
    numSlots_ = SlotHeader::countPair(base_).link;
    shrinkThreshold_ = 0;
    if (shrinkEnabled_ && !fixedSize_ && numSlots_ > minSlots_) {
      std::uint32_t p = 1;
      while (p * 2 <= numSlots_ - 1) p *= 2;
      shrinkThreshold_ = p;
    }
    ORVEL_TRACE(dh_, 5, "SlotWriterTable", "shrinkThreshold_:{}", shrinkThreshold_);
  }

  const Orvel::Platform::DebugHandler& dh_;
  std::string name_;
  Mem::Tracked file_;
  std::uint8_t* base_ = nullptr;
  std::uint32_t numSlots_ = 0;
  std::uint32_t maxSlots_;
  std::uint32_t minSlots_;
  std::uint32_t shrinkThreshold_ = 0;
  Writer::Counters* counters_;
  bool fixedSize_;
  bool shrinkEnabled_;
};

}  // namespace Ploom
