// Hardware::Vovu::FapRevision: a chip revision, {major, minor}.
//
// The major part names the chip type and its stepping: major = chipType << 8 |
// stepping. Revisions order by (major, minor), so the revisions of one chip
// type sort together and ascend by stepping, then minor revision.
//
// Texts: the host names a major revision "FRMJ_" + chip name (+ "s<stepping>"
// for a stepping other than 0), a minor revision "FRMN_" for 0 and
// "FRMN_r<minor>" otherwise. revString() drops the five-character prefix of
// each and joins the rest: "bcm88490_a0" for minor 0, "bcm88490_a0r1" for 1.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "Hardware/ChipType.h"

namespace Hardware::Vovu {

class FapRevision {
 public:
  constexpr FapRevision() = default;
  constexpr FapRevision(std::uint32_t major, std::uint32_t minor) : major_(major), minor_(minor) {}
  static constexpr FapRevision of(ChipType chip, std::uint32_t minor, std::uint32_t stepping = 0) {
    return FapRevision(static_cast<std::uint32_t>(chip) << 8 | (stepping & 0xff), minor);
  }

  constexpr std::uint32_t major() const { return major_; }
  constexpr std::uint32_t minor() const { return minor_; }
  constexpr ChipType chipType() const { return static_cast<ChipType>(major_ >> 8); }
  constexpr std::uint32_t stepping() const { return major_ & 0xff; }

  std::string revString() const;

  friend constexpr bool operator==(const FapRevision&, const FapRevision&) = default;
  friend constexpr auto operator<=>(const FapRevision&, const FapRevision&) = default;

 private:
  std::uint32_t major_ = 0;
  std::uint32_t minor_ = 0;
};
static_assert(sizeof(FapRevision) == 8, "a revision is two 32-bit parts");

// The host's names of the two parts (see the file comment).
std::string stringValueOfMajor(std::uint32_t major);
std::string stringValueOfMinor(std::uint32_t minor);

}  // namespace Hardware::Vovu

template <>
struct std::hash<Hardware::Vovu::FapRevision> {
  std::size_t operator()(const Hardware::Vovu::FapRevision& r) const noexcept {
    return std::hash<std::uint64_t>{}(std::uint64_t{r.major()} << 32 | r.minor());
  }
};

template <>
struct fmt::formatter<Hardware::Vovu::FapRevision> : fmt::formatter<std::string_view> {
  auto format(const Hardware::Vovu::FapRevision& r, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(r.revString(), ctx);
  }
};
