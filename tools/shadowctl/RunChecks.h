// The work `shadowctl run` does on each shadow and what it finds: the
// shadow's entries, its download executed by the chip simulator and the check
// of the chip against the shadow, the clear, and the audit through the
// table's reader after optional corruption of the chips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentRun.h"
#include "RunOptions.h"
#include "SchanAccel/Fapmask.h"
#include "StopSignals.h"
#include "VovuAsicUtils/AuditReport.h"
#include "sim/ChipSimulator.h"
#include "sim/ShadowImage.h"

namespace shadowctl {

struct DownloadReport {
  std::size_t bulkCommands = 0;
  std::size_t singleCommands = 0;
  std::uint64_t entriesWritten = 0;  // by the chip, counting every memory and instance
  sim::ImageComparison check;
};

struct ClearReport {
  std::size_t commands = 0;
  std::uint64_t nonZeroEntries = 0;  // entries of the table's memories the chip still holds
};

struct ShadowReport {
  VovuAsicUtils::HwShadowKey key;
  std::string path;       // the shadow's state path; empty for a register shadow
  std::string directory;  // the directory of its collection; empty for a register shadow
  std::size_t entryCount = 0;
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();  // {"key", "data"}, when asked for
  DownloadReport download;
  std::optional<ClearReport> clear;
  std::optional<VovuAsicUtils::AuditReport> audit;
  nlohmann::ordered_json chip = nlohmann::ordered_json::array();  // the chip's non-zero entries, when asked for
};

struct TableReport {
  const bcm88490_a0::catalogue::TableDescription* description;
  std::vector<ShadowReport> shadows;
};

// The chips of the run, as one mask: every shadow is downloaded to all of
// them and keeps its own chip.
SchanAccel::Fapmask runMask(const std::vector<std::uint8_t>& chips);

// Reports every shadow of every table: its entries, and its download to all
// chips of `mask`, executed by `simulator`, with the check of its own chip.
// Throws std::runtime_error when a table's entries do not fit shadowctl's
// entry storage; Interrupted on a stop signal.
std::vector<TableReport> reportTables(const AgentRun& agent, const RunRequest& request, const SchanAccel::Fapmask& mask,
                                      sim::ChipSimulator& simulator, const StopSignals& signals);

// Clears every shadow, executes the commands and counts the non-zero entries
// each chip still holds in the table's memories.
void clearShadows(const AgentRun& agent, std::vector<TableReport>& reports, const SchanAccel::Fapmask& mask,
                  sim::ChipSimulator& simulator, const StopSignals& signals);

// Flips one random bit in each of `count` distinct random entries of the
// direct tables' memories on the chips of the run, chosen from `seed`. Throws
// std::runtime_error when the memories hold fewer than `count` entries.
void corruptChips(const AgentRun& agent, const std::vector<std::uint8_t>& chips, sim::ChipSimulator& simulator,
                  std::uint32_t count, std::uint64_t seed);

// Audits (and with `repair`, repairs) every shadow against its chip.
void auditShadows(const AgentRun& agent, std::vector<TableReport>& reports, bool repair, sim::ChipSimulator& simulator,
                  const StopSignals& signals);

struct AuditTotals {
  std::uint64_t found = 0;
  std::uint64_t remaining = 0;
  std::uint64_t zeroAmbiguous = 0;
  std::uint64_t repaired = 0;
};

// The audits' figures summed over every shadow audited.
AuditTotals auditTotals(const std::vector<TableReport>& reports);

// Shadows whose chip does not hold what they say after the download or the clear.
std::size_t failedChecks(const std::vector<TableReport>& reports);

}  // namespace shadowctl
