// Zev::Hash: the entity framework's seeded 32-bit hash accumulator.
//
// Each attribute of a value is mixed in order, zero-extended to 32 bits, with
// the block step of 32-bit MurmurHash3; result() adds the byte count and runs
// the final avalanche. mix1 counts one byte, mix4 four. Writers and readers of
// a shared collection live in different processes: the function is fixed, and
// tests pin it with test vectors.
#pragma once

#include <cstdint>

namespace Zev {

class Hash {
 public:
  explicit constexpr Hash(std::uint32_t seed) noexcept : h_(seed) {}

  constexpr Hash& mix1(std::uint8_t byte) noexcept { return block(byte, 1); }
  constexpr Hash& mix4(std::uint32_t word) noexcept { return block(word, 4); }

  constexpr std::uint32_t result() const noexcept {
    std::uint32_t h = h_ ^ length_;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
  }

 private:
  static constexpr std::uint32_t rotl(std::uint32_t x, unsigned r) noexcept { return x << r | x >> (32 - r); }

  constexpr Hash& block(std::uint32_t k, std::uint32_t bytes) noexcept {
    k *= 0xcc9e2d51u;
    k = rotl(k, 15);
    k *= 0x1b873593u;
    h_ ^= k;
    h_ = rotl(h_, 13);
    h_ = h_ * 5 + 0xe6546b64u;
    length_ += bytes;
    return *this;
  }

  std::uint32_t h_;
  std::uint32_t length_ = 0;
};

// The hash of a value with one 32-bit attribute.
constexpr std::uint32_t hashSingleAttr(std::uint32_t seed, std::uint32_t value) noexcept {
  return Hash(seed).mix4(value).result();
}

}  // namespace Zev
