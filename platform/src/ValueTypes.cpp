// Bounded types, bitmaps and the range errors they raise.
#include <fmt/format.h>

#include "Orvel/BoundedUnsigned.h"
#include "Orvel/Exception.h"
#include "Wem/PerUnitBitmap.h"

namespace Orvel::Impl {

void throwBoundedRangeException(unsigned bits, unsigned storageBytes, std::uint32_t maximum) {
  throw RangeException(fmt::format("U{}::value < 0 or > 0x{:0{}x} not allowed", bits, maximum, storageBytes * 2));
}

void throwVectorOutOfRangeException(std::size_t index, std::size_t size) {
  throw VectorOutOfRangeException(fmt::format("vector index {} out of range (size {})", index, size));
}

}  // namespace Orvel::Impl

namespace Wem {

std::uint32_t PerUnitBitmap::word(std::size_t index) const {
  if (index >= words_.size()) Orvel::Impl::throwVectorOutOfRangeException(index, words_.size());
  return words_[index];
}

void PerUnitBitmap::wordIs(std::size_t index, std::uint32_t value) {
  if (index >= words_.size()) Orvel::Impl::throwVectorOutOfRangeException(index, words_.size());
  words_[index] = value;
}

void PerUnitBitmap::bitsOr(std::size_t position, std::uint32_t value, unsigned width) {
  const std::size_t w = position / 32;
  const unsigned o = position % 32;
  // 1u << 32 is undefined: a 32-bit run's mask is all ones.
  const std::uint32_t mask = width >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << width) - 1;
  const bool split = o + width > 32;
  if (w >= words_.size()) Orvel::Impl::throwVectorOutOfRangeException(w, words_.size());
  if (split && w + 1 >= words_.size()) Orvel::Impl::throwVectorOutOfRangeException(w + 1, words_.size());
  words_[w] = (words_[w] & ~(mask << o)) | (value << o);
  if (split) {
    const unsigned high = o + width - 32;  // bits that land in the next word
    const std::uint32_t highMask = (std::uint32_t{1} << high) - 1;
    words_[w + 1] = (words_[w + 1] & ~highMask) | (value >> (32 - o));
  }
}

}  // namespace Wem
