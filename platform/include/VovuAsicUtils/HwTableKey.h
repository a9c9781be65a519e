// Keys of the host's table registries.
//
// HwTableKey names one hardware table for one chip revision: the key under
// which factories are registered and under which a table manager keeps its
// table objects. HwShadowKey names one shadow: a chip (fap id) and a table
// instance on it.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/String.h"

namespace VovuAsicUtils {

using Hardware::Vovu::FapRevision;

class HwTableKey {
 public:
  HwTableKey() = default;
  HwTableKey(Orvel::String tableName, const FapRevision& revision)
      : tableName_(std::move(tableName)), revision_(revision) {}

  const Orvel::String& tableName() const noexcept { return tableName_; }
  const FapRevision& fapRevision() const noexcept { return revision_; }

  friend bool operator==(const HwTableKey&, const HwTableKey&) = default;
  friend auto operator<=>(const HwTableKey&, const HwTableKey&) = default;

 private:
  Orvel::String tableName_;
  FapRevision revision_;
};

class HwShadowKey {
 public:
  constexpr HwShadowKey() = default;
  constexpr HwShadowKey(std::uint8_t fapId, std::uint8_t instanceId) : fapId_(fapId), instanceId_(instanceId) {}

  constexpr std::uint8_t fapId() const noexcept { return fapId_; }
  constexpr std::uint8_t instanceId() const noexcept { return instanceId_; }
  // The two bytes as one word, fap id in the low byte.
  constexpr std::uint16_t value() const noexcept { return static_cast<std::uint16_t>(instanceId_ << 8 | fapId_); }

  // "<fapId>-<instanceId>": safe to use as a path component.
  std::string toString() const { return fmt::format("{}-{}", fapId_, instanceId_); }

  friend constexpr bool operator==(const HwShadowKey&, const HwShadowKey&) = default;
  friend constexpr auto operator<=>(const HwShadowKey&, const HwShadowKey&) = default;

 private:
  std::uint8_t fapId_ = 0;
  std::uint8_t instanceId_ = 0;
};
static_assert(sizeof(HwShadowKey) == 2, "a shadow key is two bytes");

}  // namespace VovuAsicUtils

template <>
struct std::hash<VovuAsicUtils::HwTableKey> {
  std::size_t operator()(const VovuAsicUtils::HwTableKey& k) const noexcept {
    return std::hash<Orvel::String>{}(k.tableName()) * 31 + std::hash<Hardware::Vovu::FapRevision>{}(k.fapRevision());
  }
};
template <>
struct std::hash<VovuAsicUtils::HwShadowKey> {
  std::size_t operator()(const VovuAsicUtils::HwShadowKey& k) const noexcept {
    return std::hash<std::uint16_t>{}(k.value());
  }
};

template <>
struct fmt::formatter<VovuAsicUtils::HwTableKey> : fmt::formatter<std::string_view> {
  auto format(const VovuAsicUtils::HwTableKey& k, fmt::format_context& ctx) const {
    return fmt::format_to(ctx.out(), "{}/{}", k.tableName(), k.fapRevision());
  }
};
template <>
struct fmt::formatter<VovuAsicUtils::HwShadowKey> : fmt::formatter<std::string_view> {
  auto format(const VovuAsicUtils::HwShadowKey& k, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(k.toString(), ctx);
  }
};
