// VovuAsicUtils::HwTableStats: a table's counts of added and deleted entries.
#pragma once

#include <cstdint>

namespace VovuAsicUtils {

class HwTableStats {
 public:
  std::uint64_t entryAddCnt() const noexcept { return entryAddCnt_; }
  std::uint64_t entryDelCnt() const noexcept { return entryDelCnt_; }
  void entryAddCntInc(std::uint64_t count) noexcept { entryAddCnt_ += count; }
  void entryDelCntInc(std::uint64_t count) noexcept { entryDelCnt_ += count; }

 private:
  std::uint64_t entryAddCnt_ = 0;
  std::uint64_t entryDelCnt_ = 0;
};

}  // namespace VovuAsicUtils
