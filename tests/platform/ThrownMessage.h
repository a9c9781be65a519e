// The message of the exception of type E that `body` throws.
#pragma once

#include <string>

template <class E, class F>
std::string thrownMessage(F&& body) {
  try {
    body();
  } catch (const E& e) {
    return e.what();
  }
  return "nothing thrown";
}
