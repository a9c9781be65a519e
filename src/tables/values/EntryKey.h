// The two key forms of the catalogue's tables, as templates over a table's
// value traits (generated per table, see the generator's emit_values.py):
//
//   IndexedEntryKey  {arrayIndex (8 bits), entryIndex (32 bits)}; 8 bytes,
//                    arrayIndex at offset 0, three zero padding bytes.
//   ValueEntryKey    {value (32 bits)}, admitting min .. null (null = max + 1).
//
// Both are trivially copyable standard-layout values whose every byte is
// defined (padding included), so they can be stored and compared as bytes.
// Setters do nothing when the value is unchanged and otherwise validate first:
// a refused value leaves the key as it was. Range errors raise
// Orvel::RangeException with the table's full names (RangeMessages.h).
#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Zev/CharRange.h"
#include "Zev/Hash.h"
#include "tables/values/RangeMessages.h"

namespace bcm88490_a0::values {

template <class Traits>
class IndexedEntryKey {
 public:
  static constexpr std::uint8_t arrayIndexMin = Traits::kArrayIndexMin;
  static constexpr std::uint8_t arrayIndexMax = Traits::kArrayIndexMax;
  static constexpr std::uint32_t entryIndexMin = Traits::kEntryIndexMin;
  static constexpr std::uint32_t entryIndexMax = Traits::kEntryIndexMax;
  static constexpr bool kIndexed = true;

  constexpr IndexedEntryKey() noexcept = default;
  // Stores both, then checks arrayIndex first and entryIndex second.
  IndexedEntryKey(unsigned char arrayIndex, unsigned int entryIndex)
      : arrayIndex_(arrayIndex), entryIndex_(entryIndex) {
    checkArrayIndex(arrayIndex_);
    checkEntryIndex(entryIndex_);
  }
  // Parses "<Table>::EntryKey(arrayIndex=A,entryIndex=E)" (see Zev/CharRange.h).
  explicit IndexedEntryKey(Zev::CharRange& range) {
    const std::uint64_t arrayIndex = Zev::desAttrPre(range, Traits::kKeyTypeName, "arrayIndex");
    const std::uint64_t entryIndex = Zev::desAttrPost(range, "entryIndex");
    *this = checked(arrayIndex, entryIndex);
  }
  // Checks 64-bit values before narrowing them, so 258 is refused, not taken as 2.
  static IndexedEntryKey checked(std::uint64_t arrayIndex, std::uint64_t entryIndex) {
    checkArrayIndex(arrayIndex);
    checkEntryIndex(entryIndex);
    return IndexedEntryKey(static_cast<unsigned char>(arrayIndex), static_cast<unsigned int>(entryIndex));
  }

  constexpr std::uint8_t arrayIndex() const noexcept { return arrayIndex_; }
  constexpr std::uint32_t entryIndex() const noexcept { return entryIndex_; }

  void arrayIndexIs(unsigned char arrayIndex) {
    if (arrayIndex == arrayIndex_) return;
    checkArrayIndex(arrayIndex);
    arrayIndex_ = arrayIndex;
  }
  void entryIndexIs(unsigned int entryIndex) {
    if (entryIndex == entryIndex_) return;
    checkEntryIndex(entryIndex);
    entryIndex_ = entryIndex;
  }

  // Zev::Hash over the arrayIndex byte, then the 32-bit entryIndex.
  constexpr std::uint32_t hash(std::uint32_t seed) const noexcept {
    return Zev::Hash(seed).mix1(arrayIndex_).mix4(entryIndex_).result();
  }
  static bool isEq(const IndexedEntryKey& a, const IndexedEntryKey& b) noexcept {
    if (&a == &b) return true;
    return a.arrayIndex_ == b.arrayIndex_ && a.entryIndex_ == b.entryIndex_;
  }
  friend constexpr bool operator==(const IndexedEntryKey& a, const IndexedEntryKey& b) noexcept {
    return a.arrayIndex_ == b.arrayIndex_ && a.entryIndex_ == b.entryIndex_;
  }
  friend constexpr std::strong_ordering operator<=>(const IndexedEntryKey& a, const IndexedEntryKey& b) noexcept {
    if (auto c = a.arrayIndex_ <=> b.arrayIndex_; c != 0) return c;
    return a.entryIndex_ <=> b.entryIndex_;
  }

  std::string strep() const {
    return fmt::format("{}(arrayIndex={},entryIndex={})", Traits::kKeyTypeName, arrayIndex_, entryIndex_);
  }

 private:
  static void checkArrayIndex(std::uint64_t v) {
    if (v < arrayIndexMin || v > arrayIndexMax) {
      throwRange(Traits::kKeyTypeName, "arrayIndex", "arrayIndexMin", "arrayIndexMax");
    }
  }
  static void checkEntryIndex(std::uint64_t v) {
    if (v < entryIndexMin || v > entryIndexMax) {
      throwRange(Traits::kKeyTypeName, "entryIndex", "entryIndexMin", "entryIndexMax");
    }
  }

  std::uint8_t arrayIndex_ = arrayIndexMin;
  std::uint8_t padding_[3] = {};
  std::uint32_t entryIndex_ = 0;
};

template <class Traits>
class ValueEntryKey {
 public:
  static constexpr std::uint32_t min = 0;
  static constexpr std::uint32_t max = Traits::kMax;
  static constexpr std::uint32_t null = Traits::kMax + 1;
  static constexpr bool kIndexed = false;

  constexpr ValueEntryKey() noexcept = default;
  // Admits min .. null (null itself included).
  ValueEntryKey(unsigned int value) : value_(value) { check(value); }  // NOLINT: a key is its value
  // Parses "<Table>::EntryKey(value=V)" or a bare number.
  explicit ValueEntryKey(Zev::CharRange& range)
      : ValueEntryKey(checked(Zev::deserializeAttr(range, Traits::kKeyTypeName, "value"))) {}
  static ValueEntryKey checked(std::uint64_t value) {
    check(value);
    return ValueEntryKey(static_cast<unsigned int>(value));
  }

  constexpr std::uint32_t value() const noexcept { return value_; }
  void valueIs(unsigned int value) {
    if (value == value_) return;
    check(value);
    value_ = value;
  }

  static bool isEq(const ValueEntryKey& a, const ValueEntryKey& b) noexcept { return &a == &b || a.value_ == b.value_; }
  friend constexpr bool operator==(const ValueEntryKey&, const ValueEntryKey&) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(const ValueEntryKey&, const ValueEntryKey&) noexcept = default;

  std::string strep() const { return fmt::format("{}(value={})", Traits::kKeyTypeName, value_); }

 private:
  static void check(std::uint64_t v) {
    if (v > null) throwRange(Traits::kKeyTypeName, "value", "min", "null");
  }

  std::uint32_t value_ = 0;
};

// The hash every collection uses for a key: the indexed key's own hash, or
// Zev::hashSingleAttr of a value key's value.
template <class Key>
constexpr std::uint32_t keyHash(const Key& key, std::uint32_t seed) noexcept {
  if constexpr (Key::kIndexed) {
    return key.hash(seed);
  } else {
    return Zev::hashSingleAttr(seed, key.value());
  }
}

}  // namespace bcm88490_a0::values
