// Orvel::String: the base library's string. A value type over std::string with
// the few operations the host interfaces use; appending past max_size() raises
// std::length_error("basic_string::append") like the standard string does.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace Orvel {

class String {
 public:
  String() = default;
  String(const char* text) : text_(text ? text : "") {}  // NOLINT: implicit by design
  String(std::string_view text) : text_(text) {}         // NOLINT
  String(std::string text) : text_(std::move(text)) {}   // NOLINT

  const char* c_str() const noexcept { return text_.c_str(); }
  const std::string& str() const noexcept { return text_; }
  std::string_view view() const noexcept { return text_; }
  std::size_t size() const noexcept { return text_.size(); }
  bool empty() const noexcept { return text_.empty(); }

  String& append(std::string_view more) {
    text_.append(more);
    return *this;
  }
  String& operator+=(std::string_view more) { return append(more); }
  friend String operator+(String left, std::string_view right) { return left.append(right); }

  operator std::string_view() const noexcept { return text_; }  // NOLINT

  friend bool operator==(const String&, const String&) = default;
  friend auto operator<=>(const String&, const String&) = default;
  friend bool operator==(const String& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const String& a, const char* b) { return a.view() == std::string_view(b); }
  friend bool operator==(const String& a, const std::string& b) { return a.view() == std::string_view(b); }

 private:
  std::string text_;
};

}  // namespace Orvel

template <>
struct std::hash<Orvel::String> {
  std::size_t operator()(const Orvel::String& s) const noexcept { return std::hash<std::string_view>{}(s.view()); }
};

template <>
struct fmt::formatter<Orvel::String> : fmt::formatter<std::string_view> {
  auto format(const Orvel::String& s, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(s.view(), ctx);
  }
};
