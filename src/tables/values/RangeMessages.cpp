#include "tables/values/RangeMessages.h"

#include <cstdlib>

#include <fmt/format.h>

#include "Asic/GracefulAssert.h"
#include "Orvel/Exception.h"

namespace bcm88490_a0::values {

void throwRange(std::string_view scope, std::string_view attr, std::string_view low, std::string_view high) {
  throw Orvel::RangeException(fmt::format("{0}::{1} < {0}::{2} or > {0}::{3} not allowed", scope, attr, low, high));
}

void failFieldArrayIndex(unsigned long long index) {
  ASIC_CHECK(false, "Invalid field array index for index {}", index);
  std::abort();  // strict mode ended the process already
}

void throwPlainFieldRange(const char* field, unsigned bits) {
  throw Orvel::RangeException(
      fmt::format("{}::value < 0 or > 0x{:0{}x} not allowed", field, (1u << bits) - 1, bits / 4));
}

}  // namespace bcm88490_a0::values
