// Small values to store in collections under test: a 12-byte value with a
// 4-byte key (the slot shape of the catalogue's entries), and one whose keys
// collide in groups of four, to exercise equal reversed hashes.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Zev/Hash.h"

namespace test_values {

struct Key {
  std::uint32_t id = 0;
  friend constexpr auto operator<=>(const Key&, const Key&) = default;
  std::string strep() const { return fmt::format("Key(id={})", id); }
};
inline std::uint32_t keyHash(const Key& key, std::uint32_t seed) { return Zev::hashSingleAttr(seed, key.id); }

struct Value {
  using EntryKey = Key;
  static constexpr const char* kTypeName = "test_values::Value";
  Key key;
  std::uint32_t payload[2] = {0, 0};
  const Key& entryKey() const { return key; }
  friend bool operator==(const Value&, const Value&) = default;
};
static_assert(sizeof(Value) == 12);

// Keys whose hash depends on id / 4 only: four keys share each hash.
struct GroupKey {
  std::uint32_t id = 0;
  friend constexpr auto operator<=>(const GroupKey&, const GroupKey&) = default;
};
inline std::uint32_t keyHash(const GroupKey& key, std::uint32_t seed) { return Zev::hashSingleAttr(seed, key.id / 4); }

struct GroupValue {
  using EntryKey = GroupKey;
  static constexpr const char* kTypeName = "test_values::GroupValue";
  GroupKey key;
  std::uint32_t payload = 0;
  const GroupKey& entryKey() const { return key; }
  friend bool operator==(const GroupValue&, const GroupValue&) = default;
};

}  // namespace test_values
