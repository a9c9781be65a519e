// The reader's counter block: 124 32-bit words, returned by readerCounters().
// A local shadow counts into the block of the reader it holds.
#pragma once

#include <array>
#include <cstdint>

namespace Ploom::Reader {

struct Counters {
  enum Index : std::size_t {
    retries = 0,        // walks restarted because a link changed under them
    rewriteCopies = 1,  // values taken from the lookaside image during a rewrite
    slowPaths = 2,      // next() calls that could not use their hint
    resizeRetries = 3,  // operations repeated because the files were re-mapped
    reattaches = 4,     // re-formatted collections attached again
    shadowGrows = 5,    // local store grown to the shared slot count
    shadowShrinks = 6,  // local store shrunk
    indexUpdates = 7,   // records indexed (ShadowHashMap::write)
    mismatches = 8,     // slots that held another key than the local index expected
    unconsumed = 9,     // notifications not consumed
    rereads = 10,       // slots read again because their value changed under a walk
    indexGrows = 11,    // local bucket array doubled
    indexShrinks = 12,  // local bucket array halved
    relinks = 13,       // keys that moved to another shared slot, re-linked in place
  };
  std::array<std::uint32_t, 124> words{};

  void inc(Index i) noexcept { ++words[i]; }
  std::uint32_t operator[](Index i) const noexcept { return words[i]; }
};

}  // namespace Ploom::Reader
