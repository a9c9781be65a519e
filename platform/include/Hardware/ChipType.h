// Chip types and chip blocks of the host's chip description.
#pragma once

#include <cstdint>
#include <string>

namespace Hardware {

// The host's chip-type numbering. Only the numbers matter to the tables; the
// names are what revision texts print.
enum class ChipType : std::uint32_t {
  j3ai = 12,
  q3a = 24,
  bcm88490_a0 = 25,
};

// Chip name of a chip type ("bcm88490_a0" for 25); "chip<N>" for numbers
// without a name.
std::string chipName(ChipType type);

// A block of a chip (the unit an S-channel command addresses). The numbering
// is the chip's; the tables declare the blocks they occupy.
enum class Block : std::uint32_t {};

}  // namespace Hardware
