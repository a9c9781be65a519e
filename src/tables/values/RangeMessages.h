// Range errors of the catalogue's key and index types.
#pragma once

#include <string_view>

namespace bcm88490_a0::values {

// Raises Orvel::RangeException with
// "<scope>::<attr> < <scope>::<low> or > <scope>::<high> not allowed",
// e.g. scope "bcm88490_a0::T::EntryKey", attr "arrayIndex", low "arrayIndexMin".
[[noreturn]] void throwRange(std::string_view scope, std::string_view attr, std::string_view low,
                             std::string_view high);

// The graceful assertion of a field array asked for an index it lacks.
[[noreturn]] void failFieldArrayIndex(unsigned long long index);

// Raises Orvel::RangeException for a value given to an 8- or 16-bit field
// through the untyped catalogue operations (typed callers pass an unsigned
// char or short and cannot overflow), in the form of the bounded types:
// "<field>::value < 0 or > 0xff not allowed" (0xffff for 16 bits).
[[noreturn]] void throwPlainFieldRange(const char* field, unsigned bits);

}  // namespace bcm88490_a0::values
