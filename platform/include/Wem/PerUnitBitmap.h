// Wem::PerUnitBitmap: a bitmap held as 32-bit words; bit p is bit (p mod 32)
// of word (p div 32). Its size is set when it is built and never grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Wem {

class PerUnitBitmap {
 public:
  // Words a default bitmap holds: 256 bits, enough for any vector field.
  static constexpr std::size_t kDefaultWords = 8;

  PerUnitBitmap() : words_(kDefaultWords, 0) {}
  explicit PerUnitBitmap(std::size_t words) : words_(words, 0) {}

  std::size_t wordCount() const noexcept { return words_.size(); }
  std::size_t bitCount() const noexcept { return words_.size() * 32; }
  // Throws Orvel::VectorOutOfRangeException for an index at or past wordCount().
  std::uint32_t word(std::size_t index) const;
  void wordIs(std::size_t index, std::uint32_t value);
  bool bit(std::size_t position) const { return word(position / 32) >> (position % 32) & 1u; }

  // Replaces (does not OR) the `width` bits (1..32) starting at `position`
  // with `value`, continuing into the next word when the run crosses a word
  // boundary. `value` is not masked to `width`: callers pass values that fit.
  // Throws Orvel::VectorOutOfRangeException, changing nothing, when a word the
  // run touches lies beyond the bitmap.
  void bitsOr(std::size_t position, std::uint32_t value, unsigned width);

  friend bool operator==(const PerUnitBitmap&, const PerUnitBitmap&) = default;

 private:
  std::vector<std::uint32_t> words_;
};

}  // namespace Wem
