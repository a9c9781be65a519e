// Formatted traces, messages, throws and fatal assertions of the base library.
// Formats use the {} placeholders of fmt and are checked at compile time.
#pragma once

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "Lumlog/Sink.h"
#include "Orvel/String.h"
#include "Zev/TraceHandle.h"

namespace Orvel {

namespace Impl {
void vfmtrace(const Zev::TraceHandle& handle, std::uint16_t level, std::string_view sourceFile,
              std::string_view function, int line, std::string_view tag, fmt::string_view format,
              fmt::format_args args);
String vtracestr(std::uint32_t flag, std::string_view tag, std::string_view sourceFile, std::string_view function,
                 int line, fmt::string_view format, fmt::format_args args);
[[noreturn]] void vfmassert(std::string_view expression, std::string_view sourceFile, std::string_view function,
                            int line, fmt::string_view format, fmt::format_args args);
}  // namespace Impl

// Writes one trace record when `level` is enabled on `handle`. Prefer the
// ORVEL_TRACE macro, which also skips evaluating the arguments.
template <class... Args>
void fmtrace(const Zev::TraceHandle& handle, std::uint16_t level, std::string_view sourceFile,
             std::string_view function, int line, std::string_view tag, fmt::format_string<Args...> format,
             Args&&... args) {
  if (!handle.enabled(level)) return;
  Impl::vfmtrace(handle, level, sourceFile, function, line, tag, format, fmt::make_format_args(args...));
}

// Message builder. Flag 0 returns the formatted message alone; flag
// kTraceStrWithLocation prefixes it with "<tag>::<function> <file>:<line> ".
inline constexpr std::uint32_t kTraceStrWithLocation = 1;
template <class... Args>
String fmtracestr(std::uint32_t flag, std::string_view tag, std::string_view sourceFile, std::string_view function,
                  int line, fmt::format_string<Args...> format, Args&&... args) {
  return Impl::vtracestr(flag, tag, sourceFile, function, line, format, fmt::make_format_args(args...));
}

// Formats the message, traces it on `handler` at `level` when enabled, and
// throws an exception of type Ex carrying the message.
template <class Ex, class Handler, class... Args>
[[noreturn]] void fmthrow(const Handler& handler, std::uint16_t level, std::string_view tag,
                          std::string_view sourceFile, std::string_view function, int line,
                          fmt::format_string<Args...> format, Args&&... args) {
  String message = Impl::vtracestr(0, tag, sourceFile, function, line, format, fmt::make_format_args(args...));
  if (handler.enabled(level)) {
    Impl::vfmtrace(handler, level, sourceFile, function, line, tag, "{}", fmt::make_format_args(message));
  }
  throw Ex(std::move(message));
}

// Formats the message, reports "AssertionError at <file>:<line> (<expression>)
// - <message>" on stderr and to the trace sink, and ends the process.
template <class... Args>
[[noreturn]] void fmassert(std::string_view expression, std::string_view sourceFile, std::string_view function,
                           int line, fmt::format_string<Args...> format, Args&&... args) {
  Impl::vfmassert(expression, sourceFile, function, line, format, fmt::make_format_args(args...));
}

}  // namespace Orvel

// Trace statement: nothing after `handle` is evaluated unless `level` is
// enabled on it. Usage: ORVEL_TRACE(handle, 8, "Shadow", "key {}", key);
//
// The formatting code sits in a cold, out-of-line lambda, so a disabled trace
// costs its caller one load and a branch and no stack or registers.
#define ORVEL_TRACE(handle, level, tag, ...)                                                                       \
  do {                                                                                                             \
    const ::Zev::TraceHandle& orvelTraceHandle_ = (handle);                                                        \
    if (orvelTraceHandle_.enabled(level)) [[unlikely]] {                                                           \
      const char* orvelTraceFunction_ = __func__;                                                                  \
      [&]() __attribute__((cold, noinline)) {                                                                      \
        ::Orvel::fmtrace(orvelTraceHandle_, (level), __FILE__, orvelTraceFunction_, __LINE__, (tag), __VA_ARGS__); \
      }                                                                                                            \
      ();                                                                                                          \
    }                                                                                                              \
  } while (0)
