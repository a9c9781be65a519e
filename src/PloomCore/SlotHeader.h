// The slot file's header: the common part (bytes 0-557, Ploom::SlotHeaderCommon)
// and the collection's own fields, then one lookaside slot image.
//
//   384  u32  retired mark: 0 while the file is in use, kRetiredMark once
//             the writer retired it (stored after the "retired" runtime
//             flag, before the unlink). It lies in the part of the common
//             header that SlotHeaderCommon leaves unused (304-557), on a
//             cache line of its own that the writer stores to only when it
//             formats or retires the file, so a reader checks it after every
//             operation without pulling in a line the writer dirties on
//             every write (as the runtime flags and the count pair are).
//   388  u32  slot-count generation, again: stored just before the count
//             pair (584) whenever the count changes, on the retired mark's
//             line, so that a reader compares it after every miss and
//             iteration step instead of the pair, whose line the lookaside
//             image shares. It is never behind the pair (a writer that dies
//             between the two stores leaves it one ahead, which only sends
//             readers to the pair until the next count change).
//   558  u16  runtime flags; bit 0: a writer is inside a critical section;
//             bit 1: the file was retired (unlinked for a re-format);
//             bit 2: the header is complete (set last when the file is
//             formatted); bits 3-15 are 0
//   564  u32  occupied slot count
//   568  u32  free-list head (slot index, or 0xBFFFFFFF when empty)
//   572  u32  largest slot count the file has ever had
//   576  u32  hash seed of the collection
//   584  u32  slot-count generation  } one versioned pair, written
//   588  u32  slot count             } with one 64-bit store
//   592  u32  highest occupied count seen
//   608       lookaside slot image (slot size bytes)
// The slot array follows at 608 + slot size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PloomCore/SharedWords.h"
#include "PloomCore/SlotHeaderCommon.h"

namespace Ploom::SlotHeader {

inline constexpr std::size_t kCommonSize = 608;
inline constexpr std::size_t kRuntimeFlags = 558;
inline constexpr std::size_t kOccupied = 564;
inline constexpr std::size_t kFreeHead = 568;
inline constexpr std::size_t kMaxSlotsEver = 572;
inline constexpr std::size_t kSeed = 576;
inline constexpr std::size_t kCountPair = 584;
inline constexpr std::size_t kHighestOccupied = 592;
inline constexpr std::size_t kLookaside = 608;
inline constexpr std::size_t kRetiredMarkOffset = 384;
inline constexpr std::uint32_t kRetiredMark = 0x44455452;  // "RTED"
inline constexpr std::size_t kGenerationCopy = 388;

inline constexpr std::uint16_t kInCriticalSection = 0x1;
// Set in a file's header just before the writer unlinks it to re-format the
// collection: readers still mapping it attach the new files.
inline constexpr std::uint16_t kRetired = 0x2;
// Set last when a new file is formatted, after every other header field: a
// reader that opens a file still being formatted sees it clear and does not
// read a seed or a slot count that is not there yet; a writer re-formats a
// file a dead writer left half-formatted.
inline constexpr std::uint16_t kFormatted = 0x4;

static_assert(SlotHeaderCommon::kEnd == kRuntimeFlags, "the collection's fields follow the common header");
static_assert(kRetiredMarkOffset >= SlotHeaderCommon::kTypeNameOffset + SlotHeaderCommon::kTypeNameSize &&
                  kRetiredMarkOffset % 64 == 0 && kRetiredMarkOffset + 64 <= kRuntimeFlags - kRuntimeFlags % 64,
              "the retired mark has a cache line of its own in the unused part of the common header");
static_assert(kRuntimeFlags % 2 == 0 && kOccupied % 4 == 0 && kCountPair % 8 == 0,
              "shared words are naturally aligned");
static_assert(kLookaside == kCommonSize, "the lookaside image follows the common header");

inline std::uint32_t word(const std::uint8_t* base, std::size_t offset) { return detail::Words::wordAt(base, offset); }
inline void wordIs(std::uint8_t* base, std::size_t offset, std::uint32_t value) {
  detail::Words::wordAtIs(base, offset, value);
}
inline std::uint16_t runtimeFlags(const std::uint8_t* base) {
  return detail::Words::load<std::uint16_t>(base + kRuntimeFlags);
}
inline void runtimeFlagsIs(std::uint8_t* base, std::uint16_t flags) {
  detail::Words::store<std::uint16_t>(base + kRuntimeFlags, flags);
}
inline bool retiredMarked(const std::uint8_t* base) { return word(base, kRetiredMarkOffset) == kRetiredMark; }
inline void retiredMarkIs(std::uint8_t* base, bool retired) {
  wordIs(base, kRetiredMarkOffset, retired ? kRetiredMark : 0);
}
// {generation, count} of the slot array.
inline SlotLink countPair(const std::uint8_t* base) { return SlotLink::read(base + kCountPair); }
inline void countPairIs(std::uint8_t* base, std::uint32_t generation, std::uint32_t count) {
  SlotLink::write(base + kCountPair, SlotLink{generation, count});
}
// Publishes a new slot count under the next generation: the copy of the
// generation first, then the pair.
inline void countIs(std::uint8_t* base, std::uint32_t count) {
  const std::uint32_t generation = countPair(base).version + SlotLink::kGenerationStep;
  wordIs(base, kGenerationCopy, generation);
  countPairIs(base, generation, count);
}
inline std::uint32_t generationCopy(const std::uint8_t* base) { return word(base, kGenerationCopy); }

}  // namespace Ploom::SlotHeader
