#include "SharedMem/PalvoFile.h"

#include <unistd.h>

#include <atomic>
#include <charconv>

#include <fmt/format.h>

#include "FileReplace.h"

namespace SharedMem {

PalvoId newPalvoId() {
  static std::atomic<std::uint32_t> counter{0};
  std::uint32_t low;
  // A low half of 0 is skipped when the counter wraps, so that a process
  // whose pid ends in 0x0000 never produces the id 0.
  do {
    low = (counter.fetch_add(1, std::memory_order_relaxed) + 1) & 0xffffu;
  } while (low == 0);
  const auto high = static_cast<std::uint32_t>(::getpid()) & 0xffffu;
  return high << 16 | low;
}

std::optional<PalvoId> PalvoFile::read() const {
  std::string text;
  if (Mem::Impl::readWholeFile(path_, text) != 0) return std::nullopt;
  // Exactly eight lowercase hex digits and a newline.
  if (text.size() != 9 || text[8] != '\n') return std::nullopt;
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  PalvoId id = 0;
  std::from_chars(text.data(), text.data() + 8, id, 16);
  return id;
}

void PalvoFile::write(PalvoId id) const { Mem::Impl::replaceFile(path_, fmt::format("{:08x}\n", id)); }

bool PalvoFile::validate(PalvoId id, std::string& err) const {
  const std::optional<PalvoId> stored = read();
  if (!stored) {
    err = fmt::format("palvo file {} is missing or malformed", path_);
    return false;
  }
  if (*stored != id) {
    err = fmt::format("palvo file {} holds {:08x}, expected {:08x}", path_, *stored, id);
    return false;
  }
  return true;
}

void PalvoFile::remove() const { ::unlink(path_.c_str()); }

}  // namespace SharedMem
