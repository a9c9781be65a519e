// The input format of the collection-file fuzz target: two bytes (little
// endian) giving the slot file's length, the slot file, then the bucket file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ploom_fuzz {

inline std::string pack(const std::string& slots, const std::string& buckets) {
  const std::size_t n = slots.size() > 0xffff ? 0xffff : slots.size();
  std::string input;
  input.push_back(static_cast<char>(n & 0xff));
  input.push_back(static_cast<char>(n >> 8));
  input.append(slots, 0, n);
  input.append(buckets);
  return input;
}

}  // namespace ploom_fuzz
