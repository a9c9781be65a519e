#include <fmt/format.h>

#include "Hardware/ChipType.h"
#include "Hardware/Vovu/FapRevision.h"

namespace Hardware {

std::string chipName(ChipType type) {
  switch (type) {
    case ChipType::j3ai:
      return "j3ai_a0";
    case ChipType::q3a:
      return "q3a_a0";
    case ChipType::bcm88490_a0:
      return "bcm88490_a0";
  }
  return fmt::format("chip{}", static_cast<std::uint32_t>(type));
}

namespace Vovu {

std::string stringValueOfMajor(std::uint32_t major) {
  std::string text = "FRMJ_" + chipName(static_cast<ChipType>(major >> 8));
  if (std::uint32_t stepping = major & 0xff) text += fmt::format("s{}", stepping);
  return text;
}

std::string stringValueOfMinor(std::uint32_t minor) {
  return minor == 0 ? std::string("FRMN_") : fmt::format("FRMN_r{}", minor);
}

namespace {
// A host name without its five-character prefix; nothing when it is shorter.
std::string withoutPrefix(const std::string& name) { return name.size() > 5 ? name.substr(5) : std::string(); }
}  // namespace

std::string FapRevision::revString() const {
  return withoutPrefix(stringValueOfMajor(major_)) + withoutPrefix(stringValueOfMinor(minor_));
}

}  // namespace Vovu
}  // namespace Hardware
