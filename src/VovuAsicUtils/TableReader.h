// Reading tables back from the chip: the logic every reader shares, as bases
// of the generated reader classes.
//
// VovuAsicUtils::DirectTableReader<Table, withArrayIndex> answers the host's
// read requests for a memory table: request type 0 reads every array index,
// type 1 one array index, on every chip of the reader's mask (chip 128) or one
// chip, and every instance of the memory; the commands are the host's bulk
// reads. Each completed read is decoded into the container's per-instance
// result for (chip, instance): element i of the buffer is the entry at first
// entry index + i (with the read's array index where the key has one);
// all-zero elements are taken for empty entries and skipped.
// RegisterTableReader<Table> does the same for a register table's one entry.
//
// HwInstanceReadResult<Entry> holds the entries read back from one chip
// instance, by key.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "VovuAsicUtils/HwTableRead.h"
#include "VovuAsicUtils/HwTableReaderBase.h"

namespace VovuAsicUtils {

template <class Entry>
class HwInstanceReadResult final : public HwInstanceReadResultBase {
 public:
  ORVEL_SLAB_ALLOCATED("VovuAsicUtils::HwInstanceReadResult")
  using EntryKey = typename Entry::EntryKey;

  HwInstanceReadResult(const HwShadowKey& hwShadowKey, const FapRevision& fapRevision)
      : HwInstanceReadResultBase(hwShadowKey, fapRevision) {}
  static Orvel::Ptr<HwInstanceReadResult> hwInstanceReadResultFactory(const HwShadowKey& hwShadowKey,
                                                                      const FapRevision& fapRevision) {
    return Orvel::Ptr<HwInstanceReadResult>(new HwInstanceReadResult(hwShadowKey, fapRevision));
  }

  // Stores `entry` under its own key, replacing an entry of the same key.
  // Keys that come in ascending order (a decoded read) are added at the end
  // in constant time.
  void entryIs(const Entry& entry) {
    if (entry_.empty() || entry_.back().entryKey() < entry.entryKey()) {
      entry_.push_back(entry);
      return;
    }
    auto it = find(entry.entryKey());
    if (it != entry_.end() && it->entryKey() == entry.entryKey()) {
      *it = entry;
    } else {
      entry_.insert(it, entry);
    }
  }
  // Removes and returns the entry of `key`; the default Entry when there is none.
  Entry entryDel(const EntryKey& key) {
    auto it = find(key);
    if (it == entry_.end() || !(it->entryKey() == key)) return Entry();
    Entry removed = *it;
    entry_.erase(it);
    return removed;
  }
  void entryDelAll() noexcept { entry_.clear(); }
  // The entry of `key`, or null.
  const Entry* entry(const EntryKey& key) const {
    auto it = const_cast<HwInstanceReadResult*>(this)->find(key);
    return it == entry_.end() || !(it->entryKey() == key) ? nullptr : &*it;
  }
  // Every entry, in key order (the order of a table walk).
  const std::vector<Entry>& entries() const noexcept { return entry_; }

 private:
  // The first entry whose key is not below `key`.
  typename std::vector<Entry>::iterator find(const EntryKey& key) {
    return std::lower_bound(entry_.begin(), entry_.end(), key,
                            [](const Entry& e, const EntryKey& k) { return e.entryKey() < k; });
  }

  // Sorted by key: entries keyed by EntryKey, walked in table order.
  std::vector<Entry> entry_;
};

// Decodes the buffer of one completed read into the container's result for
// (chip, instance), creating that result when it is the first read for it.
// Returns the entries stored. A key outside its type's range throws
// Orvel::RangeException; the entries decoded before it stay stored.
template <class Result, class EntryKey, class Entry, bool withArrayIndex>
int processReadDmaComplete(const Orvel::Ptr<const HwReadBulkCmdInfo>& info,
                           const Orvel::Ptr<HwTableReadResultContainer>& container) {
  const HwShadowKey key(info->fapId(), info->instanceId());
  if (!container->perInstanceReadResult(key)) {
    container->perInstanceReadResultIs(Result::hwInstanceReadResultFactory(key, info->fapRevision()));
  }
  Result& result = static_cast<Result&>(*container->perInstanceReadResult(key));
  const std::uint8_t* cursor = info->dmaMemPoolBuffer()->va();
  constexpr std::size_t kSize = Entry::entrySize;
  int filled = 0;
  for (std::uint32_t i = 0; i < info->numEntries(); ++i) {
    const std::uint8_t* element = cursor + std::size_t{i} * kSize;
    if (std::all_of(element, element + kSize, [](std::uint8_t b) { return b == 0; })) continue;
    const std::uint64_t entryIndex = std::uint64_t{info->firstEntryIndex()} + i;
    EntryKey entryKey;
    if constexpr (withArrayIndex) {
      entryKey = EntryKey::checked(info->arrayIndex(), entryIndex);
    } else {
      entryKey = EntryKey::checked(entryIndex);
    }
    Entry entry(entryKey);
    std::copy_n(element, kSize, entry.data());
    result.entryIs(entry);
    ++filled;
  }
  return filled;
}

// The reader's decoding of a completed command: bulk reads only.
template <class Result, class Entry, bool withArrayIndex>
void processReadCompleteWorker(const Zev::TraceHandle& handle, const char* tag,
                               const Orvel::Ptr<const SchanAccel::SchanCmd>& cmd) {
  ORVEL_TRACE(handle, 8, tag, "");
  const auto* cmdlet = dynamic_cast<const GenericBulkReadCmdlet*>(cmd.ptr());
  if (!cmdlet) {
    ORVEL_TRACE(handle, 8, tag, " Ignoring cmd post processing");
    return;
  }
  const int numFilled = processReadDmaComplete<Result, typename Entry::EntryKey, Entry, withArrayIndex>(
      cmdlet->bulkInfo(), cmdlet->container());
  ORVEL_TRACE(handle, 3, tag, " numFilled = {}", numFilled);
}

// What every reader of `Table` has, on the host base `Base`: its descriptor
// (the table's, made when the reader initialises), the instance range of the
// descriptor's first memory, and the decoding of completed reads.
template <class Table, class Base, bool withArrayIndex>
class TableReaderOf : public Base {
 public:
  using Entry = typename Table::Entry;
  using EntryKey = typename Table::EntryKey;
  using HwInstanceReadResult = VovuAsicUtils::HwInstanceReadResult<Entry>;

  TableReaderOf(const HwTableKey& key, const Orvel::Ptr<ReadTableManager>& readTableManager)
      : Base(key, readTableManager) {}

  const Orvel::Ptr<typename Table::TableDescriptor>& tableDescriptor() const noexcept { return tableDescriptor_; }
  std::uint8_t minInstanceId() const override { return tableDescriptor_->firstMemInfo()->firstInstanceId(); }
  std::uint8_t maxInstanceId() const override { return tableDescriptor_->firstMemInfo()->lastInstanceId(); }

  void processReadComplete(const Orvel::Ptr<const SchanAccel::SchanCmd>& cmd) override {
    processReadCompleteWorker<HwInstanceReadResult, Entry, withArrayIndex>(Table::_defaultTraceHandle(),
                                                                           Table::tableName(), cmd);
  }

 protected:
  void tableDescriptorIs(const Orvel::Ptr<typename Table::TableDescriptor>& descriptor) {
    tableDescriptor_ = descriptor;
  }

 private:
  Orvel::Ptr<typename Table::TableDescriptor> tableDescriptor_;
};

template <class Table, bool withArrayIndex>
class DirectTableReader : public TableReaderOf<Table, DirectTableReaderBase, withArrayIndex> {
 public:
  using TableReaderOf<Table, DirectTableReaderBase, withArrayIndex>::TableReaderOf;

  Orvel::Ptr<SchanAccel::SchanCmds> tableReadSchanCmds(
      const Orvel::Ptr<const HwReadRequestParameterBase>& request,
      const Orvel::Ptr<HwTableReadResultContainer>& container) override {
    const Zev::TraceHandle& th = Table::_defaultTraceHandle();
    ORVEL_TRACE(th, 8, Table::tableName(), " fapId : {} instanceId {}", request->fapId(), request->instanceId());
    switch (request->requestType()) {
      case static_cast<std::uint8_t>(HwReadRequestType::table):
        ORVEL_TRACE(th, 3, Table::tableName(), " Processing Direct Table Read Request");
        return directReadSchanCmds(request->hwShadowKey(), true, 0, container);
      case static_cast<std::uint8_t>(HwReadRequestType::arrayIndex): {
        const Orvel::Ptr<const HwTableArrayIndexRead> arrayRead =
            Orvel::dynamicPtrCast<const HwTableArrayIndexRead>(request);
        if (!arrayRead) throw Orvel::InvalidInitializeException("an array-index read request without its array index");
        ORVEL_TRACE(th, 3, Table::tableName(), " Processing Direct Table Array Read Request arrayIndex: {}",
                    arrayRead->arrayIndex());
        return directReadSchanCmds(request->hwShadowKey(), false, arrayRead->arrayIndex(), container);
      }
      case static_cast<std::uint8_t>(HwReadRequestType::entry):
        ORVEL_TRACE(th, 3, Table::tableName(), " request: {} not implemented yet", request->requestType());
        return SchanAccel::schanCmdsFactory();
      default:
        ORVEL_TRACE(th, 3, Table::tableName(), "Invalid request type: {} not handled", request->requestType());
        return SchanAccel::schanCmdsFactory();
    }
  }

  Orvel::Ptr<SchanAccel::SchanCmds> directReadSchanCmds(
      const HwShadowKey& key, bool allArrayIndices, std::uint8_t arrayIndex,
      const Orvel::Ptr<HwTableReadResultContainer>& container) override {
    return readMemorySchanCmds(key, allArrayIndices, arrayIndex, container, this->tableDescriptor()->firstMemInfo());
  }

  // The same read of any memory of the table's descriptor (audits read every one).
  Orvel::Ptr<SchanAccel::SchanCmds> readMemorySchanCmds(const HwShadowKey& key, bool allArrayIndices,
                                                        std::uint8_t arrayIndex,
                                                        const Orvel::Ptr<HwTableReadResultContainer>& container,
                                                        const Orvel::Ptr<BcmRegMemInfo>& memory) const {
    ORVEL_TRACE(Table::_defaultTraceHandle(), 8, Table::tableName(),
                " inHwShadowKey : {} allArrayIndices {} arrayIndex: {}", key, allArrayIndices, arrayIndex);
    return DirectTableReaderBase::directReadSchanCmdsWorker(
        *this, this->chipMask(key.fapId()), key.instanceId(), allArrayIndices, arrayIndex, container,
        this->readTableManager()->dmaMemPoolManager(), this->readTableManager()->cmdletRequiredStatus(), memory);
  }
};

template <class Table>
class RegisterTableReader : public TableReaderOf<Table, RegisterReaderBase, false> {
 public:
  using TableReaderOf<Table, RegisterReaderBase, false>::TableReaderOf;

  // Type 0 and 1 read the register (its one entry); other types give an empty batch.
  Orvel::Ptr<SchanAccel::SchanCmds> tableReadSchanCmds(
      const Orvel::Ptr<const HwReadRequestParameterBase>& request,
      const Orvel::Ptr<HwTableReadResultContainer>& container) override {
    const std::uint8_t type = request->requestType();
    if (type == static_cast<std::uint8_t>(HwReadRequestType::table) ||
        type == static_cast<std::uint8_t>(HwReadRequestType::arrayIndex)) {
      return regReadSchanCmds(request->hwShadowKey(), true, 0, container);
    }
    ORVEL_TRACE(Table::_defaultTraceHandle(), 3, Table::tableName(), "Invalid request type: {} not handled", type);
    return SchanAccel::schanCmdsFactory();
  }

  Orvel::Ptr<SchanAccel::SchanCmds> regReadSchanCmds(const HwShadowKey& key, bool fullTable, std::uint32_t entryIndex,
                                                     const Orvel::Ptr<HwTableReadResultContainer>& container) {
    ORVEL_TRACE(Table::_defaultTraceHandle(), 8, Table::tableName(), " inHwShadowKey {} fullTable {} entryIndex {}",
                key, fullTable, entryIndex);
    return readMemorySchanCmds(key, fullTable, entryIndex, container, this->tableDescriptor()->firstMemInfo());
  }

  // The read of `memory` (a register of the table's descriptor), as the direct readers offer it.
  Orvel::Ptr<SchanAccel::SchanCmds> readMemorySchanCmds(const HwShadowKey& key, bool fullTable,
                                                        std::uint32_t entryIndex,
                                                        const Orvel::Ptr<HwTableReadResultContainer>& container,
                                                        const Orvel::Ptr<BcmRegMemInfo>& memory) const {
    return RegisterReaderBase::regReadSchanCmdsWorker(
        *this, this->chipMask(key.fapId()), key.instanceId(), fullTable, entryIndex, container,
        this->readTableManager()->dmaMemPoolManager(), this->readTableManager()->cmdletRequiredStatus(), memory);
  }
};

}  // namespace VovuAsicUtils
