// Ploom::SlotReaderTable: a reader's read-only mapping of a collection's slot
// file.
//
// attach() maps only the header (with its lookaside image); doResize() maps
// the slots the header's versioned count announces. The writer never makes
// the file shorter and publishes a larger count only after the slots behind
// it are initialised, so the mapping always lies inside the file: a reader
// never touches a page past the end of the file (no SIGBUS), whatever the
// writer does meanwhile. A re-formatted collection gets a new file; replaced()
// tells when the one mapped is no longer the one at the path.
//
// doResize() compares the whole {generation, count} pair with the one it
// mapped: slots that were cut and added again between two looks have the same
// count but were initialised anew (their versions restart at 0), so a new
// generation counts as a resize even when the count is the same.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "Mem/SharedMemWrapper.h"
#include "Orvel/DebugHandler.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "PloomCore/SlotHeader.h"
#include "PloomCore/SlotLayout.h"
#include "PloomCore/ValueTraits.h"

namespace Ploom {

// The last slot a reader read: its version, its offset from the mapping base,
// and that base. Every consistent slot read refreshes it; a read that ends
// without a slot resets it to kNone.
struct LastSlotRead {
  static constexpr std::uint32_t kNoOffset = 0xFFFFFFFEu;
  std::uint32_t version = 0;
  std::uint32_t offset = kNoOffset;
  const std::uint8_t* base = nullptr;

  void reset() noexcept { *this = LastSlotRead{}; }
};

template <CollectionValue V>
class SlotReaderTable {
 public:
  using Layout = SlotLayout<V>;

  SlotReaderTable(const Orvel::Platform::DebugHandler& dh, const std::string& rootPath)
      : dh_(dh), file_("slots", rootPath + "/slots", Mem::Access::readOnly) {}

  // Maps the header. False, with a level-0 trace, when it cannot.
  bool attach() {
    Mem::SharedMemWrapper& shm = file_.shm();
    detach();
    const std::size_t size = shm.exists() ? shm.fileSize() : 0;
    if (size == 0) {
      ORVEL_TRACE(dh_, 0, "SlotReaderTable", "no shared memory region");
      return false;
    }
    std::string reason;
    if (!shm.open(Layout::kHeaderSize, false, reason)) {
      ORVEL_TRACE(dh_, 0, "SlotReaderTable", "cannot attach to shmem size:{}", Layout::kHeaderSize);
      return false;
    }
    ORVEL_TRACE(dh_, 3, "SlotReaderTable", "{}", SlotHeaderCommon::toString(base()));
    return true;
  }

  // The header, against the restart identity of the collection.
  bool validate(std::uint32_t palvoId, std::string& err) const {
    if (!SlotHeaderCommon::validateWords(base(), SlotHeader::kCommonSize, file_.shm().fileSize(), palvoId, err)) {
      return false;
    }
    if (SlotHeaderCommon::slotSize(base()) != Layout::kSlotSize ||
        SlotHeaderCommon::valueSize(base()) != Layout::kValueSize) {
      err = fmt::format("slot file holds {}-byte values in {}-byte slots, not {} in {}",
                        SlotHeaderCommon::valueSize(base()), SlotHeaderCommon::slotSize(base()), Layout::kValueSize,
                        Layout::kSlotSize);
      return false;
    }
    return true;
  }

  // Maps the slot count the header announces now; true when the
  // {generation, count} pair changed since the last call.
  [[gnu::always_inline]] bool doResize() {
    const SlotLink pair = SlotHeader::countPair(base());
    if (pair.link == numSlots_ && pair.version == generation_ && mappedOnce_) [[likely]] {
      return false;
    }
    return remap(pair);
  }

 private:
  // Maps the slots of `pair`, the count pair just read.
  [[gnu::noinline]] bool remap(SlotLink pair) {
    const std::uint32_t count = pair.link;
    const auto bytes = count <= SlotLink::kIndexMask ? Layout::fileSize(count) : std::nullopt;
    if (!bytes) {
      throw Orvel::CorruptionDetectedException(fmt::format("bad newNumSlots:{} message:{}", count, "out of range"));
    }
    const std::size_t fileSize = file_.shm().fileSize();
    if (*bytes > fileSize) {
      throw Orvel::CorruptionDetectedException(
          fmt::format("requesting to map {} {} slots. Requested file resize to {} but real file size is {}",
                      file_.shm().path(), count, *bytes, fileSize));
    }
    ORVEL_TRACE(dh_, 2, "SlotReaderTable", "{} from {} slots to {}", file_.shm().path(), numSlots_, count);
    const void* before = file_.shm().base();
    std::string reason;
    if (!file_.shm().resize(*bytes, reason)) {
      throw Orvel::CorruptionDetectedException(
          fmt::format("failed to resize {} from {} to {} slots, needed {} bytes. Reason: {}", file_.shm().path(),
                      numSlots_, count, *bytes, reason));
    }
    if (file_.shm().base() != before) {
      ORVEL_TRACE(dh_, 5, "SlotReaderTable", "changed base address mapping from {} to {}", before, file_.shm().base());
    }
    numSlots_ = count;
    generation_ = pair.version;
    mappedOnce_ = true;
    if (onResize_) onResize_(before);
    ORVEL_TRACE(dh_, 5, "SlotReaderTable", "successful");
    return true;
  }

 public:
  // Called after every re-map with the mapping base before it (the current
  // one is base()), for the owner to re-base what points into the file.
  void onResizeIs(std::function<void(const void* oldBase)> callback) { onResize_ = std::move(callback); }

  // Whether the writer finished formatting the file (its header is complete),
  // and whether it retired it (a re-format replaces it).
  bool formatted() const { return (SlotHeader::runtimeFlags(base()) & SlotHeader::kFormatted) != 0; }
  bool retired() const { return (SlotHeader::runtimeFlags(base()) & SlotHeader::kRetired) != 0; }
  // Whether the writer announced a slot count other than the one mapped
  // (the copy of the generation, on a line the writer leaves alone while
  // it writes entries); doResize() then reads the pair itself.
  bool generationMoved() const { return SlotHeader::generationCopy(base()) != generation_ || !mappedOnce_; }
  // The retired mark: what a reader checks after every operation, on a
  // header line the writer does not touch while it writes entries.
  bool retiredMarked() const { return SlotHeader::retiredMarked(base()); }

  bool replaced() const {
    struct stat atPath {};
    return ::stat(file_.shm().path().c_str(), &atPath) != 0 ||
           static_cast<std::uint64_t>(atPath.st_ino) != file_.shm().inode();
  }

  void detach() {
    file_.shm().close();
    numSlots_ = 0;
    generation_ = 0;
    mappedOnce_ = false;
  }

  bool attached() const noexcept { return file_.shm().isOpen(); }
  const std::uint8_t* base() const noexcept { return static_cast<const std::uint8_t*>(file_.shm().base()); }
  const std::uint8_t* lookaside() const noexcept { return base() + SlotHeader::kLookaside; }
  std::uint32_t numSlots() const noexcept { return numSlots_; }
  // The slot-count generation of the mapping.
  std::uint32_t generation() const noexcept { return generation_; }
  const std::uint8_t* slot(std::uint32_t index) const noexcept {
    return base() + Layout::kHeaderSize + std::size_t{index} * Layout::kSlotSize;
  }
  const Mem::Tracked& file() const noexcept { return file_; }

 private:
  const Orvel::Platform::DebugHandler& dh_;
  Mem::Tracked file_;
  std::uint32_t numSlots_ = 0;
  std::uint32_t generation_ = 0;
  bool mappedOnce_ = false;
  std::function<void(const void*)> onResize_;
};

}  // namespace Ploom
