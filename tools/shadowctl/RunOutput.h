// What `shadowctl run` prints: one JSON object, or an aligned row per shadow
// with a summary line, the audit's differences and the lists asked for; and
// the notice of a serving run.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include <nlohmann/json.hpp>

#include "AgentRun.h"
#include "RunChecks.h"
#include "RunOptions.h"

namespace shadowctl {

// The run as one JSON object: tables in catalogue order, shadows in the order
// of --chips, optional parts as the request asks for them.
nlohmann::ordered_json reportJson(const AgentRun& agent, const std::vector<TableReport>& reports,
                                  const RunRequest& request);

// The run as aligned text: a heading, a row per shadow, the summary, the
// audit's differences, the chips' mismatches and the lists asked for.
void printHuman(const AgentRun& agent, const std::vector<std::uint8_t>& chips, const std::vector<TableReport>& reports,
                const RunRequest& request, std::ostream& out);

// How to reach the served collections from another shell.
void printServing(const std::vector<TableReport>& reports, const AgentRun& agent, std::ostream& out);

}  // namespace shadowctl
