// Exceptions and assertions of the collection code.
#pragma once

#include "Orvel/Exception.h"
#include "Orvel/Format.h"

namespace Ploom {

// A slot could not be allocated: the table is fixed-size or cannot grow further.
class TableFullException : public Orvel::Exception {
  using Orvel::Exception::Exception;
};

}  // namespace Ploom

// A broken invariant of the collection code: reports and ends the process.
#define PLOOM_ASSERT(condition, ...)                                            \
  do {                                                                          \
    if (!(condition)) [[unlikely]] {                                            \
      ::Orvel::fmassert(#condition, __FILE__, __func__, __LINE__, __VA_ARGS__); \
    }                                                                           \
  } while (0)

// Throws `Ex` with a formatted message through a debug handler.
#define PLOOM_THROW(Ex, handler, tag, ...) \
  ::Orvel::fmthrow<Ex>((handler), 0, (tag), __FILE__, __func__, __LINE__, __VA_ARGS__)
