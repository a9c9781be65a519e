// Exception types of the base library. Every one carries its message as an
// Orvel::String; what() returns it.
#pragma once

#include <cstddef>
#include <exception>

#include "Orvel/String.h"

namespace Orvel {

class Exception : public std::exception {
 public:
  explicit Exception(String message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const String& message() const noexcept { return message_; }

 private:
  String message_;
};

// A value outside the range its type admits. Messages end in "not allowed".
class RangeException : public Exception {
  using Exception::Exception;
};
// Shared state failed a consistency check.
class CorruptionDetectedException : public Exception {
  using Exception::Exception;
};
// Memory, files or mappings could not be obtained.
class MemoryResourceException : public Exception {
  using Exception::Exception;
};
// An object could not be initialised from what it was given.
class InvalidInitializeException : public Exception {
  using Exception::Exception;
};
// The caller may not do what it asked (for example write a collection it does not own).
class NoPermissionException : public Exception {
  using Exception::Exception;
};

}  // namespace Orvel

namespace Orvel {

// An index past the end of a host vector or bitmap.
class VectorOutOfRangeException : public Exception {
  using Exception::Exception;
};

namespace Impl {
// Raises VectorOutOfRangeException: "vector index <index> out of range (size <size>)".
[[noreturn]] void throwVectorOutOfRangeException(std::size_t index, std::size_t size);
}  // namespace Impl

}  // namespace Orvel
