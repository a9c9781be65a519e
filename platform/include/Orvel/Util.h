// Size arithmetic of shared files.
#pragma once

#include <cstdint>
#include <optional>

namespace Orvel::Util {

// headerSize + count * slotSize, or nothing when it does not fit in 63 bits.
constexpr std::optional<std::uint64_t> fileSizeHelper(std::uint64_t count, std::uint64_t slotSize,
                                                      std::uint64_t headerSize) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
  if (slotSize != 0 && count > (kLimit - headerSize) / slotSize) return std::nullopt;
  return headerSize + count * slotSize;
}

}  // namespace Orvel::Util
