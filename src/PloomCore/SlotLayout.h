// Where things are in a slot file for values of type V.
//
// A slot: {version, link} (8 bytes), the value, the 32-bit reversed hash of
// its key, a reserved word, padding to a multiple of 8. The header is the
// 608-byte common part plus one lookaside slot image; the slot array follows.
#pragma once

#include <cstdint>

#include "Orvel/Util.h"
#include "PloomCore/SlotHeader.h"

namespace Ploom {

template <class V>
struct SlotLayout {
  static constexpr std::uint32_t kValueSize = sizeof(V);
  static_assert(kValueSize % 4 == 0, "values are copied as 32-bit words");
  static constexpr std::uint32_t kValueOffset = 8;
  static constexpr std::uint32_t kRhashOffset = kValueOffset + kValueSize;
  static constexpr std::uint32_t kReservedOffset = kRhashOffset + 4;
  static constexpr std::uint32_t kSlotSize = (kReservedOffset + 4 + 7) / 8 * 8;
  static constexpr std::uint32_t kHeaderSize = SlotHeader::kCommonSize + kSlotSize;
  // Sizes derive from this page size in writers and readers alike.
  static constexpr std::uint32_t kPageSize = 4096;

  // The largest power of two of slots that fits in one page after the header;
  // 1 when not even one fits.
  static constexpr std::uint32_t kMinSlots = [] {
    const std::uint32_t fit = kHeaderSize < kPageSize ? (kPageSize - kHeaderSize) / kSlotSize : 0;
    std::uint32_t p = 1;
    while (p * 2 <= fit) p *= 2;
    return p;
  }();

  static constexpr std::optional<std::uint64_t> fileSize(std::uint64_t slots) {
    return Orvel::Util::fileSizeHelper(slots, kSlotSize, kHeaderSize);
  }
};

}  // namespace Ploom
