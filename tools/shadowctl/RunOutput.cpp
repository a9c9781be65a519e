#include "RunOutput.h"

#include <unistd.h>

#include <array>
#include <ostream>
#include <string>

#include <fmt/format.h>

#include "EncodeCommand.h"
#include "TextTable.h"
#include "Zev/CharRange.h"

namespace shadowctl {
namespace {

using bcm88490_a0::catalogue::KeyForm;
using bcm88490_a0::catalogue::TableDescription;
using nlohmann::ordered_json;

ordered_json keyJson(const TableDescription& t, const std::array<std::uint64_t, 2>& key) {
  if (t.key.form == KeyForm::indexed) return {{"arrayIndex", key[0]}, {"entryIndex", key[1]}};
  return {{"value", key[0]}};
}

ordered_json hexOrNull(const std::vector<std::uint8_t>& bytes) {
  return bytes.empty() ? ordered_json(nullptr) : ordered_json(Zev::hexBytes(bytes.data(), bytes.size()));
}

ordered_json auditJson(const TableDescription& t, const VovuAsicUtils::AuditReport& audit) {
  ordered_json differences = ordered_json::array();
  for (const VovuAsicUtils::AuditDifference& d : audit.differences) {
    differences.push_back({{"key", keyJson(t, d.key)},
                           {"kind", VovuAsicUtils::kindText(d.kind)},
                           {"memory", d.memory},
                           {"instance", d.instance},
                           {"shadow", hexOrNull(d.shadow)},
                           {"chip", hexOrNull(d.chip)},
                           {"fields", d.fields}});
  }
  return {{"missing", audit.missing},
          {"extra", audit.extra},
          {"differing", audit.differing},
          {"zeroAmbiguous", audit.zeroAmbiguous},
          {"repaired", audit.repaired},
          {"remaining", audit.remaining},
          {"differences", std::move(differences)}};
}

std::string checkText(const sim::ImageComparison& check) {
  return check.matches() ? "matches" : fmt::format("DIFFERS ({} of {})", check.mismatches, check.entriesCompared);
}

std::string auditText(const VovuAsicUtils::AuditReport& audit) {
  if (audit.found() == 0) return "ok";
  return audit.repaired != 0 ? fmt::format("{} found, {} left", audit.found(), audit.remaining)
                             : fmt::format("{} FOUND", audit.found());
}

// The audit's summary and each difference: table, chip, memory and instance, key, data and fields.
void printAudit(const std::vector<TableReport>& reports, const RunRequest& request, std::ostream& out) {
  const AuditTotals totals = auditTotals(reports);
  out << fmt::format("audit: {} differences between shadows and chips", totals.found);
  if (request.repair) out << fmt::format(", {} keys repaired, {} left", totals.repaired, totals.remaining);
  out << fmt::format("; {} all-zero shadow entries read back as absent (counted equal)\n", totals.zeroAmbiguous);
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      if (!s.audit) continue;
      for (const VovuAsicUtils::AuditDifference& d : s.audit->differences) {
        std::string fields;
        for (const std::string& f : d.fields) fields += (fields.empty() ? "" : ",") + f;
        out << fmt::format("  {} chip {} {}[{}] {:<8} {:<9} shadow {} chip {}  {}\n", table.description->name,
                           s.key.fapId(), d.memory, d.instance, entryKeyText(keyJson(*table.description, d.key)),
                           VovuAsicUtils::kindText(d.kind),
                           d.shadow.empty() ? "-" : Zev::hexBytes(d.shadow.data(), d.shadow.size()),
                           d.chip.empty() ? "-" : Zev::hexBytes(d.chip.data(), d.chip.size()),
                           fields.empty() ? "bits outside the named fields" : "fields " + fields);
      }
    }
  }
}

// One shadow's object of the JSON report.
ordered_json shadowJson(const TableDescription& t, const ShadowReport& s, const RunRequest& request) {
  ordered_json shadow = {{"fapId", s.key.fapId()},
                         {"instance", s.key.instanceId()},
                         {"path", s.path.empty() ? ordered_json(nullptr) : ordered_json(s.path)},
                         {"entryCount", s.entryCount},
                         {"download",
                          {{"bulkCommands", s.download.bulkCommands},
                           {"singleCommands", s.download.singleCommands},
                           {"entriesWritten", s.download.entriesWritten},
                           {"matches", s.download.check.matches()}}}};
  if (s.clear) shadow["clear"] = {{"commands", s.clear->commands}, {"zeros", s.clear->nonZeroEntries == 0}};
  if (s.audit) shadow["audit"] = auditJson(t, *s.audit);
  if (request.entries) shadow["entries"] = s.entries;
  if (request.chipEntries) shadow["chip"] = s.chip;
  return shadow;
}

// A row per shadow under a header, and the summary line.
void printShadowTable(const std::vector<TableReport>& reports, const RunRequest& request, std::ostream& out) {
  std::vector<std::string> header = {"TABLE", "FAP", "INSTANCE", "ENTRIES", "BULK", "SINGLE", "WRITTEN", "CHIP"};
  if (request.clear) header.push_back("CLEARED");
  if (request.auditing()) header.push_back("AUDIT");
  header.push_back("PATH");
  std::vector<std::vector<std::string>> rows;
  std::size_t shadows = 0, entries = 0, bulk = 0, single = 0;
  std::uint64_t written = 0;
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      std::vector<std::string> row = {table.description->name,
                                      std::to_string(s.key.fapId()),
                                      std::to_string(s.key.instanceId()),
                                      std::to_string(s.entryCount),
                                      std::to_string(s.download.bulkCommands),
                                      std::to_string(s.download.singleCommands),
                                      std::to_string(s.download.entriesWritten),
                                      checkText(s.download.check)};
      if (s.clear) {
        row.push_back(s.clear->nonZeroEntries == 0 ? "zeros" : fmt::format("{} NON-ZERO", s.clear->nonZeroEntries));
      }
      if (s.audit) row.push_back(auditText(*s.audit));
      row.push_back(s.path.empty() ? "-" : s.path);
      rows.push_back(std::move(row));
      ++shadows;
      entries += s.entryCount;
      bulk += s.download.bulkCommands;
      single += s.download.singleCommands;
      written += s.download.entriesWritten;
    }
  }
  printAligned(out, header, rows);
  const std::size_t failed = failedChecks(reports);
  out << fmt::format(
      "{} tables, {} shadows, {} entries; download: {} bulk and {} single commands, {} entries written; {}\n",
      reports.size(), shadows, entries, bulk, single, written,
      failed == 0 ? std::string(request.clear ? "every chip matched its shadows and read zeros after the clear"
                                              : "every chip matches its shadows")
                  : fmt::format("{} checks FAILED", failed));
}

// Below the table, per shadow: the chip's mismatches, and the entries and
// chip entries when asked for.
void printShadowLists(const std::vector<TableReport>& reports, const RunRequest& request, std::ostream& out) {
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      for (const sim::ImageMismatch& m : s.download.check.first) {
        out << fmt::format("  {} chip {}: {}[{}] {},{}: shadow {} chip {}\n", table.description->name, s.key.fapId(),
                           m.memory, m.instance, m.arrayIndex, m.entryIndex,
                           Zev::hexBytes(m.shadow.data(), m.shadow.size()),
                           Zev::hexBytes(m.chip.data(), m.chip.size()));
      }
      if (request.entries) {
        out << fmt::format("\n{} chip {} instance {}: {} entries\n", table.description->name, s.key.fapId(),
                           s.key.instanceId(), s.entryCount);
        for (const auto& e : s.entries) {
          out << fmt::format("  {:<10} {}\n", entryKeyText(e["key"]), e["data"].get<std::string>());
        }
      }
      if (request.chipEntries) {
        out << fmt::format("\n{} chip {}: {} non-zero entries on the chip\n", table.description->name, s.key.fapId(),
                           s.chip.size());
        for (const auto& e : s.chip) {
          out << fmt::format("  {}[{}] {},{} {}\n", e["memory"].get<std::string>(), e["instance"].get<int>(),
                             e["arrayIndex"].get<std::uint32_t>(), e["entryIndex"].get<std::uint32_t>(),
                             e["data"].get<std::string>());
        }
      }
    }
  }
}

}  // namespace

ordered_json reportJson(const AgentRun& agent, const std::vector<TableReport>& reports, const RunRequest& request) {
  ordered_json tables = ordered_json::array();
  for (const TableReport& table : reports) {
    ordered_json shadows = ordered_json::array();
    for (const ShadowReport& s : table.shadows) {
      shadows.push_back(shadowJson(*table.description, s, request));
    }
    tables.push_back({{"name", table.description->name}, {"shadows", std::move(shadows)}});
  }
  ordered_json report = {{"revision", agent.revision().revString()},
                         {"dmaBuffer", request.noDma ? ordered_json(nullptr) : ordered_json(request.dmaBuffer)}};
  if (request.corrupt != 0) report["corrupt"] = {{"entries", request.corrupt}, {"seed", request.seed}};
  if (request.auditing()) {
    const AuditTotals totals = auditTotals(reports);
    report["audit"] = {{"differences", totals.found}, {"remaining", totals.remaining}};
  }
  report["tables"] = std::move(tables);
  return report;
}

void printHuman(const AgentRun& agent, const std::vector<std::uint8_t>& chips, const std::vector<TableReport>& reports,
                const RunRequest& request, std::ostream& out) {
  std::string chipList;
  for (std::uint8_t chip : chips) chipList += (chipList.empty() ? "" : ",") + std::to_string(chip);
  out << fmt::format("revision {}, chips {}, {}, collections below {}\n", agent.revision().revString(), chipList,
                     request.noDma ? "no DMA memory" : fmt::format("DMA buffers of {} bytes", request.dmaBuffer),
                     agent.root().string());

  printShadowTable(reports, request, out);
  if (request.auditing()) printAudit(reports, request, out);
  printShadowLists(reports, request, out);
}

void printServing(const std::vector<TableReport>& reports, const AgentRun& agent, std::ostream& out) {
  std::vector<std::string> directories;
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      if (!s.directory.empty()) directories.push_back(s.directory);
    }
  }
  const int pid = static_cast<int>(::getpid());
  out << fmt::format("serving {} collections below {} (pid {}); stop with Ctrl-C or kill {}\n", directories.size(),
                     agent.root().string(), pid, pid);
  if (directories.empty()) return;
  out << "read one from another shell with `shadowctl dump DIR`, DIR one of:\n";
  for (const std::string& dir : directories) out << "  " << dir << '\n';
}

}  // namespace shadowctl
