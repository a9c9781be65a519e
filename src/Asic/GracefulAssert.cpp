#include "Asic/GracefulAssert.h"

#include <cstdlib>
#include <cstring>

namespace Asic {

Mode mode = Mode::graceful;

Mode modeFor(const char* environmentValue) noexcept {
  return environmentValue && std::strcmp(environmentValue, "assert") == 0 ? Mode::strict : Mode::graceful;
}

void readModeOnce() {
  static const bool read = [] {
    mode = modeFor(std::getenv("GRACEFUL_ASSERT_MODE"));
    return true;
  }();
  (void)read;
}

void vthrowGracefulAssertException(std::string_view sourceFile, int line, std::string_view expression,
                                   fmt::string_view format, fmt::format_args args) {
  const std::string message = fmt::vformat(format, args);
  throw GracefulAssertException(
      Orvel::String(fmt::format("AssertionError at {}:{} ({}) - {}", sourceFile, line, expression, message)));
}

}  // namespace Asic
