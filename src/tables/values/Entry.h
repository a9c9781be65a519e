// The data part of every table's Entry, as templates over the table's value
// traits: the key, then the N data bytes exactly as the hardware holds them.
//
// A generated Entry derives from EntryBase and adds only member functions (its
// named fields), so it stays a standard-layout, trivially copyable value with
// the key at offset 0; the generator asserts its size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "Detail/CopyBits.h"
#include "Orvel/Exception.h"
#include "Wem/PerUnitBitmap.h"
#include "Zev/CharRange.h"
#include "tables/values/RangeMessages.h"

namespace bcm88490_a0::values {

// An index into an entry's data bytes: min 0 .. max N - 1 (null = N).
template <class Traits>
class DataByte0Index {
 public:
  static constexpr std::uint32_t min = 0;
  static constexpr std::uint32_t max = Traits::kEntrySize - 1;
  static constexpr std::uint32_t null = Traits::kEntrySize;

  DataByte0Index(unsigned int value) : value_(value) { check(value); }  // NOLINT: an index is its value
  explicit DataByte0Index(Zev::CharRange& range) : value_(0) {
    const std::uint64_t v = Zev::deserializeAttr(range, Traits::kIndexTypeName, "value");
    check(v);
    value_ = static_cast<std::uint32_t>(v);
  }

  constexpr std::uint32_t value() const noexcept { return value_; }
  friend constexpr bool operator==(const DataByte0Index&, const DataByte0Index&) noexcept = default;

  std::string strep() const { return fmt::format("{}(value={})", Traits::kIndexTypeName, value_); }

 private:
  static void check(std::uint64_t v) {
    if (v > max) throwRange(Traits::kIndexTypeName, "value", "min", "max");
  }

  std::uint32_t value_;
};

// A position in an entry's byte array seen as a collection of N bytes.
class DataByte0Iterator {
 public:
  constexpr explicit DataByte0Iterator(std::uint32_t position) noexcept : position_(position) {}
  constexpr std::uint32_t position() const noexcept { return position_; }
  DataByte0Iterator& operator++() noexcept {
    ++position_;
    return *this;
  }
  friend constexpr bool operator==(DataByte0Iterator, DataByte0Iterator) noexcept = default;

 private:
  std::uint32_t position_;
};

template <class Traits, class Key>
class EntryBase {
 public:
  using EntryKey = Key;
  using DataByte0Index = values::DataByte0Index<Traits>;
  // The full type name, as collections record it in their files.
  static constexpr const char* kTypeName = Traits::kEntryTypeName;
  // The name of the table the entry belongs to (its tableName()).
  static constexpr const char* kTableName = Traits::kTableName;
  static constexpr std::uint32_t entrySize = Traits::kEntrySize;
  static constexpr std::uint32_t entrySizeBits = Traits::kEntrySize * 8;

  // The default key and all data bytes 0.
  constexpr EntryBase() noexcept = default;
  constexpr explicit EntryBase(const Key& key) noexcept : entryKey_(key) {}
  // An entry holds a collection (its byte array): it has no string form to parse.
  [[noreturn]] explicit EntryBase(Zev::CharRange&) {
    throw Zev::ParseException("No String constructor for Entry - has collection");
  }

  constexpr const Key& entryKey() const noexcept { return entryKey_; }
  void entryKeyIs(const Key& key) noexcept { entryKey_ = key; }

  unsigned char dataByte0(DataByte0Index index) const noexcept { return dataByte0_[index.value()]; }
  void dataByte0Is(DataByte0Index index, unsigned char value) noexcept { dataByte0_[index.value()] = value; }
  // Returns the byte's old value and leaves 0.
  unsigned char dataByte0Del(DataByte0Index index) noexcept {
    const unsigned char old = dataByte0_[index.value()];
    if (old != 0) dataByte0_[index.value()] = 0;
    return old;
  }
  // The same at an iterator's position, which is first validated against max.
  unsigned char dataByte0Del(DataByte0Iterator position) { return dataByte0Del(DataByte0Index(position.position())); }
  void dataByte0DelAll() noexcept { dataByte0_.fill(0); }

  // The byte array as a collection: N bytes, every index below N present.
  static constexpr std::uint32_t dataByte0Size() noexcept { return entrySize; }
  static constexpr bool dataByte0Has(std::uint64_t index) noexcept { return index < entrySize; }
  static constexpr DataByte0Iterator dataByte0Begin() noexcept { return DataByte0Iterator(0); }
  static constexpr DataByte0Iterator dataByte0End() noexcept { return DataByte0Iterator(entrySize); }

  static constexpr std::size_t keyOffset() noexcept { return offsetof(EntryBase, entryKey_); }

  const std::uint8_t* data() const noexcept { return dataByte0_.data(); }
  std::uint8_t* data() noexcept { return dataByte0_.data(); }

  // Equal keys and equal data bytes.
  friend bool operator==(const EntryBase& a, const EntryBase& b) noexcept {
    return a.entryKey_ == b.entryKey_ && a.dataByte0_ == b.dataByte0_;
  }

  static bool isEq(const EntryBase& a, const EntryBase& b) noexcept {
    if (&a == &b) return true;
    if (!Key::isEq(a.entryKey_, b.entryKey_)) return false;
    for (std::uint32_t i = 0; i < entrySize; ++i) {
      if (a.dataByte0_[i] != b.dataByte0_[i]) return false;
    }
    return true;
  }

  std::string strep() const {
    return fmt::format("{}(entryKey={},dataByte0={})", Traits::kEntryTypeName, entryKey_.strep(),
                       Zev::hexBytes(dataByte0_.data(), entrySize));
  }

 protected:
  // The whole data as a bitmap: a default bitmap with byte i at bit 8i.
  Wem::PerUnitBitmap vectorGet() const {
    std::array<std::uint8_t, entrySize> bytes{};
    Detail::copyBits(bytes.data(), entrySize, dataByte0_.data(), entrySize, entrySizeBits, 0, 0);
    Wem::PerUnitBitmap bitmap;
    for (std::uint32_t i = 0; i < entrySize; ++i) bitmap.bitsOr(8 * i, bytes[i], 8);
    return bitmap;
  }
  // Sets the whole data from a bitmap; a bitmap too short for the data raises
  // the vector range error before any byte changes.
  void vectorIs(const Wem::PerUnitBitmap& bitmap) {
    std::array<std::uint8_t, entrySize> bytes{};
    for (std::uint32_t i = 0; i < entrySize; ++i)
      bytes[i] = static_cast<std::uint8_t>(bitmap.word(i / 4) >> (8 * (i % 4)));
    Detail::copyBits(dataByte0_.data(), entrySize, bytes.data(), entrySize, entrySizeBits, 0, 0);
  }

  Key entryKey_{};
  std::array<std::uint8_t, Traits::kEntrySize> dataByte0_{};
};

// Values with a string form print it through fmt.
template <class T>
concept HasStrep = requires(const T& value) {
  { value.strep() } -> std::convertible_to<std::string>;
};

}  // namespace bcm88490_a0::values

template <class T>
requires bcm88490_a0::values::HasStrep<T>
struct fmt::formatter<T> : fmt::formatter<std::string_view> {
  auto format(const T& value, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(value.strep(), ctx);
  }
};
