// Sizes and iteration counts of the stress and crash tests. They come from
// the test, never from a timer: the normal run is short enough for every CI
// run; VOVU_LONG_TESTS=1 (or a number, a multiplier) runs the same tests
// much longer for soak runs.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace testing_support {

// `normal` scaled by the soak factor.
inline std::uint64_t scaled(std::uint64_t normal) {
  const char* value = std::getenv("VOVU_LONG_TESTS");
  if (!value || !*value) return normal;
  const long factor = std::strtol(value, nullptr, 10);
  return normal * (factor <= 1 ? 20 : static_cast<std::uint64_t>(factor));
}

}  // namespace testing_support
