// Counters a writer keeps about its collection (process-local).
#pragma once

#include <cstdint>

namespace Ploom::Writer {

struct Counters {
  std::uint64_t allocations = 0;
  std::uint64_t frees = 0;
  std::uint64_t directWrites = 0;
  std::uint64_t directCommits = 0;
  std::uint64_t grows = 0;
  std::uint64_t shrinks = 0;
  std::uint64_t remaps = 0;
  double lastBucketResizeTime = 0;
  double maxBucketGrowTime = 0;
  double maxBucketShrinkTime = 0;
};

}  // namespace Ploom::Writer
