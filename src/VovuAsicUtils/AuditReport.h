// What an audit of a shadow against its chip finds (see VovuAsicUtils/ShadowAudit.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Orvel/Ptr.h"
#include "SchanAccel/SchanCmds.h"

namespace VovuAsicUtils {

// Executes a batch (a null batch: nothing); the commands stay in the batch.
using CommandExecutor = std::function<void(const Orvel::Ptr<SchanAccel::SchanCmds>&)>;

struct AuditDifference {
  enum class Kind : std::uint8_t { missing, extra, differing };
  Kind kind = Kind::differing;
  std::string memory;
  std::uint8_t instance = 0;
  // {arrayIndex, entryIndex} of an indexed key, {value, 0} of a value key.
  std::array<std::uint64_t, 2> key{};
  std::string keyText;               // the key's string form
  std::vector<std::uint8_t> shadow;  // empty when the shadow holds none
  std::vector<std::uint8_t> chip;    // empty when the chip holds none
  std::vector<std::string> fields;   // named fields whose bits differ (aliases left out)
};

inline const char* kindText(AuditDifference::Kind kind) {
  switch (kind) {
    case AuditDifference::Kind::missing:
      return "missing";
    case AuditDifference::Kind::extra:
      return "extra";
    case AuditDifference::Kind::differing:
      return "differing";
  }
  return "unknown";
}

struct AuditReport {
  std::uint64_t compared = 0;  // keys compared, each memory and instance counted
  std::uint64_t missing = 0;
  std::uint64_t extra = 0;
  std::uint64_t differing = 0;
  std::uint64_t zeroAmbiguous = 0;  // all-zero shadow entries the chip does not report
  std::uint64_t repaired = 0;       // keys written again
  std::uint64_t remaining = 0;      // differences after the repair (without repair: all found)
  std::vector<AuditDifference> differences;

  std::uint64_t found() const noexcept { return missing + extra + differing; }
};

}  // namespace VovuAsicUtils
