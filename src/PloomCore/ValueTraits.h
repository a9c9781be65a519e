// What the collection needs of the values it stores.
//
// A value V is trivially copyable, a multiple of 4 bytes, and starts with its
// key: V::EntryKey, reached through entryKey(). Keys order with <=> and hash
// with keyHash(key, seed), found by argument-dependent lookup, so the
// catalogue's entries and small test values plug in alike. V::kTypeName names
// the value type in the slot-file header.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <type_traits>

namespace Ploom {

template <class V>
concept CollectionValue = std::is_trivially_copyable_v<V> &&(sizeof(V) % 4 == 0) && requires(const V& v) {
  typename V::EntryKey;
  { v.entryKey() } -> std::convertible_to<const typename V::EntryKey&>;
  { keyHash(v.entryKey(), std::uint32_t{}) } -> std::convertible_to<std::uint32_t>;
  { v.entryKey() <=> v.entryKey() } -> std::convertible_to<std::strong_ordering>;
  { V::kTypeName } -> std::convertible_to<const char*>;
};

template <CollectionValue V>
struct ValueTraits {
  using Key = typename V::EntryKey;
  // Both sit on every reader's and writer's look-up path: always inlined.
  [[gnu::always_inline]] static const Key& key(const V& v) noexcept { return v.entryKey(); }
  [[gnu::always_inline]] static std::uint32_t hash(const Key& k, std::uint32_t seed) noexcept {
    return keyHash(k, seed);
  }
};

}  // namespace Ploom
