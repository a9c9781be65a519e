// The entity framework's string form of values, and its parser.
//
// Every value prints as its full type name followed by its attributes in
// parentheses, "Type(attr=value,attr=value)": numbers in decimal, byte arrays
// as lowercase hex, byte 0 first; nested values print their own full form.
// For example
//     bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey(arrayIndex=2,entryIndex=60)
//     bcm88490_a0::TarSnifActionTableHwDirect::EntryKey(value=3)
// The parser reads exactly that back. Numbers may also be written in hex with
// "0x"; a value with a single attribute may also be written as a bare number.
// Parse errors raise Zev::ParseException naming what was expected and where.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Orvel/Exception.h"
#include "Orvel/String.h"

namespace Zev {

class ParseException : public Orvel::Exception {
  using Orvel::Exception::Exception;
};

// A cursor over the text being parsed.
class CharRange {
 public:
  explicit CharRange(std::string_view text) : text_(text) {}

  std::string_view rest() const noexcept { return text_.substr(at_); }
  std::size_t position() const noexcept { return at_; }
  bool empty() const noexcept { return at_ >= text_.size(); }

  // Consumes `literal` if the rest starts with it.
  bool take(std::string_view literal) noexcept;
  // Consumes `literal` or raises ParseException.
  void expect(std::string_view literal);
  // Reads a decimal or 0x-hex number of up to 64 bits; raises ParseException.
  std::uint64_t number();
  // Raises ParseException "<what> at offset N in "<text>"".
  [[noreturn]] void fail(std::string_view what) const;

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// "Type(attr=" then a number: the first attribute of a multi-attribute value.
std::uint64_t desAttrPre(CharRange& range, std::string_view typeName, std::string_view attrName);
// ",attr=" then a number then ")": the last attribute.
std::uint64_t desAttrPost(CharRange& range, std::string_view attrName);
// A single-attribute value: "Type(attr=number)" or a bare number.
std::uint64_t deserializeAttr(CharRange& range, std::string_view typeName, std::string_view attrName);
// Raises ParseException when text is left after the value.
void CharRangeCheckAllDataConsumed(const CharRange& range);

// Parses `text` as a T (through T's CharRange constructor) and requires that
// all of it is consumed.
template <class T>
T strepToValue(const Orvel::String& text) {
  CharRange range(text.view());
  T value(range);
  CharRangeCheckAllDataConsumed(range);
  return value;
}

// Lowercase hex of `size` bytes, byte 0 first.
std::string hexBytes(const std::uint8_t* bytes, std::size_t size);

}  // namespace Zev
