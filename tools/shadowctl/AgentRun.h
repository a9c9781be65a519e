// The agent's part of `shadowctl run`: one table manager, every table of the
// catalogue for one revision, a shadow per chip on each, and their removal.
//
// Teardown drops the shadows (which unmounts their collections), then the
// tables and the table manager, then removes the collection directories of
// the shadows this run mounted or created, then the directories above them
// that it created, when empty. It runs at the latest when the AgentRun goes,
// so a run leaves no files behind, whatever ends it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/Ptr.h"
#include "PluginHost.h"
#include "StopSignals.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/TableManager.h"

namespace shadowctl {

struct RunRequest;

// One table of the run and the shadows added to it.
struct TableRun {
  const bcm88490_a0::catalogue::TableDescription* description;
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table;
  std::vector<VovuAsicUtils::HwShadowKey> shadows;  // added, in the order of --chips
};

// The directory (below the base directory) of the entry collection of the
// shadow whose state path is `statePath`.
std::string collectionDirectory(const std::string& statePath);

class AgentRun {
 public:
  // Creates the table manager and notes which directories of the collections'
  // base directory do not exist yet. Throws std::runtime_error when the base
  // directory cannot be made absolute.
  explicit AgentRun(const Hardware::Vovu::FapRevision& revision);
  ~AgentRun() { tearDown(); }
  AgentRun(const AgentRun&) = delete;
  AgentRun& operator=(const AgentRun&) = delete;

  const std::filesystem::path& root() const noexcept { return root_; }
  const Hardware::Vovu::FapRevision& revision() const noexcept { return revision_; }
  const std::vector<TableRun>& tables() const noexcept { return tables_; }
  const Orvel::Ptr<VovuAsicUtils::ReadTableManager>& readTableManager() const noexcept { return readManager_; }

  // Creates every table of the catalogue: plug-in tables through the table
  // factory registered for the revision, standalone ones through their free
  // factory. Throws std::runtime_error when a plug-in table has no factory for
  // the revision or a factory makes no table; Interrupted on a stop signal.
  void createTables(const PluginHost& host, const StopSignals& signals);

  // Adds the shadow of each chip (instance 0) to every table, which writes the
  // table's default contents into it. Throws std::runtime_error naming the
  // table and chip when a shadow cannot be added; Interrupted on a stop signal.
  void addShadows(const std::vector<std::uint8_t>& chips, const StopSignals& signals);

  // Sets up the table manager's DMA pool as the request asks.
  void dmaPoolIs(const RunRequest& request);

  // Idempotent; returns what could not be removed.
  std::vector<std::string> tearDown() noexcept;

 private:
  void addShadow(TableRun& run, const VovuAsicUtils::HwShadowKey& key);
  std::string missingFactory(const bcm88490_a0::catalogue::TableDescription& t) const;

  Hardware::Vovu::FapRevision revision_;
  Orvel::Ptr<VovuAsicUtils::TableManager> manager_;
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager_{new VovuAsicUtils::ReadTableManager};
  std::vector<TableRun> tables_;
  std::filesystem::path root_;
  std::vector<std::filesystem::path> ownDirectories_;    // collection directories to remove
  std::vector<std::filesystem::path> createdAncestors_;  // the root and its parents that did not exist, deepest first
};

}  // namespace shadowctl
