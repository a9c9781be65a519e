// SchanAccel::Fapmask: a set of chip (fap) ids, 0..255. The empty mask selects no chip.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>

#include <fmt/format.h>

namespace SchanAccel {

class Fapmask {
 public:
  Fapmask() = default;

  bool fapId(std::uint8_t id) const noexcept { return bits_.test(id); }
  void fapIdIs(std::uint8_t id, bool on = true) noexcept { bits_.set(id, on); }
  bool empty() const noexcept { return bits_.none(); }
  std::size_t count() const noexcept { return bits_.count(); }

  Fapmask& operator&=(const Fapmask& other) noexcept {
    bits_ &= other.bits_;
    return *this;
  }
  Fapmask& operator|=(const Fapmask& other) noexcept {
    bits_ |= other.bits_;
    return *this;
  }
  friend bool operator==(const Fapmask&, const Fapmask&) = default;

  // "{0,1}": the chip ids in ascending order.
  std::string toString() const {
    std::string text = "{";
    for (unsigned id = 0; id < bits_.size(); ++id) {
      if (!bits_.test(id)) continue;
      if (text.size() > 1) text += ',';
      text += std::to_string(id);
    }
    return text + "}";
  }

 private:
  std::bitset<256> bits_;
};

}  // namespace SchanAccel

template <>
struct fmt::formatter<SchanAccel::Fapmask> : fmt::formatter<std::string_view> {
  auto format(const SchanAccel::Fapmask& m, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(m.toString(), ctx);
  }
};
