// Ploom::WriterAttachment: a writer's hold on its collection, the part of
// Ploom::PloomWriter that owns the files and not their contents.
//
// It creates or re-attaches the collection's files under the root directory
// (slot file, bucket file, "owner", "palvo") as the collection's only writer
// (the writer lock), validates them and re-formats them (wipes and rebuilds
// them empty) when they cannot be trusted, applies the core-dump toggle,
// detaches and removes the files. A writer that dies while formatting a file
// or between retiring a file and unlinking it leaves a file without the
// "formatted" flag or with the "retired" flag, which the next writer
// re-formats (SlotWriterTable.h). The modifications are PloomWriter's.
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
#include "Ploom/MapDescriptor.h"
#include "Ploom/PloomInterface.h"
#include "Ploom/Util.h"
#include "Ploom/Validator.h"
#include "PloomCore/AttachResult.h"
#include "PloomCore/Counters.h"
#include "PloomCore/Errors.h"
#include "PloomCore/SlotWriterTable.h"
#include "PloomCore/WriterHashMap.h"
#include "SharedMem/OwnerFile.h"
#include "SharedMem/PalvoFile.h"

namespace Ploom {

namespace Testing {
struct Access;
}  // namespace Testing

inline constexpr const char* kCorruptionFile = "corruption-detected";

template <CollectionValue V>
class WriterAttachment : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;
  using Traits = ValueTraits<V>;
  using Layout = SlotLayout<V>;
  using Notifier = std::function<void(bool)>;
  using PloomInterface<V>::criticalTaskCheck_;

  WriterAttachment(const Orvel::Platform::DebugHandler& dh, const std::string& collectionPath, MapDescriptor descriptor,
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
      AttachResult r = attachAndValidate(!ownerValid, wirraInfo);
      if (!usable(r) || (r == AttachResult::created && ownerValid && stored)) {
        ORVEL_TRACE(dh_, 1, "PloomWriter", "expectReattach: {}, attachResult: {}", ownerValid && stored.has_value(),
                    number(r));
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
    const AttachResult r = attach(palvoId_);
    PLOOM_ASSERT(r == AttachResult::created && validate(palvoId_, false), "local collection {} failed to attach: {}",
                 name_, number(r));
    attached_ = true;
    ORVEL_TRACE(dh_, 1, "PloomWriter", "success local {} capacity:{} palvoId:{}", name_, capacity(), palvoId_);
  }

  // Attaches both files: the results or-ed (see AttachResult.h).
  AttachResult attach(std::uint32_t palvoId) {
    counters_ = Writer::Counters{};
    const AttachResult slotResult = slots_.attach(palvoId, seed_);
    PLOOM_ASSERT(known(slotResult), "Invalid slot attach");
    ORVEL_TRACE(dh_, 2, "PloomWriter", "slotsAttached:{}", number(slotResult));
    const AttachResult mapResult = map_.attach(palvoId);
    PLOOM_ASSERT(known(mapResult), "Invalid map attach");
    ORVEL_TRACE(dh_, 2, "PloomWriter", "mapAttached:{}", number(mapResult));
    ORVEL_TRACE(dh_, 2, "PloomWriter", "braskAttached:{}", true);
    return slotResult | mapResult;
  }

  AttachResult attachAndValidate(bool reinit, const SharedMem::WirraInfo& wirraInfo) {
    if (reinit) {
      ORVEL_TRACE(dh_, 1, "PloomWriter", "{}", rootPath_.path());
      ++restartGeneration_;
      ownerFile_.wipedIs(true);
      slots_.cleanup();
      map_.cleanup();
    }
    const AttachResult r = attach(palvoId_);
    if (usable(r)) {
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
        slots_.file().shm().coreDumpModeIs(Mem::SharedMemWrapper::kCoreDumpIncluded);
        map_.bucketWriter().file().shm().coreDumpModeIs(Mem::SharedMemWrapper::kCoreDumpIncluded);
        Orvel::fmassert("strictValidation", __FILE__, __func__, __LINE__,
                        "failed initial validation of {} after re-attaching", rootPath_.path());
      }
      ORVEL_TRACE(dh_, 0, "PloomWriter", "failed to validate existing files");
      ORVEL_TRACE(dh_, 0, "PloomWriter", "{}", dumpHeaders());
      ORVEL_TRACE(dh_, 0, "PloomWriter", "owner file: {}", ownerFile_.toString());
      return AttachResult::failedValidation;
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
  EndpointType type() const override { return descriptor_.local ? EndpointType::temporary : EndpointType::writer; }
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

 protected:
  friend struct Testing::Access;

  // Everything detach(bool) does after the writer's own checks: the owner
  // file's claim cleared, the files unmapped, the lock released.
  void detachFiles() {
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
  bool ownerWritten_ = false;
  bool initialized_ = false;
  bool attached_ = false;
  std::string lastValidationError_;

 private:
  void applyCoreDumpMode() {
    const int mode = NvToggles::getToggleState("FullCoreDump", "Ploom.json", true)
                         ? Mem::SharedMemWrapper::kCoreDumpIncluded
                         : Mem::SharedMemWrapper::kCoreDumpExcluded;
    slots_.file().shm().coreDumpModeIs(mode);
    map_.bucketWriter().file().shm().coreDumpModeIs(mode);
  }
};

}  // namespace Ploom
