// Aligned human output: a header row and data rows, columns padded to their
// widest cell and separated by two blanks; the last column is not padded.
#pragma once

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace shadowctl {

inline void printAligned(std::ostream& out, const std::vector<std::string>& header,
                         const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    widths[c] = header[c].size();
    for (const auto& row : rows) widths[c] = std::max(widths[c], row[c].size());
  }
  const auto printRow = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += c + 1 == row.size() ? row[c] : fmt::format("{:<{}}  ", row[c], widths[c]);
    }
    out << line << '\n';
  };
  printRow(header);
  for (const auto& row : rows) printRow(row);
}

}  // namespace shadowctl
