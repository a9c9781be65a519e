#include "RunCommand.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "AgentRun.h"
#include "Mem/OrlRootPath.h"
#include "RunChecks.h"
#include "RunOutput.h"
#include "StopSignals.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"

namespace shadowctl {
namespace {

// Exit status of a run whose chips do not hold what the shadows say.
constexpr int kCheckFailedStatus = 2;
// Exit status of a run cut short by a stop signal (128 + SIGINT, as shells report it).
constexpr int kInterruptedStatus = 130;

}  // namespace

int runTables(const PluginHost& host, const RunRequest& request, std::ostream& out, std::ostream& err) {
  int status = 0;
  std::vector<std::string> problems;
  try {
    const StopSignals signals;
    const IgnoreBrokenPipe keepRunningWithoutReader;
    const std::vector<std::uint8_t> chips = parseChips(request.chips);
    const Hardware::Vovu::FapRevision revision = parseRevision(request.revision);
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
