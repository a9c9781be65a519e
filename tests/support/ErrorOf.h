// The text of the exception of type E that `operation` throws, or "no
// exception" when it returns; exceptions of other types pass through.
#pragma once

#include <exception>
#include <string>

namespace testing_support {

template <class E = std::exception, class Operation>
std::string errorOf(Operation&& operation) {
  try {
    operation();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace testing_support
