// Bounded unsigned field types U1 .. U21.
//
// Un holds an n-bit unsigned value in the smallest of 1, 2 or 4 bytes that
// fits it. Building one from any integer admits 0 <= v <= 2^n - 1 and
// otherwise raises Orvel::RangeException with "Un::value < 0 or > 0x<max> not
// allowed", the largest value in lower-case hexadecimal, two digits per
// storage byte ("U4::value < 0 or > 0x0f not allowed"). The value is checked
// once, where it is built; code taking a Un checks nothing further.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Orvel {

namespace Impl {
[[noreturn]] void throwBoundedRangeException(unsigned bits, unsigned storageBytes, std::uint32_t maximum);
}  // namespace Impl

template <unsigned Bits>
class BoundedUnsigned {
  static_assert(Bits >= 1 && Bits <= 31, "a bounded type is narrower than 32 bits");

 public:
  using Storage =
      std::conditional_t<(Bits <= 8), std::uint8_t, std::conditional_t<(Bits <= 16), std::uint16_t, std::uint32_t>>;
  static constexpr unsigned kBits = Bits;
  static constexpr Storage kMax = static_cast<Storage>((std::uint32_t{1} << Bits) - 1);

  constexpr BoundedUnsigned() noexcept = default;

  // Checked: throws Orvel::RangeException when `v` does not fit in Bits bits.
  template <std::integral Int>
  constexpr BoundedUnsigned(Int v) : value_(checked(v)) {}  // NOLINT: implicit like the host's types

  // For bits that cannot exceed the width (read from a field of this width).
  static constexpr BoundedUnsigned fromBits(Storage bits) noexcept {
    BoundedUnsigned u;
    u.value_ = static_cast<Storage>(bits & kMax);
    return u;
  }

  constexpr Storage value() const noexcept { return value_; }
  constexpr operator Storage() const noexcept { return value_; }  // NOLINT

 private:
  template <std::integral Int>
  static constexpr Storage checked(Int v) {
    if constexpr (std::is_same_v<Int, bool>) {
      return static_cast<Storage>(v);
    } else {
      return checkedNumber(v);
    }
  }
  template <std::integral Int>
  static constexpr Storage checkedNumber(Int v) {
    if constexpr (std::is_signed_v<Int>) {
      if (v < 0) Impl::throwBoundedRangeException(Bits, sizeof(Storage), kMax);
    }
    if (static_cast<std::make_unsigned_t<Int>>(v) > kMax) Impl::throwBoundedRangeException(Bits, sizeof(Storage), kMax);
    return static_cast<Storage>(v);
  }

  Storage value_ = 0;
};

using U1 = BoundedUnsigned<1>;
using U2 = BoundedUnsigned<2>;
using U3 = BoundedUnsigned<3>;
using U4 = BoundedUnsigned<4>;
using U5 = BoundedUnsigned<5>;
using U6 = BoundedUnsigned<6>;
using U7 = BoundedUnsigned<7>;
using U9 = BoundedUnsigned<9>;
using U12 = BoundedUnsigned<12>;
using U14 = BoundedUnsigned<14>;
using U21 = BoundedUnsigned<21>;

static_assert(sizeof(U7) == 1 && sizeof(U9) == 2 && sizeof(U14) == 2 && sizeof(U21) == 4,
              "storage: 1-7 bits in one byte, 9-15 in two, 21 in four");

}  // namespace Orvel

template <unsigned Bits>
struct fmt::formatter<Orvel::BoundedUnsigned<Bits>> : fmt::formatter<std::uint32_t> {
  auto format(Orvel::BoundedUnsigned<Bits> v, fmt::format_context& ctx) const {
    return fmt::formatter<std::uint32_t>::format(v.value(), ctx);
  }
};
