// SharedMem::PalvoFile: the writer's restart identity, kept in the file
// "palvo" of the root directory so that a restarted writer can recognise the
// files it formatted itself.
//
// A PalvoId is 32 bits: the high 16 bits come from the process id, the low
// 16 from a process-wide counter advanced at every newPalvoId() (so two
// writers of one process differ). The file holds the id as 8 lowercase hex
// digits and a newline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace SharedMem {

using PalvoId = std::uint32_t;

PalvoId newPalvoId();

class PalvoFile {
 public:
  explicit PalvoFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const noexcept { return path_; }
  // The stored identity; nothing when the file is missing or malformed.
  std::optional<PalvoId> read() const;
  // Throws Orvel::MemoryResourceException on failure.
  void write(PalvoId id) const;
  // True when the file holds `id`.
  bool validate(PalvoId id, std::string& err) const;
  void remove() const;

 private:
  std::string path_;
};

}  // namespace SharedMem
