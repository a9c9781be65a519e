// Registers a table's three value types with the entity framework under their
// full names: "<Table>::EntryKey" (hashable), "<Table>::Entry" (not hashable:
// it holds a collection) and "<Table>::Entry::DataByte0Index".
#pragma once

#include "Zev/Hash.h"
#include "Zev/TypeRegistry.h"
#include "tables/values/EntryKey.h"

namespace bcm88490_a0::values {

template <class T>
std::string strepOf(const void* value) {
  return static_cast<const T*>(value)->strep();
}

template <class T>
bool isEqOf(const void* a, const void* b) {
  return T::isEq(*static_cast<const T*>(a), *static_cast<const T*>(b));
}

// Registers a table's value types for as long as it exists: a static object of
// each table unit, so the records (which point into the unit's code) go away
// when the library unloads.
template <class Table>
class ValueTypeRegistration {
 public:
  ValueTypeRegistration() { registerValueTypes(); }
  ~ValueTypeRegistration() {
    Zev::typeInfoDel(Table::ValueTraits::kKeyTypeName);
    Zev::typeInfoDel(Table::ValueTraits::kEntryTypeName);
    Zev::typeInfoDel(Table::ValueTraits::kIndexTypeName);
  }
  ValueTypeRegistration(const ValueTypeRegistration&) = delete;
  ValueTypeRegistration& operator=(const ValueTypeRegistration&) = delete;

 private:
  static void registerValueTypes();
};

template <class Table>
void ValueTypeRegistration<Table>::registerValueTypes() {
  using Traits = typename Table::ValueTraits;
  using Key = typename Table::EntryKey;
  using Entry = typename Table::Entry;
  using Index = typename Entry::DataByte0Index;
  Zev::typeInfoIs({Traits::kKeyTypeName, sizeof(Key), &strepOf<Key>, &isEqOf<Key>,
                   [](const void* v, std::uint32_t seed) { return keyHash(*static_cast<const Key*>(v), seed); }});
  Zev::typeInfoIs({Traits::kEntryTypeName, sizeof(Entry), &strepOf<Entry>, &isEqOf<Entry>, nullptr});
  Zev::typeInfoIs(
      {Traits::kIndexTypeName, sizeof(Index), &strepOf<Index>,
       [](const void* a, const void* b) { return *static_cast<const Index*>(a) == *static_cast<const Index*>(b); },
       [](const void* v, std::uint32_t seed) {
         return Zev::hashSingleAttr(seed, static_cast<const Index*>(v)->value());
       }});
}

}  // namespace bcm88490_a0::values
