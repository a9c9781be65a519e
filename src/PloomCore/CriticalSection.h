// Ploom::CriticalSection: one modification of a collection, from entering
// its critical section (runtime-flag bit 0 of the slot header) to leaving it.
//
// A writer that dies inside a critical section leaves the bit set, and the
// next writer's validation re-formats the collection. So the section is left
// only when the collection is consistent again:
//   - commit(): the modification is complete;
//   - an error that leaves the collection unchanged or consistent (a full
//     table, a resource error while growing) passes through guard(), which
//     leaves the section before the error goes on;
//   - any other error (structural corruption found on the way) abandons the
//     section: it stays entered, and the collection is re-formatted before it
//     is trusted again.
// A two-step write keeps its section from the first step to the second: the
// first step neither commits nor fails, the second adopts the section.
#pragma once

#include <string>
#include <utility>

#include "Orvel/Exception.h"
#include "PloomCore/Errors.h"

namespace Ploom {

template <class Slots>
class CriticalSection {
 public:
  CriticalSection(Slots& slots, const std::string& what) : slots_(slots) { slots_.enterCriticalSection(what); }
  // Takes over a section that an earlier step entered and handed over.
  static CriticalSection adopt(Slots& slots) { return CriticalSection(slots); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  CriticalSection(CriticalSection&&) = default;

  template <class Body>
  decltype(auto) guard(Body&& body) {
    try {
      return std::forward<Body>(body)();
    } catch (const TableFullException&) {
      slots_.leaveCriticalSection();
      throw;
    } catch (const Orvel::MemoryResourceException&) {
      slots_.leaveCriticalSection();
      throw;
    }
  }

  void commit() { slots_.leaveCriticalSection(); }

 private:
  explicit CriticalSection(Slots& slots) : slots_(slots) {}

  Slots& slots_;
};

}  // namespace Ploom
