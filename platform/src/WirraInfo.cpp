#include "SharedMem/WirraInfo.h"

#include <algorithm>
#include <charconv>

#include <fmt/format.h>

#include "FileReplace.h"

namespace SharedMem {

std::string WirraInfo::toString() const {
  if (empty()) return "none";
  return fmt::format("socket={} pid={} start={}", socketName, pid, startTime);
}

std::uint64_t processStartTime(std::int32_t pid) {
  if (pid <= 0) return 0;
  std::string stat;
  if (Mem::Impl::readWholeFile(fmt::format("/proc/{}/stat", pid), stat) != 0) return 0;
  // "pid (command) state ppid ...": the command may hold spaces and ')', so
  // the fields are counted from the last ')'. The state is field 3, the start
  // time field 22.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::size_t pos = close + 1;
  for (int field = 3; field <= 22; ++field) {
    pos = stat.find_first_not_of(' ', pos);
    if (pos == std::string::npos) return 0;
    const std::size_t end = std::min(stat.find(' ', pos), stat.size());
    if (field == 22) {
      std::uint64_t ticks = 0;
      const auto [ptr, ec] = std::from_chars(stat.data() + pos, stat.data() + end, ticks);
      if (ec != std::errc() || ptr != stat.data() + end) return 0;
      return ticks;
    }
    pos = end;
  }
  return 0;
}

}  // namespace SharedMem
