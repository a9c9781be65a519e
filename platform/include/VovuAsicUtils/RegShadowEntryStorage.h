// VovuAsicUtils::RegShadowEntryStorage: where register shadows keep their
// entries. One store per table manager, shared by all register tables; an
// entry is keyed by the shadow's identity, its name, an array index and an
// entry index, and holds up to 256 data bytes. The store is process-local.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>

#include "Orvel/Exception.h"
#include "Orvel/Node.h"
#include "Orvel/String.h"

namespace VovuAsicUtils {

// A string of at most 101 characters held in place. A longer text raises
// Orvel::RangeException "FString101: length <n> exceeds 101 not allowed".
class FString101 {
 public:
  static constexpr std::size_t kMax = 101;

  FString101() = default;
  explicit FString101(std::string_view text);

  std::string_view view() const noexcept { return {chars_.data(), size_}; }
  friend bool operator==(const FString101& a, const FString101& b) noexcept { return a.view() == b.view(); }
  friend auto operator<=>(const FString101& a, const FString101& b) noexcept { return a.view() <=> b.view(); }

 private:
  std::array<char, kMax> chars_{};
  std::uint8_t size_ = 0;
};

struct RegisterShadowPloomEntryKey {
  std::uint32_t word0 = 0;
  std::uint32_t word1 = 0;
  FString101 name;
  std::uint16_t word2 = 0;
  std::uint8_t arrayIndex = 0;
  std::uint32_t entryIndex = 0;

  friend bool operator==(const RegisterShadowPloomEntryKey&, const RegisterShadowPloomEntryKey&) = default;
  friend auto operator<=>(const RegisterShadowPloomEntryKey&, const RegisterShadowPloomEntryKey&) = default;
};

struct RegisterShadowPloomEntry {
  static constexpr std::size_t kDataSize = 256;

  RegisterShadowPloomEntry() = default;
  explicit RegisterShadowPloomEntry(const RegisterShadowPloomEntryKey& k) : key(k) {}

  RegisterShadowPloomEntryKey key;
  std::array<std::uint8_t, kDataSize> data{};
};

class RegShadowEntryStorage : public Orvel::Node {
 public:
  void entryCollIs(const RegisterShadowPloomEntry& entry) { entries_[entry.key] = entry; }
  // Removes the entry; false when it was absent.
  bool entryCollDel(const RegisterShadowPloomEntryKey& key) { return entries_.erase(key) != 0; }
  // The entry, or null.
  const RegisterShadowPloomEntry* entryColl(const RegisterShadowPloomEntryKey& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
  }
  const std::map<RegisterShadowPloomEntryKey, RegisterShadowPloomEntry>& entries() const noexcept { return entries_; }

 private:
  std::map<RegisterShadowPloomEntryKey, RegisterShadowPloomEntry> entries_;
};

}  // namespace VovuAsicUtils
