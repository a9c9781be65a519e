// `shadowctl tables`: what the plug-in registered, per table.
#pragma once

#include <iosfwd>

#include <nlohmann/json.hpp>

#include "PluginHost.h"

namespace shadowctl {

// One object per table, as documented in the README under `shadowctl tables --json`.
nlohmann::ordered_json tablesReport(const PluginHost& host);

void printTablesHuman(const nlohmann::ordered_json& report, std::ostream& out);

}  // namespace shadowctl
