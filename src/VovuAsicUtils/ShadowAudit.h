// Auditing a shadow against its chip, and repairing what differs.
//
// auditShadow<Table, Reader> reads the shadow's chip back through the table's
// reader, every memory of the table's descriptor (the reader's own requests
// read the first; the audit reads each with the same worker), every instance
// the shadow writes, and compares the decoded entries with the shadow over
// every key of the table's range:
//   missing    the shadow holds an entry the chip does not hold,
//   extra      the chip holds an entry the shadow does not hold,
//   differing  both hold the key, with different data.
// A read-back skips all-zero entries, so a shadow entry whose data is all zero
// and an entry the chip does not hold look the same: the audit counts them
// equal, as zeroAmbiguous. With `repair`, every key that differs in any memory
// or instance is written again with the table's schanCmds, and the audit runs
// once more: `remaining` is what it still finds.
//
// The host executes the commands (`execute`); the audit hands each completed
// read command back to the reader.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/AuditReport.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableRead.h"
#include "VovuAsicUtils/TableDescription.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

namespace detail {

// Names of the fields of `fields` (aliases left out) whose bits differ between `a` and `b`.
template <class FieldList>
std::vector<std::string> differingFields(const FieldList& fields, const std::uint8_t* a, const std::uint8_t* b) {
  std::vector<std::string> names;
  for (const auto& field : fields) {
    if (field.aliasOf) continue;
    for (std::uint32_t bit = field.offset; bit < field.offset + field.width; ++bit) {
      if (((a[bit / 8] ^ b[bit / 8]) >> (bit % 8)) & 1u) {
        names.emplace_back(field.name);
        break;
      }
    }
  }
  return names;
}

template <class Entry>
std::array<std::uint64_t, 2> keyParts(const typename Entry::EntryKey& key) {
  if constexpr (Entry::EntryKey::kIndexed) {
    return {key.arrayIndex(), key.entryIndex()};
  } else {
    return {key.value(), 0};
  }
}

// One memory instance read back: its entries in key order, and how far the
// walk has come through them.
template <class Entry>
struct ReadBack {
  std::string memory;
  std::uint8_t instance;
  const std::vector<Entry>* entries;
  std::size_t next = 0;

  // The read entry of `key`, the walk's next key, or null.
  template <class EntryKey>
  const Entry* take(const EntryKey& key) {
    if (next < entries->size() && (*entries)[next].entryKey() == key) return &(*entries)[next++];
    return nullptr;
  }
};

// One audit pass (no repair): every memory and instance read back, then one
// walk over the table's keys that looks each key up in the shadow once and
// compares it with every read-back.
template <class Table, class Reader>
AuditReport compareWithChip(const typename Table::Shadow& shadow, const HwShadowKey& key, Reader& reader,
                            const CommandExecutor& execute) {
  using Entry = typename Table::Entry;
  using EntryKey = typename Table::EntryKey;
  using Result = typename Reader::HwInstanceReadResult;
  const auto& description = Table::description();
  std::vector<Orvel::Ptr<HwTableReadResultContainer>> containers;
  std::vector<ReadBack<Entry>> reads;
  static const std::vector<Entry> kNone;
  for (const auto& [memoryId, memory] : reader.tableDescriptor()->memInfoColl()) {
    const Orvel::Ptr<HwTableReadResultContainer> container(new HwTableReadResultContainer);
    containers.push_back(container);
    const Orvel::Ptr<SchanAccel::SchanCmds> batch = reader.readMemorySchanCmds(key, true, 0, container, memory);
    execute(batch);
    for (const Orvel::Ptr<SchanAccel::SchanCmd>& cmd : batch->cmds()) reader.processReadComplete(cmd);
    const InstanceRange instances = shadow.instanceRange(*memory);
    for (unsigned instance = instances.first; instance <= instances.last; ++instance) {
      const auto result = Orvel::dynamicPtrCast<Result>(
          container->perInstanceReadResult(HwShadowKey(key.fapId(), static_cast<std::uint8_t>(instance))));
      reads.push_back(
          {memory->name().str(), static_cast<std::uint8_t>(instance), result ? &result->entries() : &kNone});
    }
  }

  AuditReport report;
  const Entry zero;
  bcm88490_a0::catalogue::forEachKey(description, [&](std::uint64_t first, std::uint64_t second) {
    EntryKey entryKey;
    if constexpr (EntryKey::kIndexed) {
      entryKey = EntryKey::checked(first, second);
    } else {
      entryKey = EntryKey::checked(first);
    }
    const std::optional<Entry> held = shadow.heldEntry(entryKey);
    const bool heldZero = held && std::equal(held->data(), held->data() + Entry::entrySize, zero.data());
    for (ReadBack<Entry>& readBack : reads) {
      ++report.compared;
      const Entry* read = readBack.take(entryKey);
      if (!read) {
        report.zeroAmbiguous += heldZero;
        if (!held || heldZero) continue;
      } else if (held && std::equal(held->data(), held->data() + Entry::entrySize, read->data())) {
        continue;
      }
      AuditDifference difference;
      difference.kind = !read   ? AuditDifference::Kind::missing
                        : !held ? AuditDifference::Kind::extra
                                : AuditDifference::Kind::differing;
      difference.memory = readBack.memory;
      difference.instance = readBack.instance;
      difference.key = keyParts<Entry>(entryKey);
      difference.keyText = entryKey.strep();
      if (held) difference.shadow.assign(held->data(), held->data() + Entry::entrySize);
      if (read) difference.chip.assign(read->data(), read->data() + Entry::entrySize);
      difference.fields = differingFields(description.values->fields, held ? held->data() : zero.data(),
                                          read ? read->data() : zero.data());
      switch (difference.kind) {
        case AuditDifference::Kind::missing:
          ++report.missing;
          break;
        case AuditDifference::Kind::extra:
          ++report.extra;
          break;
        case AuditDifference::Kind::differing:
          ++report.differing;
          break;
      }
      report.differences.push_back(std::move(difference));
    }
  });
  return report;
}

}  // namespace detail

// Audits the shadow of `key` in `table` (see above), reading with a new
// Reader made by `readTableManager`'s reader factory for the table's
// revision, restricted to the shadow's chip. Throws
// Orvel::InvalidInitializeException when the table holds no such shadow, and
// whatever the reads, the decoding or `execute` throw.
template <class Table, class Reader>
AuditReport auditShadow(const HwCommonTableBase& base, const HwShadowKey& key,
                        const Orvel::Ptr<ReadTableManager>& readTableManager, const CommandExecutor& execute,
                        bool repair) {
  const Table& table = static_cast<const Table&>(base);
  const Orvel::Ptr<typename Table::Shadow> shadow = table.shadow(key);
  if (!shadow) {
    throw Orvel::InvalidInitializeException(
        fmt::format("{}: no shadow {} to audit", Table::tableName(), key.toString()));
  }
  const Orvel::Ptr<Reader> reader = Reader::factory(table.fapRevision(), readTableManager);
  SchanAccel::Fapmask chip;
  chip.fapIdIs(key.fapId());
  reader->fapmaskIs(chip);

  AuditReport report = detail::compareWithChip<Table>(*shadow, key, *reader, execute);
  report.remaining = report.found();
  if (!repair || report.found() == 0) return report;

  std::set<std::array<std::uint64_t, 2>> keys;
  for (const AuditDifference& d : report.differences) keys.insert(d.key);
  for (const auto& [first, second] : keys) {
    typename Table::EntryKey entryKey;
    if constexpr (Table::EntryKey::kIndexed) {
      entryKey = Table::EntryKey::checked(first, second);
    } else {
      entryKey = Table::EntryKey::checked(first);
    }
    execute(table.schanCmds(key, entryKey));
  }
  report.repaired = keys.size();
  report.remaining = detail::compareWithChip<Table>(*shadow, key, *reader, execute).found();
  return report;
}

}  // namespace VovuAsicUtils
