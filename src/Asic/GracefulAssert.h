// Graceful and strict assertions of the table drivers.
//
// A table driver checks its invariants with ASIC_CHECK. In graceful mode (the
// default) a failed check throws Asic::GracefulAssertException with the text
// "AssertionError at <file>:<line> (<condition>) - <message>", which the
// caller may catch; checks stand before any change, so nothing is changed. In
// strict mode the check evaluates its condition a second time and, if it still
// fails, ends the process with the same text (Orvel::fmassert). Conditions
// must therefore have no side effects.
//
// The mode is strict exactly when the environment variable GRACEFUL_ASSERT_MODE
// is the six characters "assert". It is read once per process, by the first
// table unit initialised while the plug-in loads (readModeOnce), and only read
// afterwards.
#pragma once

#include <string_view>

#include <fmt/format.h>

#include "Asic/OrderedTableException.h"
#include "Orvel/Format.h"

namespace Asic {

enum class Mode { graceful, strict };

// The process's assertion mode; graceful until readModeOnce() has run.
extern Mode mode;

// The mode an environment value selects (null: the variable is unset).
Mode modeFor(const char* environmentValue) noexcept;

// Reads GRACEFUL_ASSERT_MODE into `mode` on the first call; later calls do nothing.
void readModeOnce();

[[noreturn]] void vthrowGracefulAssertException(std::string_view sourceFile, int line, std::string_view expression,
                                                fmt::string_view format, fmt::format_args args);

// Formats the caller's message, wraps it as "AssertionError at {}:{} ({}) - {}"
// and throws GracefulAssertException.
template <class... Args>
[[noreturn]] void throwGracefulAssertException(std::string_view sourceFile, int line, std::string_view expression,
                                               fmt::format_string<Args...> format, Args&&... args) {
  vthrowGracefulAssertException(sourceFile, line, expression, format, fmt::make_format_args(args...));
}

}  // namespace Asic

// Checks `condition`, reporting a failure at the given file and line with the
// given condition text; the message is a format and its arguments.
#define ASIC_CHECK_AT(sourceFile, line, condition, conditionText, ...)                            \
  do {                                                                                            \
    if (!(condition)) [[unlikely]] {                                                              \
      if (::Asic::mode == ::Asic::Mode::graceful) {                                               \
        ::Asic::throwGracefulAssertException((sourceFile), (line), (conditionText), __VA_ARGS__); \
      } else if (!(condition)) {                                                                  \
        ::Orvel::fmassert((conditionText), (sourceFile), __func__, (line), __VA_ARGS__);          \
      }                                                                                           \
    }                                                                                             \
  } while (0)

#define ASIC_CHECK(condition, ...) ASIC_CHECK_AT(__FILE__, __LINE__, condition, #condition, __VA_ARGS__)
