// The value the fuzz targets store: a 12-byte value with a 4-byte key.
#pragma once

#include <compare>
#include <cstdint>

#include "Zev/Hash.h"

namespace fuzz_values {

struct Key {
  std::uint32_t id = 0;
  friend constexpr auto operator<=>(const Key&, const Key&) = default;
};
inline std::uint32_t keyHash(const Key& key, std::uint32_t seed) { return Zev::hashSingleAttr(seed, key.id); }

struct Value {
  using EntryKey = Key;
  static constexpr const char* kTypeName = "fuzz::Value";
  Key key;
  std::uint32_t payload[2] = {0, 0};
  const Key& entryKey() const { return key; }
};

}  // namespace fuzz_values
