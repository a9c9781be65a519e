#include "VovuAsicUtils/SupportedFapRevList.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace VovuAsicUtils {
namespace {

std::set<FapRevision>& list() {
  static std::set<FapRevision> revisions = [] {
    const char* env = std::getenv("VOVU_FAP_REVISIONS");
    if (!env) return SupportedFapRevList::defaultList();
    try {
      return SupportedFapRevList::parse(env);
    } catch (const Orvel::Exception& e) {
      // The list is first read while plug-ins load: report and go on with the default.
      std::fprintf(stderr, "VOVU_FAP_REVISIONS ignored: %s\n", e.what());
      return SupportedFapRevList::defaultList();
    }
  }();
  return revisions;
}

std::uint32_t parseNumber(std::string_view text, std::string_view item) {
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw Orvel::InvalidInitializeException(
        fmt::format("revision \"{}\" is not CHIPTYPE.MINOR with two decimal numbers", item));
  }
  return value;
}

}  // namespace

std::set<FapRevision> SupportedFapRevList::defaultList() {
  return {FapRevision::of(Hardware::ChipType::bcm88490_a0, 0), FapRevision::of(Hardware::ChipType::bcm88490_a0, 1),
          FapRevision::of(Hardware::ChipType::j3ai, 0)};
}

std::set<FapRevision> SupportedFapRevList::parse(std::string_view text) {
  std::set<FapRevision> result;
  if (text.empty()) return result;
  for (bool more = true; more;) {
    std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    more = comma != std::string_view::npos;
    if (more) text = text.substr(comma + 1);
    std::size_t dot = item.find('.');
    if (dot == std::string_view::npos) parseNumber("", item);
    std::uint32_t chip = parseNumber(item.substr(0, dot), item);
    std::uint32_t minor = parseNumber(item.substr(dot + 1), item);
    if (chip > 0xffffff) throw Orvel::InvalidInitializeException(fmt::format("chip type {} is too large", chip));
    result.insert(FapRevision::of(static_cast<Hardware::ChipType>(chip), minor));
  }
  return result;
}

const std::set<FapRevision>& SupportedFapRevList::fapRevisionList() { return list(); }
void SupportedFapRevList::fapRevisionListIs(std::set<FapRevision> revisions) { list() = std::move(revisions); }
void SupportedFapRevList::fapRevisionIs(const FapRevision& revision) { list().insert(revision); }
void SupportedFapRevList::fapRevisionDel(const FapRevision& revision) { list().erase(revision); }

}  // namespace VovuAsicUtils
