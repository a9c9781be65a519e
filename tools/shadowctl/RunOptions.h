// The options of `shadowctl run`, as the command line gives them, and their
// parsing into chips and a chip revision.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Hardware/Vovu/FapRevision.h"

namespace shadowctl {

struct RunRequest {
  std::string chips = "0,1";  // fap ids, comma-separated
  std::string revision;       // CHIPTYPE.MINOR or a revision text; empty: chip type 25, minor 0
  std::string root;           // base directory of the collections; empty: the default one
  bool serve = false;         // keep the shadows mounted until a stop signal
  bool json = false;
  bool entries = false;                         // list every entry of each shadow
  std::uint32_t dmaBuffer = kDefaultDmaBuffer;  // bytes per DMA pool buffer
  bool noDma = false;                           // download without DMA memory
  bool clear = false;                           // clear every shadow at the end and check for zeros
  bool chipEntries = false;                     // list the chip's non-zero entries per shadow
  bool audit = false;                           // read every shadow's chip back and compare
  bool repair = false;                          // write back what the audit finds differing (implies audit)
  std::uint32_t corrupt = 0;                    // flip a bit in this many chip entries before the audit (implies audit)
  std::uint64_t seed = 0;                       // of the corruption

  bool auditing() const noexcept { return audit || repair || corrupt != 0; }

  // 4 KiB, the pool's own default: a page, 1024 entries of 4 bytes.
  static constexpr std::uint32_t kDefaultDmaBuffer = 4096;
};

// "0,3" -> {0, 3}, in the order given. Throws std::runtime_error naming
// --chips for an empty list, an item that is not a fap id (0 to 255) or a chip
// given twice.
std::vector<std::uint8_t> parseChips(std::string_view text);

// A revision as `shadowctl tables` prints it (e.g. "bcm88490_a0r1") or as
// --revisions takes it (CHIPTYPE.MINOR, e.g. "25.1"); empty: chip type 25,
// minor 0. Throws std::runtime_error naming --revision when the text is
// neither, or names more than one revision.
Hardware::Vovu::FapRevision parseRevision(const std::string& text);

}  // namespace shadowctl
