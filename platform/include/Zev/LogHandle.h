// Log-message declarations.
//
// A log message is declared once in the binary that can emit it, as a
// descriptor the platform's log catalogue reads straight from the binary's
// ".nevask_logmsg" section. A descriptor is six 32-bit words — name, format,
// explanation, recommended action, severity, zero — followed by the four
// NUL-terminated texts. The four text words are offsets from the start of the
// descriptor, so the section needs no relocation and reads the same at every
// load address. Records start on 4-byte boundaries; the linker may put zero
// words between them (a record's first word is never zero), which a reader
// of the section skips.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zev {

struct LogMsgWords {
  std::uint32_t name;
  std::uint32_t format;
  std::uint32_t explanation;
  std::uint32_t recommendedAction;
  std::uint32_t severity;
  std::uint32_t zero;
};
static_assert(sizeof(LogMsgWords) == 24, "a descriptor starts with six 32-bit words");

template <std::size_t TextSize>
struct LogMsgDescriptor {
  LogMsgWords words;
  char text[TextSize];
};

// The recommended action every declared message carries: the one-byte text 0x01.
inline constexpr char kLogMsgDefaultAction[] = "\x01";

constexpr std::size_t logMsgTextSize(std::size_t name, std::size_t format, std::size_t explanation) {
  std::size_t bytes = name + format + explanation + sizeof(kLogMsgDefaultAction);
  return (bytes + 3) / 4 * 4;
}

template <std::size_t N, std::size_t F, std::size_t E>
consteval LogMsgDescriptor<logMsgTextSize(N, F, E)> makeLogMsgDescriptor(const char (&name)[N], const char (&format)[F],
                                                                         const char (&explanation)[E],
                                                                         std::uint32_t severity) {
  LogMsgDescriptor<logMsgTextSize(N, F, E)> d{};
  std::size_t at = 0;
  auto put = [&](const char* text, std::size_t size) {
    const auto offset = static_cast<std::uint32_t>(sizeof(LogMsgWords) + at);
    for (std::size_t i = 0; i < size; ++i) d.text[at++] = text[i];
    return offset;
  };
  d.words.name = put(name, N);
  d.words.format = put(format, F);
  d.words.explanation = put(explanation, E);
  d.words.recommendedAction = put(kLogMsgDefaultAction, sizeof(kLogMsgDefaultAction));
  d.words.severity = severity;
  d.words.zero = 0;
  return d;
}

// A handle on a declared message, through which code would emit it.
class LogHandle {
 public:
  template <std::size_t S>
  explicit constexpr LogHandle(const LogMsgDescriptor<S>& descriptor) : words_(&descriptor.words) {}

  const char* name() const noexcept { return textAt(words_->name); }
  const char* format() const noexcept { return textAt(words_->format); }
  const char* explanation() const noexcept { return textAt(words_->explanation); }
  const char* recommendedAction() const noexcept { return textAt(words_->recommendedAction); }
  std::uint32_t severity() const noexcept { return words_->severity; }

 private:
  const char* textAt(std::uint32_t offset) const noexcept { return reinterpret_cast<const char*>(words_) + offset; }
  const LogMsgWords* words_;
};

}  // namespace Zev
