// Figures the stress and crash tests report for a soak run: when
// VOVU_SOAK_FIGURES names a file, reportSoakFigures() appends the figures of
// one test run to it as one JSON object on one line, which the soak script
// adds up. Without it nothing is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using SoakFigures = std::vector<std::pair<std::string, std::uint64_t>>;

inline void reportSoakFigures(const SoakFigures& figures) {
  const char* path = std::getenv("VOVU_SOAK_FIGURES");
  if (!path || !*path) return;
  std::string line = "{";
  for (const auto& [name, value] : figures) {
    if (line.size() > 1) line += ", ";
    line += "\"" + name + "\": " + std::to_string(value);
  }
  line += "}\n";
  // One write of the whole line, appended: lines of concurrent runs do not mix.
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
}

}  // namespace testing_support
