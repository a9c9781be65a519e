#include "RunCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "EncodeCommand.h"
#include "TextTable.h"
#include "Mem/OrlRootPath.h"
#include "Orvel/Exception.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "VovuAsicUtils/AuditReport.h"
#include "Zev/CharRange.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"
#include "sim/ShadowImage.h"

namespace shadowctl {
namespace {

namespace fs = std::filesystem;
using bcm88490_a0::catalogue::KeyForm;
using bcm88490_a0::catalogue::TableDescription;
using bcm88490_a0::catalogue::TableKind;
using nlohmann::ordered_json;
using VovuAsicUtils::FapRevision;
using VovuAsicUtils::HwShadowKey;

// The name a shadow's mount gives its entry collection
// (ShadowAccessor::mountPloom): the collection's path is the shadow's state
// path, a slash and this name.
constexpr std::string_view kEntryCollection = "entryColl";
// The run adds instance 0 of each chip.
constexpr std::uint8_t kInstance = 0;
constexpr FapRevision kDefaultRevision = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
// Exit status of a run whose chips do not hold what the shadows say.
constexpr int kCheckFailedStatus = 2;
// Exit status of a run cut short by a stop signal (128 + SIGINT, as shells report it).
constexpr int kInterruptedStatus = 130;

// ---------------------------------------------------------------------------
// Stop signals. The handler writes one byte into a pipe; the run looks at the
// pipe between tables and, when serving, waits on it. The byte stays in the
// pipe, so a signal that came early is still seen later.

int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
  errno = saved;
}

struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

class StopSignals {
 public:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

  StopSignals() {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot create the stop-signal pipe");
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    // A reader of the output that goes away (`shadowctl run | head`) must not
    // end the process before it has removed its collections.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previousPipe_);
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    ::sigaction(SIGPIPE, &previousPipe_, nullptr);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool requested() const { return waitFor(0); }
  void throwIfRequested() const {
    if (requested()) throw Interrupted();
  }
  void wait() const {
    while (!waitFor(-1)) {
    }
  }

 private:
  static bool waitFor(int timeoutMs) {
    pollfd fd{stopPipe[0], POLLIN, 0};
    const int ready = ::poll(&fd, 1, timeoutMs);
    return ready > 0;
  }

  struct sigaction previous_[std::size(kSignals)] {};
  struct sigaction previousPipe_ {};
};

// ---------------------------------------------------------------------------
// Options.

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// "0,3" -> {0, 3}, in the order given.
std::vector<std::uint8_t> parseChips(std::string_view text) {
  if (trimmed(text).empty()) throw std::runtime_error("--chips: no chip given; e.g. --chips 0,1");
  std::vector<std::uint8_t> chips;
  for (bool more = true; more;) {
    const std::size_t comma = text.find(',');
    const std::string_view item = trimmed(text.substr(0, comma));
    more = comma != std::string_view::npos;
    if (more) text.remove_prefix(comma + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (item.empty() || ec != std::errc() || end != item.data() + item.size() || value > 255) {
      throw std::runtime_error(
          fmt::format("--chips: '{}' is not a chip id (a fap id, 0 to 255); e.g. --chips 0,1", item));
    }
    if (std::find(chips.begin(), chips.end(), value) != chips.end()) {
      throw std::runtime_error(fmt::format("--chips: chip {} is given twice", value));
    }
    chips.push_back(static_cast<std::uint8_t>(value));
  }
  return chips;
}

// A revision as `shadowctl tables` prints it (revString(), e.g. "bcm88490_a0r1")
// or as --revisions takes it (CHIPTYPE.MINOR, e.g. "25.1").
FapRevision parseRevision(const std::string& text) {
  if (text.empty()) return kDefaultRevision;
  std::set<FapRevision> known = VovuAsicUtils::SupportedFapRevList::fapRevisionList();
  known.insert(kDefaultRevision);
  for (const auto& r : VovuAsicUtils::HwTableHolderContext::singleton()->hwTableFactories()) {
    known.insert(r.key.fapRevision());
  }
  std::string names;
  for (const FapRevision& r : known) {
    if (r.revString() == text) return r;
    names += (names.empty() ? "" : ", ") + r.revString();
  }
  std::set<FapRevision> parsed;
  try {
    parsed = VovuAsicUtils::SupportedFapRevList::parse(text);
  } catch (const Orvel::Exception& e) {
    throw std::runtime_error(fmt::format("--revision: {}, nor a revision name ({})", e.what(), names));
  }
  if (parsed.size() != 1) throw std::runtime_error(fmt::format("--revision: give one revision, not '{}'", text));
  return *parsed.begin();
}

// ---------------------------------------------------------------------------
// The tables and shadows of a run.

struct TableRun {
  const TableDescription* description;
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table;
  std::vector<HwShadowKey> shadows;  // added, in the order of --chips
};

// The directory (below the base directory) of the entry collection of the
// shadow whose state path is `statePath`.
std::string collectionDirectory(const std::string& statePath) {
  return Mem::OrlRootPath(statePath + "/" + std::string(kEntryCollection)).path();
}

// Everything the run creates, and its removal. Teardown drops the shadows
// (which unmounts their collections), then the tables and the table manager,
// then removes the collection directories of the shadows this run mounted or
// created, then the directories above them that it created, when empty.
class AgentRun {
 public:
  explicit AgentRun(const FapRevision& revision) : revision_(revision), manager_(new VovuAsicUtils::TableManager()) {
    std::error_code error;
    fs::path root = fs::absolute(fs::path(Mem::baseDir()), error).lexically_normal();
    if (error) throw std::runtime_error(fmt::format("{}: {}", Mem::baseDir(), error.message()));
    if (!root.has_filename()) root = root.parent_path();
    root_ = root;
    for (fs::path p = root; p.has_relative_path() && !fs::exists(p, error); p = p.parent_path()) {
      createdAncestors_.push_back(p);
    }
  }
  ~AgentRun() { tearDown(); }
  AgentRun(const AgentRun&) = delete;
  AgentRun& operator=(const AgentRun&) = delete;

  const fs::path& root() const noexcept { return root_; }
  const FapRevision& revision() const noexcept { return revision_; }
  const std::vector<TableRun>& tables() const noexcept { return tables_; }

  // Creates every table of the catalogue: plug-in tables through the table
  // factory registered for the revision, standalone ones through their free factory.
  void createTables(const PluginHost& host, const StopSignals& signals) {
    auto* context = VovuAsicUtils::HwTableHolderContext::singleton();
    for (const TableDescription* t : host.tables()) {
      signals.throwIfRequested();
      const VovuAsicUtils::HwTableKey key(t->name, revision_);
      Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table;
      if (t->tablePlugin) {
        if (!context->hwTableFactory(key)) throw std::runtime_error(missingFactory(*t));
        table = context->hwTableCreate(key, manager_, nullptr);
      } else {
        table = t->freeFactory(t->name, key, manager_);
      }
      if (!table) throw std::runtime_error(fmt::format("the factory of {} made no table", t->name));
      manager_->hwTableCollIs(table.ptr());
      tables_.push_back(TableRun{t, table, {}});
    }
  }

  // Adds the shadow of each chip (instance 0) to every table, which writes the
  // table's default contents into it.
  void addShadows(const std::vector<std::uint8_t>& chips, const StopSignals& signals) {
    for (TableRun& run : tables_) {
      for (std::uint8_t chip : chips) {
        signals.throwIfRequested();
        const HwShadowKey key(chip, kInstance);
        addShadow(run, key);
      }
    }
  }

  const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager() const noexcept { return readManager_; }

  // Sets up the table manager's DMA pool as the request asks.
  void dmaPoolIs(const RunRequest& request) {
    DmaMemPoolManager::DmaMemPoolManager& pool = *manager_->dmaMemPoolManager();
    pool.bufSizeIs(request.dmaBuffer);
    pool.dmaMemoryIs(!request.noDma);
  }

  // Idempotent; returns what could not be removed.
  std::vector<std::string> tearDown() noexcept {
    std::vector<std::string> problems;
    try {
      for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
        for (const HwShadowKey& key : it->shadows) it->table->delShadow(key);
        it->shadows.clear();
        it->table = nullptr;
      }
      tables_.clear();
      manager_ = nullptr;
    } catch (const std::exception& e) {
      problems.push_back(fmt::format("while dropping the tables: {}", e.what()));
    }
    for (const fs::path& dir : ownDirectories_) {
      std::error_code error;
      fs::remove_all(dir, error);
      if (error) problems.push_back(fmt::format("cannot remove {}: {}", dir.string(), error.message()));
    }
    ownDirectories_.clear();
    // Deepest first; a directory that holds anything else stays.
    for (const fs::path& dir : createdAncestors_) {
      std::error_code error;
      fs::remove(dir, error);
    }
    createdAncestors_.clear();
    return problems;
  }

 private:
  void addShadow(TableRun& run, const HwShadowKey& key) {
    const TableDescription& t = *run.description;
    const bool direct = t.kind == TableKind::direct;
    // Where the shadow's collection will live, known before the mount so that a
    // failed mount removes only a directory it made itself.
    std::string expected;
    bool existed = true;
    if (direct) {
      expected = collectionDirectory(
          VovuAsicUtils::Constants::shadowTblPloomPath(revision_.revString(), t.typeName, key.toString()));
      std::error_code error;
      existed = fs::exists(expected, error);
    }
    try {
      run.table->addShadow(key);
    } catch (const std::exception& e) {
      std::error_code error;
      if (direct && !existed && fs::exists(expected, error)) ownDirectories_.push_back(expected);
      throw std::runtime_error(fmt::format("cannot add the shadow of {} on chip {}: {}", t.name, key.fapId(), e.what()));
    }
    run.shadows.push_back(key);
    if (direct) {
      // This process was the collection's writer: its files go with it.
      const std::string path = t.shadows->path(*run.table, key);
      ownDirectories_.push_back(path.empty() ? expected : collectionDirectory(path));
    }
  }

  std::string missingFactory(const TableDescription& t) const {
    std::string registered;
    for (const auto& r : VovuAsicUtils::HwTableHolderContext::singleton()->hwTableFactories()) {
      if (r.key.tableName() == t.name) registered += (registered.empty() ? "" : ", ") + r.key.fapRevision().revString();
    }
    return fmt::format("no table factory of {} is registered for revision {}; registered: {} (see --revisions)", t.name,
                       revision_.revString(), registered.empty() ? "none" : registered);
  }

  FapRevision revision_;
  Orvel::Ptr<VovuAsicUtils::TableManager> manager_;
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager_{new VovuAsicUtils::ReadTableManager};
  std::vector<TableRun> tables_;
  fs::path root_;
  std::vector<fs::path> ownDirectories_;    // collection directories to remove
  std::vector<fs::path> createdAncestors_;  // the root and its parents that did not exist, deepest first
};

// ---------------------------------------------------------------------------
// What each shadow holds, its download to the simulated chips, and the checks.

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
  HwShadowKey key;
  std::string path;       // the shadow's state path; empty for a register shadow
  std::string directory;  // the directory of its collection; empty for a register shadow
  std::size_t entryCount = 0;
  ordered_json entries = ordered_json::array();  // {"key", "data"}, when asked for
  DownloadReport download;
  std::optional<ClearReport> clear;
  std::optional<VovuAsicUtils::AuditReport> audit;
  ordered_json chip = ordered_json::array();  // the chip's non-zero entries, when asked for
};

struct TableReport {
  const TableDescription* description;
  std::vector<ShadowReport> shadows;
};

// The chips of the run, as one mask: every shadow is downloaded to all of
// them and keeps its own chip.
SchanAccel::Fapmask runMask(const std::vector<std::uint8_t>& chips) {
  SchanAccel::Fapmask mask;
  for (std::uint8_t chip : chips) mask.fapIdIs(chip);
  return mask;
}

// Executes `batch` on the simulator; returns the entries the chip `fapId` wrote.
std::uint64_t execute(sim::ChipSimulator& simulator, const Orvel::Ptr<SchanAccel::SchanCmds>& batch,
                      std::uint8_t fapId) {
  const std::uint64_t before = simulator.chip(fapId)->counters().entriesWritten;
  simulator.execute(batch);
  return simulator.chip(fapId)->counters().entriesWritten - before;
}

ordered_json chipEntriesJson(const TableDescription& t, const sim::Chip& chip) {
  ordered_json entries = ordered_json::array();
  sim::forEachChipEntry(t, chip, [&](const auto& memory, std::uint8_t instance, std::uint32_t arrayIndex,
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

// Clears every shadow, executes the commands and counts the non-zero entries
// each chip still holds in the table's memories.
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

std::vector<TableReport> reportTables(const AgentRun& agent, const RunRequest& request, const SchanAccel::Fapmask& mask,
                                      sim::ChipSimulator& simulator, const StopSignals& signals) {
  std::vector<TableReport> reports;
  for (const TableRun& run : agent.tables()) {
    if (run.description->values->entryBytes > sizeof(EntryStorage)) {
      throw std::runtime_error(fmt::format("{} entries take {} bytes; shadowctl holds at most {}", run.description->name,
                                           run.description->values->entryBytes, sizeof(EntryStorage)));
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

// One entry of a direct table's memory on a simulated chip.
struct ChipEntry {
  std::uint8_t fapId;
  const TableDescription* table;
  const bcm88490_a0::catalogue::MemoryDescription* memory;
  std::uint8_t instance;
  std::uint32_t arrayIndex;
  std::uint32_t entryIndex;
};

// Flips one random bit in each of `count` distinct random entries of the
// direct tables' memories on the chips of the run.
std::vector<ChipEntry> corruptChips(const AgentRun& agent, const std::vector<std::uint8_t>& chips,
                                    sim::ChipSimulator& simulator, std::uint32_t count, std::uint64_t seed) {
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
    throw std::runtime_error(fmt::format("--corrupt: {} entries asked for; the chips' direct memories hold {}", count,
                                         candidates.size()));
  }
  std::mt19937_64 random(seed);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::swap(candidates[i], candidates[i + random() % (candidates.size() - i)]);
    const ChipEntry& e = candidates[i];
    simulator.chip(e.fapId)->flipBit(e.memory->name, e.instance, e.arrayIndex, e.entryIndex,
                                     static_cast<std::uint32_t>(random() % (e.memory->entrySize * 8u)));
  }
  candidates.resize(count);
  return candidates;
}

// Audits (and with `repair`, repairs) every shadow against its chip.
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

struct AuditTotals {
  std::uint64_t found = 0;
  std::uint64_t remaining = 0;
  std::uint64_t zeroAmbiguous = 0;
  std::uint64_t repaired = 0;
};

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

// Shadows whose chip does not hold what they say after the download or the clear.
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
  return {{"missing", audit.missing},     {"extra", audit.extra},
          {"differing", audit.differing}, {"zeroAmbiguous", audit.zeroAmbiguous},
          {"repaired", audit.repaired},   {"remaining", audit.remaining},
          {"differences", std::move(differences)}};
}

ordered_json reportJson(const AgentRun& agent, const std::vector<TableReport>& reports, const RunRequest& request) {
  ordered_json tables = ordered_json::array();
  for (const TableReport& table : reports) {
    ordered_json shadows = ordered_json::array();
    for (const ShadowReport& s : table.shadows) {
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
      if (s.audit) shadow["audit"] = auditJson(*table.description, *s.audit);
      if (request.entries) shadow["entries"] = s.entries;
      if (request.chipEntries) shadow["chip"] = s.chip;
      shadows.push_back(std::move(shadow));
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

std::string keyText(const ordered_json& key) {
  if (key.contains("value")) return key["value"].dump();
  return fmt::format("{},{}", key["arrayIndex"].dump(), key["entryIndex"].dump());
}

std::string checkText(const sim::ImageComparison& check) {
  return check.matches() ? "matches" : fmt::format("DIFFERS ({} of {})", check.mismatches, check.entriesCompared);
}

std::string auditText(const VovuAsicUtils::AuditReport& audit) {
  if (audit.found() == 0) return "ok";
  return audit.repaired != 0 ? fmt::format("{} found, {} left", audit.found(), audit.remaining)
                             : fmt::format("{} FOUND", audit.found());
}

std::string keyText(const TableDescription& t, const std::array<std::uint64_t, 2>& key) {
  return t.key.form == KeyForm::indexed ? fmt::format("{},{}", key[0], key[1]) : std::to_string(key[0]);
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
                           s.key.fapId(), d.memory, d.instance, keyText(*table.description, d.key),
                           VovuAsicUtils::kindText(d.kind),
                           d.shadow.empty() ? "-" : Zev::hexBytes(d.shadow.data(), d.shadow.size()),
                           d.chip.empty() ? "-" : Zev::hexBytes(d.chip.data(), d.chip.size()),
                           fields.empty() ? "bits outside the named fields" : "fields " + fields);
      }
    }
  }
}

void printHuman(const AgentRun& agent, const std::vector<std::uint8_t>& chips, const std::vector<TableReport>& reports,
                const RunRequest& request, std::ostream& out) {
  std::string chipList;
  for (std::uint8_t chip : chips) chipList += (chipList.empty() ? "" : ",") + std::to_string(chip);
  out << fmt::format("revision {}, chips {}, {}, collections below {}\n", agent.revision().revString(), chipList,
                     request.noDma ? "no DMA memory" : fmt::format("DMA buffers of {} bytes", request.dmaBuffer),
                     agent.root().string());

  std::vector<std::string> header = {"TABLE", "FAP", "INSTANCE", "ENTRIES", "BULK", "SINGLE", "WRITTEN", "CHIP"};
  if (request.clear) header.push_back("CLEARED");
  if (request.auditing()) header.push_back("AUDIT");
  header.push_back("PATH");
  std::vector<std::vector<std::string>> rows;
  std::size_t shadows = 0, entries = 0, bulk = 0, single = 0;
  std::uint64_t written = 0;
  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      std::vector<std::string> row = {table.description->name, std::to_string(s.key.fapId()),
                                      std::to_string(s.key.instanceId()), std::to_string(s.entryCount),
                                      std::to_string(s.download.bulkCommands), std::to_string(s.download.singleCommands),
                                      std::to_string(s.download.entriesWritten), checkText(s.download.check)};
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
  out << fmt::format("{} tables, {} shadows, {} entries; download: {} bulk and {} single commands, {} entries written; {}\n",
                     reports.size(), shadows, entries, bulk, single, written,
                     failed == 0 ? std::string(request.clear ? "every chip matched its shadows and read zeros after the clear"
                                                             : "every chip matches its shadows")
                                 : fmt::format("{} checks FAILED", failed));

  if (request.auditing()) printAudit(reports, request, out);

  for (const TableReport& table : reports) {
    for (const ShadowReport& s : table.shadows) {
      for (const sim::ImageMismatch& m : s.download.check.first) {
        out << fmt::format("  {} chip {}: {}[{}] {},{}: shadow {} chip {}\n", table.description->name, s.key.fapId(),
                           m.memory, m.instance, m.arrayIndex, m.entryIndex,
                           Zev::hexBytes(m.shadow.data(), m.shadow.size()), Zev::hexBytes(m.chip.data(), m.chip.size()));
      }
      if (request.entries) {
        out << fmt::format("\n{} chip {} instance {}: {} entries\n", table.description->name, s.key.fapId(),
                           s.key.instanceId(), s.entryCount);
        for (const auto& e : s.entries) {
          out << fmt::format("  {:<10} {}\n", keyText(e["key"]), e["data"].get<std::string>());
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

// How to reach the served collections from another shell.
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

}  // namespace

int runTables(const PluginHost& host, const RunRequest& request, std::ostream& out, std::ostream& err) {
  int status = 0;
  std::vector<std::string> problems;
  try {
    const StopSignals signals;
    const std::vector<std::uint8_t> chips = parseChips(request.chips);
    const FapRevision revision = parseRevision(request.revision);
    if (!request.root.empty()) Mem::baseDirIs(request.root);
    AgentRun agent(revision);
    try {
      agent.createTables(host, signals);
      agent.addShadows(chips, signals);
      agent.dmaPoolIs(request);
      sim::ChipSimulator simulator(sim::memoryMapOf(host.tables()), chips);
      const SchanAccel::Fapmask mask = runMask(chips);
      std::vector<TableReport> reports = reportTables(agent, request, mask, simulator, signals);
      if (request.corrupt != 0) {
        corruptChips(agent, chips, simulator, request.corrupt, request.seed);
        if (!request.json) out << fmt::format("corrupted {} chip entries, seed {}\n", request.corrupt, request.seed);
      }
      if (request.auditing()) auditShadows(agent, reports, request.repair, simulator, signals);
      if (request.clear) clearShadows(agent, reports, mask, simulator, signals);
      if (request.json) {
        out << reportJson(agent, reports, request).dump() << '\n';
      } else {
        printHuman(agent, chips, reports, request, out);
      }
      if (failedChecks(reports) != 0) {
        err << "shadowctl: a simulated chip does not hold what its shadow says\n";
        status = kCheckFailedStatus;
      }
      if (const std::uint64_t left = auditTotals(reports).remaining; left != 0) {
        err << fmt::format("shadowctl: the audit leaves {} differences between shadows and chips{}\n", left,
                           request.repair ? "" : " (--repair writes them back)");
        status = kCheckFailedStatus;
      }
      out.flush();
      if (request.serve) {
        // With --json the standard output holds the one JSON object only.
        std::ostream& notice = request.json ? err : out;
        printServing(reports, agent, notice);
        notice.flush();
        signals.wait();
      } else if (signals.requested()) {
        throw Interrupted();
      }
    } catch (...) {
      problems = agent.tearDown();
      throw;
    }
    problems = agent.tearDown();
  } catch (const Interrupted&) {
    err << "shadowctl: interrupted; the tables and shadows are dropped\n";
    status = kInterruptedStatus;
  } catch (const std::exception& e) {
    err << "shadowctl: " << e.what() << '\n';
    status = 1;
  }
  for (const std::string& problem : problems) {
    err << "shadowctl: " << problem << '\n';
    if (status == 0) status = 1;
  }
  return status;
}

}  // namespace shadowctl
