#include "AgentRun.h"

#include <stdexcept>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "Mem/OrlRootPath.h"
#include "RunOptions.h"
#include "VovuAsicUtils/Constants.h"
#include "VovuAsicUtils/HwTableHolderContext.h"

namespace shadowctl {
namespace {

namespace fs = std::filesystem;
using bcm88490_a0::catalogue::TableDescription;
using bcm88490_a0::catalogue::TableKind;
using Hardware::Vovu::FapRevision;
using VovuAsicUtils::HwShadowKey;

// The name a shadow's mount gives its entry collection
// (ShadowAccessor::mountPloom): the collection's path is the shadow's state
// path, a slash and this name.
constexpr std::string_view kEntryCollection = "entryColl";
// The run adds instance 0 of each chip.
constexpr std::uint8_t kInstance = 0;

}  // namespace

std::string collectionDirectory(const std::string& statePath) {
  return Mem::OrlRootPath(statePath + "/" + std::string(kEntryCollection)).path();
}

AgentRun::AgentRun(const FapRevision& revision) : revision_(revision), manager_(new VovuAsicUtils::TableManager()) {
  std::error_code error;
  fs::path root = fs::absolute(fs::path(Mem::baseDir()), error).lexically_normal();
  if (error) throw std::runtime_error(fmt::format("{}: {}", Mem::baseDir(), error.message()));
  if (!root.has_filename()) root = root.parent_path();
  root_ = root;
  for (fs::path p = root; p.has_relative_path() && !fs::exists(p, error); p = p.parent_path()) {
    createdAncestors_.push_back(p);
  }
}

void AgentRun::createTables(const PluginHost& host, const StopSignals& signals) {
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

void AgentRun::addShadows(const std::vector<std::uint8_t>& chips, const StopSignals& signals) {
  for (TableRun& run : tables_) {
    for (std::uint8_t chip : chips) {
      signals.throwIfRequested();
      const HwShadowKey key(chip, kInstance);
      addShadow(run, key);
    }
  }
}

void AgentRun::dmaPoolIs(const RunRequest& request) {
  DmaMemPoolManager::DmaMemPoolManager& pool = *manager_->dmaMemPoolManager();
  pool.bufSizeIs(request.dmaBuffer);
  pool.dmaMemoryIs(!request.noDma);
}

std::vector<std::string> AgentRun::tearDown() noexcept {
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

void AgentRun::addShadow(TableRun& run, const HwShadowKey& key) {
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

std::string AgentRun::missingFactory(const TableDescription& t) const {
  std::string registered;
  for (const auto& r : VovuAsicUtils::HwTableHolderContext::singleton()->hwTableFactories()) {
    if (r.key.tableName() == t.name) registered += (registered.empty() ? "" : ", ") + r.key.fapRevision().revString();
  }
  return fmt::format("no table factory of {} is registered for revision {}; registered: {} (see --revisions)", t.name,
                     revision_.revString(), registered.empty() ? "none" : registered);
}

}  // namespace shadowctl
