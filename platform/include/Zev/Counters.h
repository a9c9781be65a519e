// Zev::CounterWriter: the host's counter facility.
//
// A writer is requested for a counter group name and a number; it hands out
// named 64-bit counters whose addresses stay valid while the writer lives, so
// the owner increments them with a plain add.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace Zev {

inline constexpr const char* kDefaultCounterGroup = "default";

class CounterWriter {
 public:
  static std::unique_ptr<CounterWriter> counterWriter(std::string_view group, std::uint32_t number) {
    return std::unique_ptr<CounterWriter>(new CounterWriter(std::string(group), number));
  }

  const std::string& group() const noexcept { return group_; }
  std::uint32_t number() const noexcept { return number_; }

  // Registers a counter starting at 0 (or returns the one of that name).
  std::uint64_t* counterIs(std::string_view name) {
    for (auto& [n, value] : counters_) {
      if (n == name) return &value;
    }
    return &counters_.emplace_back(std::string(name), 0).second;
  }

 private:
  CounterWriter(std::string group, std::uint32_t number) : group_(std::move(group)), number_(number) {}

  std::string group_;
  std::uint32_t number_;
  std::deque<std::pair<std::string, std::uint64_t>> counters_;
};

}  // namespace Zev
