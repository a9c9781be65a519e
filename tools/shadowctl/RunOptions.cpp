#include "RunOptions.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <stdexcept>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "VovuAsicUtils/HwTableHolderContext.h"
#include "VovuAsicUtils/SupportedFapRevList.h"

namespace shadowctl {
namespace {

using Hardware::Vovu::FapRevision;

constexpr FapRevision kDefaultRevision = FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

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

}  // namespace shadowctl
