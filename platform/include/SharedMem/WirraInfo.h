// SharedMem::WirraInfo: how to reach the process that owns a collection.
//
// The owner listens on an abstract-namespace Unix socket (no file, so no path
// length limit and nothing left behind); the record also carries its pid and
// the start time of that process (from /proc/<pid>/stat, in clock ticks since
// boot), so a recycled pid is not mistaken for the owner.
#pragma once

#include <cstdint>
#include <string>

namespace SharedMem {

struct WirraInfo {
  std::string socketName;  // abstract socket name without the leading NUL; empty: no owner
  std::int32_t pid = 0;
  std::uint64_t startTime = 0;

  bool empty() const noexcept { return socketName.empty(); }
  // "socket=<name> pid=<pid> start=<ticks>", or "none".
  std::string toString() const;
  friend bool operator==(const WirraInfo&, const WirraInfo&) = default;
};

// The start time of process `pid` in clock ticks since boot; 0 when unknown.
std::uint64_t processStartTime(std::int32_t pid);

}  // namespace SharedMem
