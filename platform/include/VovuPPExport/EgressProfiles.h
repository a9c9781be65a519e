// VovuPPExport: values the packet-processor export of the chip description gives.
#pragma once

#include <cstdint>
#include <optional>

#include "Hardware/ChipType.h"

namespace VovuPPExport {

// The egress forward-action profile value of `profile` on `chipType`: the
// profile selector itself on every chip type this stand-in knows (fits 4 bits
// for selectors 0..15). A value set with profileValueOverrideIs is returned
// instead while it is set (hosts use it to exercise out-of-range values).
std::uint8_t egress_fwd_action_profile_value(Hardware::ChipType chipType, std::uint32_t profile);
void profileValueOverrideIs(std::optional<std::uint8_t> value);

}  // namespace VovuPPExport
