// shadowctl: plays the switch agent for the bcm88490_a0 layer-3 table plug-in
// and inspects what it registers.
#include <cstdio>
#include <iostream>
#include <optional>
#include <random>
#include <string>

#include <CLI/CLI.hpp>

#include "CollectionCommands.h"
#include "EncodeCommand.h"
#include "NvToggles/Toggles.h"
#include "PluginHost.h"
#include "RunCommand.h"
#include "TablesCommand.h"
#include "VovuAsicUtils/SupportedFapRevList.h"
#include "Zev/TraceHandle.h"

namespace {

struct GlobalOptions {
  std::string plugin = shadowctl::defaultPluginPath();
  std::string trace;
  std::string toggleDir;
  std::string revisions;
};

// Applies the options that must be in place before the plug-in loads.
void applyGlobals(const GlobalOptions& options) {
  if (!options.trace.empty()) Zev::TraceHandle::enable(options.trace);
  if (!options.toggleDir.empty()) NvToggles::toggleDirIs(options.toggleDir);
  if (!options.revisions.empty()) {
    VovuAsicUtils::SupportedFapRevList::fapRevisionListIs(VovuAsicUtils::SupportedFapRevList::parse(options.revisions));
  }
}

// Parses the command line and runs the command; returns the exit status.
int runCommandLine(int argc, char** argv) {
  CLI::App app{
      "shadowctl: load the bcm88490_a0 layer-3 table plug-in, drive it like the switch agent, and inspect it."};
  app.require_subcommand(1);
  GlobalOptions globals;
  app.add_option("--plugin", globals.plugin, "Plug-in library to load")->capture_default_str();
  app.add_option("--trace", globals.trace,
                 "Enable trace levels: HANDLE[=LEVELS][;...], e.g. 'Ippa*=8' or '*=0-3' (also VOVU_TRACE)");
  app.add_option("--toggle-dir", globals.toggleDir, "Directory of feature-toggle files (also VOVU_TOGGLE_DIR)");
  app.add_option("--revisions", globals.revisions,
                 "Supported chip revisions as CHIPTYPE.MINOR,... (default 25.0,25.1,12.0; also VOVU_FAP_REVISIONS)");

  shadowctl::RunRequest runRequest;
  CLI::App* runCommand = app.add_subcommand(
      "run",
      "Play the switch agent on simulated chips: create every table of the plug-in, add a shadow per chip (default "
      "contents written), download every shadow to the chip simulator and check that each chip holds what its "
      "shadow says; print per shadow its entries, the download's commands and the check, then drop everything "
      "again (or, with --serve, keep the shadows' collections mounted until interrupted)");
  runCommand->add_option("--chips", runRequest.chips, "Chips (fap ids 0..255) to add a shadow for, comma-separated")
      ->capture_default_str();
  runCommand->add_option("--revision", runRequest.revision,
                         "Chip revision of the tables: CHIPTYPE.MINOR (e.g. 25.1) or its name as `shadowctl tables` "
                         "shows it (e.g. bcm88490_a0r1); default 25.0");
  runCommand->add_option("--root", runRequest.root,
                         "Base directory of the shared-memory collections (default: VOVU_SHM_DIR, else /dev/shm/vovu)");
  runCommand->add_flag("--serve", runRequest.serve,
                       "Keep the shadows mounted until SIGINT, SIGTERM or SIGHUP, so that `shadowctl dump DIR` in "
                       "another shell can read them; then drop everything");
  runCommand->add_flag("--json", runRequest.json,
                       "Print one JSON object {\"revision\": ..., \"tables\": [...]} instead of a table");
  runCommand->add_flag("--entries", runRequest.entries, "Also list every entry (key and data) of each shadow");
  runCommand
      ->add_option("--dma-buffer", runRequest.dmaBuffer,
                   "Size in bytes of the DMA pool buffers a download packs entries into (1 to 16777216)")
      ->capture_default_str()
      ->check(CLI::Range(1u, 16u << 20));
  runCommand->add_flag("--no-dma", runRequest.noDma, "Download without DMA memory: every entry by a single write");
  runCommand->add_flag("--clear", runRequest.clear,
                       "At the end, clear every shadow (clearShadow), execute the commands and check that the chips "
                       "read zeros");
  runCommand->add_flag("--audit", runRequest.audit,
                       "After the download, read every shadow's chip back through the table's reader and list the "
                       "entries that differ (missing on the chip, extra on the chip, differing data)");
  runCommand->add_option("--corrupt", runRequest.corrupt,
                         "Before the audit, flip one random bit in each of N distinct random entries of the simulated "
                         "chips' direct memories (implies --audit)");
  auto* seedOption =
      runCommand->add_option("--seed", runRequest.seed, "Seed of --corrupt's choices (default: a random one, printed)");
  runCommand->add_flag("--repair", runRequest.repair,
                       "Write the keys the audit finds differing back with schanCmds, then audit again (implies "
                       "--audit)");
  runCommand->add_flag("--chip-entries", runRequest.chipEntries,
                       "Also list, per shadow, the non-zero entries the simulated chip holds in every memory and "
                       "instance the shadow writes");

  bool tablesJson = false;
  CLI::App* tables = app.add_subcommand("tables", "List the tables the plug-in registers, with their descriptors");
  tables->add_flag("--json", tablesJson, "Print one JSON object {\"tables\": [...]} instead of a table");

  shadowctl::EntryRequest encodeRequest;
  bool encodeJson = false;
  CLI::App* encode = app.add_subcommand(
      "encode", "Build an entry from the table's default entry and field values; print it field by field");
  encode->add_option("table", encodeRequest.table, "Table name (see `shadowctl tables`)")->required();
  encode->add_option("assignments", encodeRequest.assignments,
                     "FIELD=VALUE: VALUE decimal or 0x hex; a vector field takes the hex of its bytes, byte 0 first");
  encode->add_option("--key", encodeRequest.key, "Entry key: A,E (array index, entry index) or V (value key)");
  encode->add_flag("--json", encodeJson, "Print one JSON object");

  shadowctl::EntryRequest decodeRequest;
  bool decodeJson = false;
  CLI::App* decode = app.add_subcommand("decode", "Show an entry given as its data bytes, field by field");
  decode->add_option("table", decodeRequest.table, "Table name (see `shadowctl tables`)")->required();
  decode->add_option("hex", decodeRequest.hex, "The entry's data bytes in hex, byte 0 first (2 digits a byte)")
      ->required();
  decode->add_option("--key", decodeRequest.key, "Entry key: A,E (array index, entry index) or V (value key)");
  decode->add_flag("--json", decodeJson, "Print one JSON object");

  shadowctl::CollectionRequest dumpRequest, checkRequest, statsRequest;
  CLI::App* dump = app.add_subcommand("dump", "Print the entries of a shared-memory collection (read-only)");
  dump->add_option("path", dumpRequest.path, "The collection's directory")->required();
  dump->add_flag("--json", dumpRequest.json, "Print one JSON object (one per change line with --watch)");
  dump->add_flag("--watch", dumpRequest.watch, "Keep looking and print each change until interrupted");
  dump->add_option("--interval", dumpRequest.interval, "Seconds between looks with --watch")->capture_default_str();
  CLI::App* check =
      app.add_subcommand("check", "Check a collection's files for consistency, read-only; exit 2 when not");
  check->add_option("path", checkRequest.path, "The collection's directory")->required();
  check->add_flag("--json", checkRequest.json, "Print one JSON object");
  CLI::App* stats = app.add_subcommand("stats", "Print a collection's figures: members, buckets, slots, generations");
  stats->add_option("path", statsRequest.path, "The collection's directory")->required();
  stats->add_flag("--json", statsRequest.json, "Print one JSON object");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (!app.remaining().empty() && !app.get_subcommands().size()) {
      std::cerr << "shadowctl: unknown command '" << app.remaining().front()
                << "'; run shadowctl --help for the commands\n";
      return static_cast<int>(CLI::ExitCodes::ExtrasError);
    }
    return app.exit(e);
  }

  try {
    applyGlobals(globals);
    shadowctl::PluginHost host(globals.plugin);
    auto printEntry = [](const nlohmann::ordered_json& entry, bool json) {
      if (json) {
        std::cout << entry.dump() << '\n';
      } else {
        shadowctl::printEntryHuman(entry, std::cout);
      }
    };
    if (runCommand->parsed()) {
      if (seedOption->count() == 0) runRequest.seed = std::random_device{}();
      return shadowctl::runTables(host, runRequest, std::cout, std::cerr);
    }
    if (dump->parsed()) return shadowctl::dumpCollection(host, dumpRequest, std::cout, std::cerr);
    if (check->parsed()) return shadowctl::checkCollection(host, checkRequest, std::cout, std::cerr);
    if (stats->parsed()) return shadowctl::collectionStats(host, statsRequest, std::cout, std::cerr);
    if (encode->parsed()) printEntry(shadowctl::encodeEntry(host, encodeRequest), encodeJson);
    if (decode->parsed()) printEntry(shadowctl::decodeEntry(host, decodeRequest), decodeJson);
    if (tables->parsed()) {
      auto report = shadowctl::tablesReport(host);
      if (tablesJson) {
        std::cout << report.dump(2) << '\n';
      } else {
        shadowctl::printTablesHuman(report, std::cout);
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "shadowctl: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whatever escapes a command (it reports its own errors) still ends the
  // process with a message and status 1, never with std::terminate.
  try {
    return runCommandLine(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "shadowctl: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "shadowctl: unexpected failure\n";
  }
  return 1;
}
