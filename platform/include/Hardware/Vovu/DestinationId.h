// Hardware::Vovu::DestinationId: a packet destination as the chip description
// knows it, and its encoding into the 21-bit destination field of a chip.
#pragma once

#include <cstdint>

namespace Hardware::Vovu {

enum class FapType : std::uint32_t {};

struct DestinationId {
  std::uint32_t id = 0;  // port, trap or queue number, by type
  std::uint32_t subId = 0;
  std::uint32_t type = 0;  // destination kind
  bool isMulticast = false;

  // The encoded destination for chips of `fapType`: the kind from bit 16 up,
  // the sub-id in bits 12..15, the id in bits 0..11 (both masked to their
  // widths) and bit 20 for multicast. The kind is not masked: a kind above 31
  // gives a result wider than the 21-bit field, which callers must check.
  std::uint64_t encodedDestId(FapType fapType) const noexcept;
};

}  // namespace Hardware::Vovu
