// Zev::TraceHandle: a named trace channel with one enable bit per level 0..9.
//
// A trace statement tests its handle's bit before it formats anything (see
// ORVEL_TRACE in Orvel/Format.h), so a disabled level costs one load and a test.
//
// Levels are enabled at run time by rules: a rule is a handle-name pattern
// ("*" matches any run of characters) and a set of levels. Rules come from the
// environment variable VOVU_TRACE, read when the first handle is created, and
// from TraceHandle::enable() (shadowctl's --trace option). The syntax of both:
//
//     RULE[;RULE...]     RULE = PATTERN[=LEVELS]     LEVELS = N | N-M | LEVELS,LEVELS
//
// e.g. "IppaVsiToRoutingProfileMapHwDirect=8;Ippf*=0-3". A rule without levels
// enables 0-9. Rules apply to handles that exist and to handles created later;
// a later rule adds levels to those of earlier ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "Orvel/String.h"

namespace Zev {

class TraceHandle {
 public:
  static constexpr std::uint16_t kLevels = 10;
  static constexpr std::uint16_t kAllLevels = (1u << kLevels) - 1;

  // Creates a handle and applies the rules known so far. Handles live as long
  // as the process; they are normally function-local statics.
  explicit TraceHandle(Orvel::String name);
  ~TraceHandle();
  TraceHandle(const TraceHandle&) = delete;
  TraceHandle& operator=(const TraceHandle&) = delete;

  const Orvel::String& name() const noexcept { return name_; }
  [[gnu::always_inline]] bool enabled(std::uint16_t level) const noexcept {
    return level < kLevels && (mask_.load(std::memory_order_relaxed) >> level & 1u);
  }
  std::uint16_t levelMask() const noexcept { return mask_.load(std::memory_order_relaxed); }
  void levelMaskIs(std::uint16_t mask) noexcept { mask_.store(mask & kAllLevels, std::memory_order_relaxed); }

  // Parses `rules` (syntax above) and applies them to every handle, present and
  // future. Throws Orvel::InvalidInitializeException on a malformed rule; then
  // nothing is applied.
  static void enable(std::string_view rules);
  // Clears every level of every handle and forgets all rules.
  static void disableAll();
  // Names of all live handles, sorted.
  static std::vector<Orvel::String> names();

 private:
  Orvel::String name_;
  std::atomic<std::uint16_t> mask_{0};
};

}  // namespace Zev
