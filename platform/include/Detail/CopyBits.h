// Detail::copyBits: copies a run of bits between two byte buffers.
//
// Bit k of a buffer is bit (k mod 8) of byte (k div 8), bit 0 the least
// significant bit of byte 0. Only the destination's bits
// [dstOffset, dstOffset + bits) change. Bits read from beyond the source's
// size read as 0; bits written beyond the destination's size are dropped.
//
// The copy moves up to 56 bits per step through a 64-bit register, so a field
// of up to 32 bits is one step; the function is inline so that a call with
// constant sizes and offsets, as the generated field accessors make, folds
// down to a few loads, masks and stores.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace Detail {

static_assert(std::endian::native == std::endian::little,
              "field values are copied through their storage bytes, low byte first");

namespace CopyBitsImpl {

constexpr unsigned kStep = 56;  // a step never spans more than 8 bytes

inline std::uint64_t load(const std::uint8_t* buffer, std::size_t size, std::size_t bitOffset, unsigned bits) {
  const std::size_t first = bitOffset / 8;
  const unsigned shift = bitOffset % 8;
  const unsigned bytes = (shift + bits + 7) / 8;
  std::uint64_t word = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    if (first + i < size) word |= std::uint64_t{buffer[first + i]} << (8 * i);
  }
  return (word >> shift) & ((std::uint64_t{1} << bits) - 1);
}

inline void store(std::uint8_t* buffer, std::size_t size, std::size_t bitOffset, unsigned bits, std::uint64_t value) {
  const std::size_t first = bitOffset / 8;
  const unsigned shift = bitOffset % 8;
  const unsigned bytes = (shift + bits + 7) / 8;
  const std::uint64_t mask = ((std::uint64_t{1} << bits) - 1) << shift;
  const std::uint64_t shifted = value << shift;
  for (unsigned i = 0; i < bytes; ++i) {
    if (first + i >= size) break;
    const auto byteMask = static_cast<std::uint8_t>(mask >> (8 * i));
    buffer[first + i] = static_cast<std::uint8_t>((buffer[first + i] & ~byteMask) | ((shifted >> (8 * i)) & byteMask));
  }
}

}  // namespace CopyBitsImpl

inline void copyBits(void* dst, std::size_t dstSize, const void* src, std::size_t srcSize, std::size_t bits,
                     std::size_t dstOffset, std::size_t srcOffset) {
  auto* d = static_cast<std::uint8_t*>(dst);
  const auto* s = static_cast<const std::uint8_t*>(src);
  while (bits > 0) {
    const unsigned step = bits < CopyBitsImpl::kStep ? static_cast<unsigned>(bits) : CopyBitsImpl::kStep;
    CopyBitsImpl::store(d, dstSize, dstOffset, step, CopyBitsImpl::load(s, srcSize, srcOffset, step));
    bits -= step;
    dstOffset += step;
    srcOffset += step;
  }
}

}  // namespace Detail
