// The shadow logic every table shares, as bases of the generated Shadow classes.
//
// VovuAsicUtils::ShadowAccessor<Entry> (memory tables) keeps a shadow's
// entries in its EntryStorage, mounted as the entity of the shadow's state
// path: construction mounts the collection, empties it and sets up the
// default entry; destruction releases the default entry, deletes every entry
// and unmounts. It answers the write path: getEntry and schanCmds read the
// collection (the default entry stands in for an absent key), deleteEntry
// removes a key. RegisterShadowAccessor<Entry> (register tables) keeps its one
// entry in the table manager's RegShadowEntryStorage instead.
//
// Both download a whole shadow (download) and clear it (clearShadow). A memory
// table walks its first memory's whole index range and packs the entries into
// DMA pool buffers, one bulk write per memory for each full buffer and one for
// the last, partly filled one; where the pool gives no DMA memory, the entry
// goes out as a single write instead (the full walk). The trap table writes
// only the keys its shadow holds, one single write each (the partial walk).
// A register table writes its one entry (the entry-by-entry walk of its base).
// The batch keeps the walk order; a download never changes the shadow.
//
// A corruption found by a look-up is reported to the collection and the key
// counts as absent; every other exception reaches the caller.
//
// Each template instance traces on its own handle, "<Table>.ShadowAccessor"
// (_defaultTraceHandle), so that a rule on a table's name selects the shadow
// lines of that table and a rule on the suffix those of every table.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Asic/GracefulAssert.h"
#include "Asic/LogEntryWrapper.h"
#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Lumlog/Sink.h"
#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/ShadowBase.h"
#include "ZevPloom/EntryStorage.h"
#include "ZevSharedMem/EntityManager.h"

namespace VovuAsicUtils {

// The source file the shadow accessor's traces and checks name. The write
// path's traces report the fixed lines the host knows them by (40, 77, 102,
// 107); the others report where they stand.
inline constexpr const char* kShadowAccessorFile = "VovuAsicUtils/ShadowAccessor.h";

// Traces as `function` at `line` of `file`, skipping the arguments when the
// level is disabled.
#define VOVU_TRACE_AT(handle, level, file, function, line, tag, ...)                                   \
  do {                                                                                                 \
    const ::Zev::TraceHandle& accessorTraceHandle_ = (handle);                                         \
    if (accessorTraceHandle_.enabled(level)) [[unlikely]] {                                            \
      ::Orvel::fmtrace(accessorTraceHandle_, (level), (file), (function), (line), (tag), __VA_ARGS__); \
    }                                                                                                  \
  } while (0)

// Traces at `line` of an accessor file as the function the statement stands
// in. Inside the accessor templates `handle` is _defaultTraceHandle(), the
// instance's own:
//   VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "...", ...);
#define VOVU_ACCESSOR_TRACE(handle, level, file, line, tag, ...) \
  VOVU_TRACE_AT(handle, level, file, __func__, line, tag, __VA_ARGS__)

// The handle "<table>.<accessor>" of one accessor template instance.
inline Orvel::String accessorTraceHandleName(const char* table, const char* accessor) {
  return Orvel::String(fmt::format("{}.{}", table, accessor));
}

// The trace handle of the shadows of the table whose entry is `Entry`,
// "<Table>.ShadowAccessor": one function-local static per table.
template <class Entry>
Zev::TraceHandle& shadowAccessorTraceHandle() {
  static Zev::TraceHandle handle(accessorTraceHandleName(Entry::kTableName, "ShadowAccessor"));
  return handle;
}

// Runs one step of a shadow's teardown, which nothing may escape: an
// exception is reported at level 0 on `handle`, in the name of the caller,
// and the teardown goes on. Returns whether the step completed.
template <class Step>
bool teardownStep(const Zev::TraceHandle& handle, const HwShadowBase& shadow, const char* step, Step&& run,
                  const char* function = __builtin_FUNCTION(), int line = __builtin_LINE()) noexcept {
  // Reports while the exception, which owns the text, is still alive.
  const auto report = [&](const char* what) {
    VOVU_TRACE_AT(handle, 0, kShadowAccessorFile, function, line, "Shadow", "{} of shadow {}: {}; the deletion goes on",
                  step, shadow.name(), what);
  };
  try {
    run();
    return true;
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("an exception of unknown type");
  }
  return false;
}

// The chips of `fapmask` the shadow covers; the empty mask, after a trace on
// `handle` at `line` in the name of the caller, when it covers none of them.
inline SchanAccel::Fapmask writeMask(const HwShadowBase& shadow, const SchanAccel::Fapmask& fapmask,
                                     const Zev::TraceHandle& handle, int line,
                                     const char* function = __builtin_FUNCTION()) {
  const SchanAccel::Fapmask mask = shadow.applicableFapmask(fapmask);
  if (mask == SchanAccel::Fapmask()) {
    VOVU_TRACE_AT(handle, 8, kShadowAccessorFile, function, line, "",
                  " hwShadowKey: {} not applicable for downloadFapmask: {}", shadow.hwShadowKey(), fapmask);
  }
  return mask;
}

// `key` with the shadow's default entry data: its bytes, at most the table's
// data size.
template <class Entry>
Entry entryWithDefaultData(const typename Entry::EntryKey& key, const std::vector<std::uint8_t>& defaultEntry) {
  Entry entry(key);
  std::copy_n(defaultEntry.begin(), std::min<std::size_t>(defaultEntry.size(), Entry::entrySize), entry.data());
  return entry;
}

// How a memory table's download walks its shadow: every key of the memory's
// range, or only the keys the shadow holds.
enum class DownloadWalk : std::uint8_t { full, partial };

// The download's first steps, alike for every shadow: the event and its
// traces, then the shadow's downloadWorker for the chips of
// `downloadFapmask` it covers; null when it covers none.
template <class Shadow>
Orvel::Ptr<SchanAccel::SchanCmds> downloadShadow(const Shadow& shadow, const Orvel::String& fapType,
                                                 const FapRevision& fapRevision,
                                                 const SchanAccel::Fapmask& downloadFapmask) {
  const Zev::TraceHandle& th = Shadow::_defaultTraceHandle();
  std::string event = fmt::format("fapType: {}, fapRevision: {}, downloadFapmask: {}", fapType, fapRevision.revString(),
                                  downloadFapmask);
  VOVU_TRACE_AT(th, 8, kShadowAccessorFile, "download", __LINE__, "Shadow", "{}", event);
  Lumlog::eventRecord("Shadow", std::move(event));
  VOVU_TRACE_AT(th, 8, kShadowAccessorFile, "download", __LINE__, "",
                " fapType: {} fapRevision: {} downloadFapmask: {}", fapType, fapRevision.revString(), downloadFapmask);
  const SchanAccel::Fapmask mask = writeMask(shadow, downloadFapmask, th, __LINE__, "download");
  if (mask == SchanAccel::Fapmask()) return nullptr;
  return shadow.downloadWorker(fapRevision, mask, false);
}

// clearShadow of every shadow: the walk writing default entries, then the
// shadow emptied whatever the walk returned.
template <class Shadow>
Orvel::Ptr<SchanAccel::SchanCmds> clearShadowOf(Shadow& shadow, const FapRevision& fapRevision,
                                                const SchanAccel::Fapmask& fapmask) {
  Orvel::Ptr<SchanAccel::SchanCmds> cmds = shadow.downloadWorker(fapRevision, fapmask, true);
  shadow.collCleanup();
  return cmds;
}

// The first trace of a download worker, in the name of the caller, and the
// chips of `fapmask` the shadow covers.
template <class Shadow>
SchanAccel::Fapmask downloadWorkerMask(const Shadow& shadow, const FapRevision& fapRevision,
                                       const SchanAccel::Fapmask& fapmask, bool isDelete,
                                       const char* function = __builtin_FUNCTION()) {
  const Zev::TraceHandle& th = Shadow::_defaultTraceHandle();
  VOVU_TRACE_AT(th, 8, kShadowAccessorFile, function, __LINE__, "",
                "fapRevision: {}, downloadFapmask: {}, isDelete: {}", fapRevision.revString(), fapmask, isDelete);
  return writeMask(shadow, fapmask, th, __LINE__, function);
}

// A pending bulk batch without its buffer is a broken invariant: the process ends.
inline void checkDmaMemPoolBuffer(const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer>& buffer, int line) {
  if (!buffer) [[unlikely]] {
    Orvel::fmassert("dmaMemPoolBuffer", kShadowAccessorFile, "enqueueBulkCmd", line, "Invalid dmaMemPoolBuffer");
  }
}

template <class Entry, DownloadWalk kWalk = DownloadWalk::full>
class ShadowAccessor : public DirectKeyBasedShadowBase {
 public:
  using EntryKey = typename Entry::EntryKey;
  using Storage = ZevPloom::EntryStorage<Entry>;
  using DmaMemPoolBuffer = DmaMemPoolManager::DmaMemPoolBuffer;
  static constexpr DownloadWalk kDownloadWalk = kWalk;

  ShadowAccessor(const Orvel::String& name, const HwShadowKey& key, const FapRevision& fapRevision,
                 const Orvel::Ptr<BcmGroupAddrInfo>& descriptor, const Orvel::Ptr<Hardware::Vovu::Status>& status,
                 const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
                 const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager,
                 const Orvel::Ptr<Tolvane::EntityManager>& entityManager, const Orvel::String& hwTableName)
      : DirectKeyBasedShadowBase(name, key, fapRevision, descriptor, status, cmdletRequiredStatus, dmaMemPoolManager,
                                 entityManager),
        hwTableName_(hwTableName) {}

  static Zev::TraceHandle& _defaultTraceHandle() { return shadowAccessorTraceHandle<Entry>(); }

  const Orvel::String& hwTableName() const noexcept { return hwTableName_; }
  const Orvel::Ptr<Storage>& entryStorage() const noexcept { return entryStorage_; }
  // The shadow's state path (the entry storage's full name).
  std::string path() const {
    return Constants::shadowTblPloomPath(fapRevision().revString(), hwTableName_.view(), hwShadowKey().toString());
  }
  std::string entityTypeName() const { return fmt::format("{}::Shadow::EntryStorage", hwTableName_.view()); }

  // Refuses, with a graceful assertion, a shadow without a mounted collection
  // (see storage()). The table operations call it before they count anything.
  void checkCollection() const { storage(); }

  void setEntry(const Entry& entry) { storage().entryCollIs(entry); }

  void deleteEntry(const EntryKey& key) {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 77, "", " shadowKey: {} entryKey: {}",
                        hwShadowKey(), key.strep());
    if (stored(key)) storage().entryCollDel(key);
  }

  // The stored entry, or `key` with the default entry's data.
  Entry getEntry(const EntryKey& key) const {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 40, "", "key: {}", key.strep());
    if (const std::optional<Entry> entry = stored(key)) return *entry;
    return entryWithDefaultData<Entry>(key, defaultEntry());
  }

  // The entry the shadow holds for `key`, or nothing; no trace.
  std::optional<Entry> heldEntry(const EntryKey& key) const { return stored(key); }

  // The batch that writes the shadow's value for `key` (the default entry when
  // absent or when `isDelete`) on the chips of `fapmask` this shadow covers;
  // null when it covers none of them.
  Orvel::Ptr<SchanAccel::SchanCmds> schanCmds(
      const SchanAccel::Fapmask& fapmask, const FapRevision& fapRevision, const EntryKey& key, bool isDelete,
      const Orvel::Ptr<Asic::LogEntryWrapperBase>& /*logEntry*/ = nullptr) const {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 102, "", "key: {}", key.strep());
    const SchanAccel::Fapmask mask = writeMask(*this, fapmask, _defaultTraceHandle(), 107);
    if (mask == SchanAccel::Fapmask()) return nullptr;
    checkCollection();
    const std::optional<Entry> kept = isDelete ? std::nullopt : stored(key);
    const Entry entry = kept ? *kept : entryWithDefaultData<Entry>(key, defaultEntry());
    return schanCmdsWorker(mask, fapRevision, arrayIndexOf(key), entryIndexOf(key), entry.data(), Entry::entrySize);
  }

  // Deletes every entry of the shadow.
  void collCleanup() { storage().entryCollDelAll(); }

  Orvel::Ptr<SchanAccel::SchanCmds> download(const Orvel::String& fapType, const FapRevision& fapRevision,
                                             const SchanAccel::Fapmask& downloadFapmask) const override {
    return downloadShadow(*this, fapType, fapRevision, downloadFapmask);
  }

  Orvel::Ptr<SchanAccel::SchanCmds> clearShadow(const FapRevision& fapRevision,
                                                const SchanAccel::Fapmask& fapmask) override {
    return clearShadowOf(*this, fapRevision, fapmask);
  }

  // The table's walk over the chips of `fapmask` the shadow covers (null
  // when none), writing the default entry everywhere when `isDelete`.
  Orvel::Ptr<SchanAccel::SchanCmds> downloadWorker(const FapRevision& fapRevision, const SchanAccel::Fapmask& fapmask,
                                                   bool isDelete) const {
    const SchanAccel::Fapmask mask = downloadWorkerMask(*this, fapRevision, fapmask, isDelete);
    if (mask == SchanAccel::Fapmask()) return nullptr;
    if constexpr (kWalk == DownloadWalk::partial) {
      return downloadWorkerKeyBasedPartial(fapRevision, mask, isDelete);
    } else {
      return downloadWorkerKeyBasedFullBcmDirect(fapRevision, mask, isDelete);
    }
  }

  // Every key of the first memory's range, array index by array index, in
  // ascending order, through DMA bulk batches. Returns a batch (possibly empty).
  Orvel::Ptr<SchanAccel::SchanCmds> downloadWorkerKeyBasedFullBcmDirect(const FapRevision& fapRevision,
                                                                        const SchanAccel::Fapmask& fapmask,
                                                                        bool isDelete) const {
    const Orvel::Ptr<BcmRegMemInfo> memory = tableDescriptor()->firstMemInfo();
    Orvel::Ptr<SchanAccel::SchanCmds> result = SchanAccel::schanCmdsFactory();
    Orvel::Ptr<DmaMemPoolBuffer> buffer;
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;
    std::uint8_t batchArrayIndex = 0;
    std::uint32_t batchEntryIndex = 0;
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 3, kShadowAccessorFile, __LINE__, "",
                        " Processing all keys in shadow: {}", hwShadowKey());
    const auto entrySize = static_cast<std::uint16_t>(Entry::entrySize);
    const unsigned arrayEnd = unsigned{memory->firstArrayIndex()} + memory->arrayCount();
    const std::uint64_t entryEnd = std::uint64_t{memory->firstEntryIndex()} + memory->entryCount();
    for (unsigned a = memory->firstArrayIndex(); a < arrayEnd; ++a) {
      for (std::uint64_t e = memory->firstEntryIndex(); e < entryEnd; ++e) {
        const Entry entry(keyOf(a, e));
        buffer = dmaEnqueueWorker(fapmask, fapRevision, entry, isDelete, *result, std::move(buffer), count, capacity,
                                  batchArrayIndex, batchEntryIndex, entrySize);
      }
    }
    if (count != 0) {
      checkDmaMemPoolBuffer(buffer, __LINE__);
      SchanAccel::cmdsMove(*result, enqueueBulkCmd(fapmask, buffer, count, batchArrayIndex, batchEntryIndex));
    }
    return result;
  }

  // Adds `entry` to the bulk batch (buffer, count, capacity, batch key) and
  // returns the buffer to keep. Without DMA memory the entry goes to
  // `commands` as a single write and the unusable buffer is returned, so the
  // next entry asks the pool again; a full buffer becomes bulk writes and is released.
  Orvel::Ptr<DmaMemPoolBuffer> dmaEnqueueWorker(const SchanAccel::Fapmask& fapmask, const FapRevision& fapRevision,
                                                const Entry& entry, bool isDelete, SchanAccel::SchanCmds& commands,
                                                Orvel::Ptr<DmaMemPoolBuffer> buffer, std::uint32_t& count,
                                                std::uint32_t& capacity, std::uint8_t& batchArrayIndex,
                                                std::uint32_t& batchEntryIndex, std::uint16_t entrySize) const {
    const EntryKey& key = entry.entryKey();
    if (!buffer || !buffer->isDmaMemory()) {
      buffer = nullptr;
      buffer = DmaMemPoolManager::dmaMemPoolBufferFactory(dmaMemPoolManager());
      if (!buffer->isDmaMemory()) {
        SchanAccel::cmdsMove(commands, schanCmds(fapmask, fapRevision, key, isDelete));
        return buffer;
      }
      VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "",
                          "dmaMemPoolBuffer: {}, dmaAddrInfo: {}", buffer->toString(),
                          buffer->dmaAddrInfo().toString());
      capacity = buffer->bufSize() / entrySize;
      count = 0;
      batchArrayIndex = arrayIndexOf(key);
      batchEntryIndex = entryIndexOf(key);
    }
    std::uint8_t* at = buffer->vaCursor();
    buffer->incVaCursor(entrySize);  // refuses a buffer too small for one entry
    const Entry* kept = isDelete ? nullptr : storedPointer(key);
    const std::uint8_t* data = kept ? kept->data() : defaultEntry().data();
    std::copy_n(data, std::min<std::size_t>(entrySize, kept ? Entry::entrySize : defaultEntry().size()), at);
    ++count;
    if (count == capacity) {
      VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 3, kShadowAccessorFile, __LINE__, "",
                          "shadowKey: {} queued {} in bulk", hwShadowKey(), count);
      SchanAccel::cmdsMove(commands, enqueueBulkCmd(fapmask, buffer, count, batchArrayIndex, batchEntryIndex));
      count = 0;
      buffer = nullptr;
    }
    return buffer;
  }

  // The bulk writes of one buffer: one per memory of the descriptor, in
  // memory-id order, each with `count` entries from (arrayIndex, entryIndex).
  Orvel::Ptr<SchanAccel::SchanCmds> enqueueBulkCmd(const SchanAccel::Fapmask& fapmask,
                                                   const Orvel::Ptr<DmaMemPoolBuffer>& buffer, std::uint32_t count,
                                                   std::uint8_t arrayIndex, std::uint32_t entryIndex) const {
    Orvel::Ptr<SchanAccel::SchanCmds> cmds = SchanAccel::schanCmdsFactory();
    checkDmaMemPoolBuffer(buffer, __LINE__);
    for (const auto& [memoryId, memory] : tableDescriptor()->memInfoColl()) {
      const InstanceRange instances = instanceRange(*memory);
      cmds->cmdEnq(memoryWriteDmamemPoolBulkCmdFactory(fapmask, cmdletRequiredStatus(), arrayIndex, entryIndex,
                                                       memory->entrySize(), buffer->dmaAddrInfo().dmaAddr, memory,
                                                       instances.first, instances.last, count, buffer));
    }
    return cmds;
  }

  // The keys the shadow holds, in the collection's iteration order, one single
  // write each.
  Orvel::Ptr<SchanAccel::SchanCmds> downloadWorkerKeyBasedPartial(const FapRevision& fapRevision,
                                                                  const SchanAccel::Fapmask& fapmask,
                                                                  bool isDelete) const {
    const SchanAccel::Fapmask mask = downloadWorkerMask(*this, fapRevision, fapmask, isDelete);
    if (mask == SchanAccel::Fapmask()) return nullptr;
    Orvel::Ptr<SchanAccel::SchanCmds> result = SchanAccel::schanCmdsFactory();
    for (typename Storage::IteratorConst it(storage().map()); it.valid(); it.advance()) {
      SchanAccel::cmdsMove(*result, schanCmds(mask, fapRevision, it.value().entryKey(), isDelete));
    }
    return result;
  }

  // Mounts the shadow's state path and takes the entry storage the mount made.
  void mountPloom() {
    ZevPloom::MountInfo info(0);
    const std::string shadowPath = path();
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "shadowPath: {}",
                        shadowPath);
    info.collectionInfoIs(ZevPloom::CollectionInfo{"entryColl", 512, false});
    Orvel::Ptr<ZevSharedMem::EntityManager> manager = sharedMemEntityManager();
    const std::string typeName = entityTypeName();
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow",
                        "shadowPath: {} entityName {} hwTableName {}", shadowPath, typeName, hwTableName_);
    manager->getMountGroup().mount(shadowPath, typeName, info);
    entryStorage_ = Orvel::dynamicPtrCast<Storage>(manager->getEntity(shadowPath));
  }

  void unmountPloom() {
    const std::string shadowPath = path();
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "shadowPath: {}  ",
                        shadowPath);
    sharedMemEntityManager()->doUnmount(shadowPath);
  }

 protected:
  // Run by the most-derived constructor. A failure after the mount unmounts
  // again, so that the path can be mounted by the next attempt.
  void handleInitialized() {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "tableName: {} ", name());
    mountPloom();
    try {
      if (entryStorage_) entryStorage_->entryCollDelAll();
      initDefaultEntry();
    } catch (...) {
      unmountPloom();
      entryStorage_ = nullptr;
      throw;
    }
  }

  // Run by the most-derived destructor; nothing may escape it. A step that
  // fails (a subscriber that throws while it hears of a removal) is reported
  // and the deletion goes on: every entry is deleted and the path unmounted.
  void onDelete() noexcept {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "");
    if (!tableDescriptor()) return;
    cleanupDefaultEntry();
    if (entryStorage_) {
      // A failed pass has removed the entry whose publication failed: the next
      // pass starts from the first entry left. A pass that removed nothing ends it.
      Storage& storage = *entryStorage_;
      for (std::uint32_t left = storage.map().writer().members();;) {
        if (teardownStep(_defaultTraceHandle(), *this, "deleting the entries", [&] { storage.entryCollDelAll(); })) {
          break;
        }
        const std::uint32_t now = storage.map().writer().members();
        if (now == 0 || now >= left) break;
        left = now;
      }
    }
    teardownStep(_defaultTraceHandle(), *this, "the unmount", [&] { unmountPloom(); });
    entryStorage_ = nullptr;
  }

 private:
  Orvel::Ptr<ZevSharedMem::EntityManager> sharedMemEntityManager() const {
    const Orvel::Ptr<Tolvane::EntityManager>& em = entityManager();
    return ZevSharedMem::EntityManager::getEntityManager(
        em ? em->name() : Orvel::String(Tolvane::kShadowStateEntityManager), em ? em->flag() : false);
  }

  // The storage, while its collection is mounted. A shadow whose mount made
  // none, or whose collection was unmounted since (from outside: the storage
  // is then an orphan and its collection detached), is a broken invariant:
  // answering with default data would have the host write it over the
  // hardware.
  Storage& storage() const {
    ASIC_CHECK_AT(kShadowAccessorFile, __LINE__, entryStorage_ != nullptr, "entryStorage",
                  "No entry storage for shadow {}", name());
    ASIC_CHECK_AT(kShadowAccessorFile, __LINE__, entryStorage_->mounted(), "entryStorage->mounted()",
                  "The collection of shadow {} is not mounted at {}", name(), path());
    return *entryStorage_;
  }

  // The entry stored under `key`, from one look-up; a corruption the look-up
  // meets is reported and the key counts as absent.
  std::optional<Entry> stored(const EntryKey& key) const {
    if (const Entry* value = storedPointer(key)) return *value;
    return std::nullopt;
  }

  // The same, as a pointer into the collection, valid until its next change.
  const Entry* storedPointer(const EntryKey& key) const {
    try {
      bool found = false;
      const Entry* value = storage().map().writer().lookup(key, found, nullptr);
      if (found) return value;
    } catch (const Orvel::CorruptionDetectedException& e) {
      storage().map().doCorruptionDetected(e.what());
    }
    return nullptr;
  }

  // The key (a, e) of an indexed key, (e) of a value key, with the key's range checks.
  static EntryKey keyOf(unsigned arrayIndex, std::uint64_t entryIndex) {
    if constexpr (EntryKey::kIndexed) {
      return EntryKey::checked(arrayIndex, entryIndex);
    } else {
      return EntryKey::checked(entryIndex);
    }
  }

  static std::uint8_t arrayIndexOf(const EntryKey& key) {
    if constexpr (EntryKey::kIndexed)
      return key.arrayIndex();
    else
      return 0;
  }
  static std::uint32_t entryIndexOf(const EntryKey& key) {
    if constexpr (EntryKey::kIndexed)
      return key.entryIndex();
    else
      return key.value();
  }

  Orvel::String hwTableName_;
  Orvel::Ptr<Storage> entryStorage_;
};

template <class Entry>
class RegisterShadowAccessor : public RegisterKeyBasedShadowBase {
 public:
  using EntryKey = typename Entry::EntryKey;

  RegisterShadowAccessor(const Orvel::String& name, const HwShadowKey& key, const FapRevision& fapRevision,
                         const Orvel::Ptr<BcmGroupAddrInfo>& descriptor,
                         const Orvel::Ptr<Hardware::Vovu::Status>& status,
                         const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus,
                         const Orvel::Ptr<RegShadowEntryStorage>& storage, const Orvel::String& hwTableName)
      : RegisterKeyBasedShadowBase(name, key, fapRevision, descriptor, status, cmdletRequiredStatus, storage, name),
        hwTableName_(hwTableName) {}

  static Zev::TraceHandle& _defaultTraceHandle() { return shadowAccessorTraceHandle<Entry>(); }

  const Orvel::String& hwTableName() const noexcept { return hwTableName_; }

  // Refuses, with a graceful assertion, a shadow without a register entry
  // storage. The table operations call it before they count anything.
  void checkCollection() const { storage(); }

  void setEntry(const Entry& entry) {
    ASIC_CHECK_AT(kShadowAccessorFile, __LINE__, entry.entryKey().value() < EntryKey::null,
                  "entry.entryKey().entryIndex() < entry.entryKey().null()", "EntryKey out of bounds: {}",
                  entry.entryKey().strep());
    RegisterShadowPloomEntry stored(storageKey(entry.entryKey()));
    std::copy_n(entry.data(), Entry::entrySize, stored.data.begin());
    storage().entryCollIs(stored);
  }

  void deleteEntry(const EntryKey& key) {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 77, "", " shadowKey: {} entryKey: {}",
                        hwShadowKey(), key.strep());
    storage().entryCollDel(storageKey(key));
  }

  // The stored entry, or `key` with the default entry's data.
  Entry getEntry(const EntryKey& key) const {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 40, "", "key: {}", key.strep());
    return entryOrDefault(key);
  }

  bool present(const EntryKey& key) const { return storage().entryColl(storageKey(key)) != nullptr; }

  Orvel::Ptr<SchanAccel::SchanCmds> schanCmds(
      const SchanAccel::Fapmask& fapmask, const FapRevision& fapRevision, const EntryKey& key, bool isDelete,
      const Orvel::Ptr<Asic::LogEntryWrapperBase>& /*logEntry*/ = nullptr) const {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, 102, "", "key: {}", key.strep());
    const SchanAccel::Fapmask mask = writeMask(*this, fapmask, _defaultTraceHandle(), 107);
    if (mask == SchanAccel::Fapmask()) return nullptr;
    checkCollection();
    const Entry entry = isDelete ? entryWithDefaultData<Entry>(key, defaultEntry()) : entryOrDefault(key);
    return schanCmdsWorker(mask, fapRevision, 0, key.value(), entry.data(), Entry::entrySize);
  }

  // Deletes the shadow's entry.
  void collCleanup() { storage().entryCollDel(storageKey(EntryKey(0))); }

  // The entry the shadow holds for `key`, or nothing; no trace.
  std::optional<Entry> heldEntry(const EntryKey& key) const {
    const RegisterShadowPloomEntry* stored = storage().entryColl(storageKey(key));
    if (!stored) return std::nullopt;
    Entry entry(key);
    std::copy_n(stored->data.begin(), Entry::entrySize, entry.data());
    return entry;
  }

  Orvel::Ptr<SchanAccel::SchanCmds> download(const Orvel::String& fapType, const FapRevision& fapRevision,
                                             const SchanAccel::Fapmask& downloadFapmask) const override {
    return downloadShadow(*this, fapType, fapRevision, downloadFapmask);
  }

  Orvel::Ptr<SchanAccel::SchanCmds> clearShadow(const FapRevision& fapRevision,
                                                const SchanAccel::Fapmask& fapmask) override {
    return clearShadowOf(*this, fapRevision, fapmask);
  }

  // The entry-by-entry walk over the chips of `fapmask` the shadow covers
  // (null when none), writing the default entry when `isDelete`.
  Orvel::Ptr<SchanAccel::SchanCmds> downloadWorker(const FapRevision& fapRevision, const SchanAccel::Fapmask& fapmask,
                                                   bool isDelete) const {
    const SchanAccel::Fapmask mask = downloadWorkerMask(*this, fapRevision, fapmask, isDelete);
    if (mask == SchanAccel::Fapmask()) return nullptr;
    checkCollection();
    return downloadWorkerKeyBasedFullEntryByEntry(fapRevision, mask, isDelete);
  }

 protected:
  void handleInitialized() {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "tableName: {} ", name());
    initDefaultEntry();
  }
  // Run by the most-derived destructor; nothing may escape it.
  void onDelete() noexcept {
    VOVU_ACCESSOR_TRACE(_defaultTraceHandle(), 8, kShadowAccessorFile, __LINE__, "Shadow", "");
    if (!tableDescriptor()) return;
    cleanupDefaultEntry();
    if (regShadowEntryStorage()) {
      teardownStep(_defaultTraceHandle(), *this, "deleting the entry", [&] { collCleanup(); });
    }
  }

 private:
  RegShadowEntryStorage& storage() const {
    ASIC_CHECK_AT(kShadowAccessorFile, __LINE__, regShadowEntryStorage() != nullptr, "regShadowEntryStorage",
                  "No register entry storage for shadow {}", name());
    return *regShadowEntryStorage();
  }

  // The stored entry, or `key` with the default entry's data.
  Entry entryOrDefault(const EntryKey& key) const {
    const RegisterShadowPloomEntry* stored = storage().entryColl(storageKey(key));
    if (!stored) return entryWithDefaultData<Entry>(key, defaultEntry());
    Entry entry(EntryKey(stored->key.entryIndex));  // refuses a stored index past null
    std::copy_n(stored->data.begin(), Entry::entrySize, entry.data());
    return entry;
  }

  RegisterShadowPloomEntryKey storageKey(const EntryKey& key) const {
    return RegisterKeyBasedShadowBase::storageKey(key.value());
  }

  Orvel::String hwTableName_;
};

}  // namespace VovuAsicUtils
