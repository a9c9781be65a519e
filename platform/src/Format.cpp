#include "Orvel/Format.h"

#include <cstdio>
#include <cstdlib>

namespace Orvel::Impl {

void vfmtrace(const Zev::TraceHandle& handle, std::uint16_t level, std::string_view sourceFile,
              std::string_view function, int line, std::string_view tag, fmt::string_view format,
              fmt::format_args args) {
  Lumlog::Record record{
      std::string(handle.name().view()), level, std::string(sourceFile), std::string(function), line, std::string(tag),
      fmt::vformat(format, args)};
  Lumlog::currentSink().write(record);
}

String vtracestr(std::uint32_t flag, std::string_view tag, std::string_view sourceFile, std::string_view function,
                 int line, fmt::string_view format, fmt::format_args args) {
  std::string message = fmt::vformat(format, args);
  if (flag & kTraceStrWithLocation) {
    message = fmt::format("{}::{} {}:{} {}", tag, function, sourceFile, line, message);
  }
  return String(std::move(message));
}

void vfmassert(std::string_view expression, std::string_view sourceFile, std::string_view function, int line,
               fmt::string_view format, fmt::format_args args) {
  std::string text =
      fmt::format("AssertionError at {}:{} ({}) - {}", sourceFile, line, expression, fmt::vformat(format, args));
  Lumlog::Record record{"assert", 0, std::string(sourceFile), std::string(function), line, "", text};
  Lumlog::currentSink().write(record);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace Orvel::Impl
