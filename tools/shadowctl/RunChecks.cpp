#include "RunChecks.h"

#include <random>
#include <span>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "EncodeCommand.h"
#include "SchanAccel/SchanCmds.h"
#include "Zev/CharRange.h"
#include "sim/CatalogueMap.h"

namespace shadowctl {
namespace {

using bcm88490_a0::catalogue::TableDescription;
using bcm88490_a0::catalogue::TableKind;
using nlohmann::ordered_json;
using VovuAsicUtils::HwShadowKey;

// Executes `batch` on the simulator; returns the entries the chip `fapId` wrote.
std::uint64_t execute(sim::ChipSimulator& simulator, const Orvel::Ptr<SchanAccel::SchanCmds>& batch,
                      std::uint8_t fapId) {
  const std::uint64_t before = simulator.chip(fapId)->counters().entriesWritten;
  simulator.execute(batch);
  return simulator.chip(fapId)->counters().entriesWritten - before;
}

ordered_json chipEntriesJson(const TableDescription& t, const sim::Chip& chip) {
  ordered_json entries = ordered_json::array();
  sim::forEachChipEntry(t, chip,
                        [&](const auto& memory, std::uint8_t instance, std::uint32_t arrayIndex,
                            std::uint32_t entryIndex, std::span<const std::uint8_t> bytes) {
                          if (sim::allZero(bytes)) return;
                          entries.push_back({{"memory", memory.name},
                                             {"instance", instance},
                                             {"arrayIndex", arrayIndex},
                                             {"entryIndex", entryIndex},
                                             {"data", Zev::hexBytes(bytes.data(), bytes.size())}});
                        });
  return entries;
}

ShadowReport reportShadow(const TableRun& run, const HwShadowKey& key, const RunRequest& request,
                          const SchanAccel::Fapmask& mask, sim::ChipSimulator& simulator) {
  const TableDescription& t = *run.description;
  const auto& ops = *t.shadows;
  ShadowReport report;
  report.key = key;
  report.path = ops.path(*run.table, key);
  if (!report.path.empty()) report.directory = collectionDirectory(report.path);
  ops.forEachEntry(*run.table, key, [&](const void* entry) {
    ++report.entryCount;
    if (request.entries) {
      const ordered_json described = describeEntry(t, entry);
      report.entries.push_back({{"key", described["key"]}, {"data", described["data"]}});
    }
  });

  const Orvel::Ptr<SchanAccel::SchanCmds> batch =
      run.table->hwShadowColl(key)->download(run.table->chipName(), run.table->fapRevision(), mask);
  if (batch) {
    for (const Orvel::Ptr<SchanAccel::SchanCmd>& cmd : batch->cmds()) {
      (cmd->isBulk() ? report.download.bulkCommands : report.download.singleCommands)++;
    }
  }
  report.download.entriesWritten = execute(simulator, batch, key.fapId());
  report.download.check = sim::compareChipWithShadow(t, *run.table, key, *simulator.chip(key.fapId()));
  if (request.chipEntries) report.chip = chipEntriesJson(t, *simulator.chip(key.fapId()));
  return report;
}

// One entry of a direct table's memory on a simulated chip.
struct ChipEntry {
  std::uint8_t fapId;
  const TableDescription* table;
  const bcm88490_a0::catalogue::MemoryDescription* memory;
  std::uint8_t instance;
  std::uint32_t arrayIndex;
  std::uint32_t entryIndex;
};

}  // namespace

SchanAccel::Fapmask runMask(const std::vector<std::uint8_t>& chips) {
  SchanAccel::Fapmask mask;
  for (std::uint8_t chip : chips) mask.fapIdIs(chip);
  return mask;
}

std::vector<TableReport> reportTables(const AgentRun& agent, const RunRequest& request, const SchanAccel::Fapmask& mask,
                                      sim::ChipSimulator& simulator, const StopSignals& signals) {
  std::vector<TableReport> reports;
  for (const TableRun& run : agent.tables()) {
    if (run.description->values->entryBytes > sizeof(EntryStorage)) {
      throw std::runtime_error(fmt::format("{} entries take {} bytes; shadowctl holds at most {}",
                                           run.description->name, run.description->values->entryBytes,
                                           sizeof(EntryStorage)));
    }
    TableReport table{run.description, {}};
    for (const HwShadowKey& key : run.shadows) {
      signals.throwIfRequested();
      table.shadows.push_back(reportShadow(run, key, request, mask, simulator));
    }
    reports.push_back(std::move(table));
  }
  return reports;
}

void clearShadows(const AgentRun& agent, std::vector<TableReport>& reports, const SchanAccel::Fapmask& mask,
                  sim::ChipSimulator& simulator, const StopSignals& signals) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const TableRun& run = agent.tables()[i];
    for (ShadowReport& s : reports[i].shadows) {
      signals.throwIfRequested();
      const Orvel::Ptr<SchanAccel::SchanCmds> batch =
          run.table->hwShadowColl(s.key)->clearShadow(run.table->fapRevision(), mask);
      ClearReport clear;
      clear.commands = batch ? batch->size() : 0;
      simulator.execute(batch);
      sim::forEachChipEntry(*run.description, *simulator.chip(s.key.fapId()),
                            [&](const auto&, std::uint8_t, std::uint32_t, std::uint32_t,
                                std::span<const std::uint8_t> bytes) { clear.nonZeroEntries += !sim::allZero(bytes); });
      s.clear = clear;
    }
  }
}

void corruptChips(const AgentRun& agent, const std::vector<std::uint8_t>& chips, sim::ChipSimulator& simulator,
                  std::uint32_t count, std::uint64_t seed) {
  std::vector<ChipEntry> candidates;
  for (std::uint8_t fapId : chips) {
    for (const TableRun& run : agent.tables()) {
      if (run.description->kind != TableKind::direct) continue;
      sim::forEachChipEntry(*run.description, *simulator.chip(fapId),
                            [&](const auto& memory, std::uint8_t instance, std::uint32_t arrayIndex,
                                std::uint32_t entryIndex, std::span<const std::uint8_t>) {
                              candidates.push_back({fapId, run.description, &memory, instance, arrayIndex, entryIndex});
                            });
    }
  }
  if (count > candidates.size()) {
    throw std::runtime_error(
        fmt::format("--corrupt: {} entries asked for; the chips' direct memories hold {}", count, candidates.size()));
  }
  std::mt19937_64 random(seed);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::swap(candidates[i], candidates[i + random() % (candidates.size() - i)]);
    const ChipEntry& e = candidates[i];
    simulator.chip(e.fapId)->flipBit(e.memory->name, e.instance, e.arrayIndex, e.entryIndex,
                                     static_cast<std::uint32_t>(random() % (e.memory->entrySize * 8u)));
  }
}

void auditShadows(const AgentRun& agent, std::vector<TableReport>& reports, bool repair, sim::ChipSimulator& simulator,
                  const StopSignals& signals) {
  const VovuAsicUtils::CommandExecutor execute = [&](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
    simulator.execute(batch);
  };
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const TableRun& run = agent.tables()[i];
    for (ShadowReport& s : reports[i].shadows) {
      signals.throwIfRequested();
      s.audit = run.description->audit(*run.table, s.key, agent.readTableManager(), execute, repair);
    }
  }
}

AuditTotals auditTotals(const std::vector<TableReport>& reports) {
  AuditTotals totals;
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      if (!s.audit) continue;
      totals.found += s.audit->found();
      totals.remaining += s.audit->remaining;
      totals.zeroAmbiguous += s.audit->zeroAmbiguous;
      totals.repaired += s.audit->repaired;
    }
  }
  return totals;
}

std::size_t failedChecks(const std::vector<TableReport>& reports) {
  std::size_t failed = 0;
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      failed += !s.download.check.matches();
      failed += s.clear && s.clear->nonZeroEntries != 0;
    }
  }
  return failed;
}

}  // namespace shadowctl
