// Exceptions raised by the table drivers.
#pragma once

#include <exception>
#include <string>

#include "Orvel/String.h"

namespace Asic {

// Base of the table drivers' own exceptions: one owned text, returned by what().
class OrderedTableException : public std::exception {
 public:
  explicit OrderedTableException(const Orvel::String& text) : text_(text.str()) {}
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// A broken invariant of a table driver, raised by a graceful assertion.
class GracefulAssertException : public OrderedTableException {
 public:
  using OrderedTableException::OrderedTableException;
};

}  // namespace Asic
