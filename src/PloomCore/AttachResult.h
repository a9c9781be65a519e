// Ploom::AttachResult: what attaching one of a collection's files found.
//
// The values are bits: the writer or-s the results of its slot file and its
// bucket file, and uses the files only when both were created or both were
// attached; a mix (one file new, one old) or a bad header re-formats the
// collection. Traces print the number.
#pragma once

#include <cstdint>

namespace Ploom {

enum class AttachResult : std::uint32_t {
  failedValidation = 0,  // the writer's verdict: both files mapped, the collection failed validation
  created = 1,           // no file was there: a new one was made
  attached = 2,          // an existing file was mapped as it is
  badHeader = 8,         // an existing file's header failed its checks; nothing changed
};

constexpr AttachResult operator|(AttachResult a, AttachResult b) noexcept {
  return static_cast<AttachResult>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr std::uint32_t number(AttachResult r) noexcept { return static_cast<std::uint32_t>(r); }
// Both files created, or both attached.
constexpr bool usable(AttachResult r) noexcept { return r == AttachResult::created || r == AttachResult::attached; }
// A single file's result is one of the three.
constexpr bool known(AttachResult r) noexcept { return usable(r) || r == AttachResult::badHeader; }

}  // namespace Ploom
