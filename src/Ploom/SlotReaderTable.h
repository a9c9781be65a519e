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
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Mem/SharedMemWrapper.h"
#include "Orvel/DebugHandler.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Ploom/SlotHeader.h"
#include "Ploom/SlotLayout.h"
#include "Ploom/ValueTraits.h"

namespace Ploom {

template <CollectionValue V>
class SlotReaderTable {
 public:
  using Layout = SlotLayout<V>;

  SlotReaderTable(const Orvel::Platform::DebugHandler& dh, const std::string& rootPath)
      : dh_(dh), file_("slots", rootPath + "/slots", Mem::Access::readOnly) {}

  // Maps the header. False, with a level-0 trace, when it cannot.
  bool attach() {
    Mem::SharedMemWrapper& shm = file_.shm();
    shm.close();
    numSlots_ = 0;
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

  // Maps the slot count the header announces now; true when it changed.
  bool doResize() {
    const SlotLink pair = SlotHeader::countPair(base());
    const std::uint32_t count = pair.link;
    if (count == numSlots_) return false;
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
      ORVEL_TRACE(dh_, 5, "SlotReaderTable", "changed base address mapping from {} to {}", before,
                  file_.shm().base());
    }
    numSlots_ = count;
    ORVEL_TRACE(dh_, 5, "SlotReaderTable", "successful");
    return true;
  }

  bool replaced() const {
    struct stat atPath {};
    return ::stat(file_.shm().path().c_str(), &atPath) != 0 ||
           static_cast<std::uint64_t>(atPath.st_ino) != file_.shm().inode();
  }

  void detach() {
    file_.shm().close();
    numSlots_ = 0;
  }

  bool attached() const noexcept { return file_.shm().isOpen(); }
  const std::uint8_t* base() const noexcept { return static_cast<const std::uint8_t*>(file_.shm().base()); }
  const std::uint8_t* lookaside() const noexcept { return base() + SlotHeader::kLookaside; }
  std::uint32_t numSlots() const noexcept { return numSlots_; }
  const std::uint8_t* slot(std::uint32_t index) const noexcept {
    return base() + Layout::kHeaderSize + std::size_t{index} * Layout::kSlotSize;
  }
  const Mem::Tracked& file() const noexcept { return file_; }

 private:
  const Orvel::Platform::DebugHandler& dh_;
  Mem::Tracked file_;
  std::uint32_t numSlots_ = 0;
};

}  // namespace Ploom
