// The entity framework's registry of value types, by full type name.
//
// Each generated value type registers what the framework can do with a value
// held as raw bytes: print it, compare it and, for hashable types, hash it.
// Asking for the hash of a type that has none raises
// Zev::NonHashableTypeException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Orvel/Exception.h"

namespace Zev {

class NonHashableTypeException : public Orvel::Exception {
  using Orvel::Exception::Exception;
};

struct TypeInfo {
  const char* name;
  std::size_t size;
  std::string (*strep)(const void* value);
  bool (*isEq)(const void* a, const void* b);
  std::uint32_t (*hash)(const void* value, std::uint32_t seed);  // null: the type is not hashable
};

// Records `info` under info.name, replacing an earlier record of that name.
void typeInfoIs(const TypeInfo& info);
// Removes the record of `name` (a library that registered it is unloading).
void typeInfoDel(std::string_view name);
// The record of `name`, or null.
const TypeInfo* typeInfo(std::string_view name);
std::vector<const TypeInfo*> typeInfos();

// The framework's hash of a registered value (seed 0).
std::uint32_t hashValue(const TypeInfo& type, const void* value);

}  // namespace Zev
