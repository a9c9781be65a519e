// Small host helpers of the shared-memory platform.
#pragma once

#include <cstdint>
#include <string>

namespace Mem {

namespace Util::Clone {
inline constexpr const char* CONTROL_FILENAME = "control";
}  // namespace Util::Clone

namespace Util {
// Creates the control file in `rootPath` (empty; its presence marks a
// collection owned by a non-local writer). Throws Orvel::MemoryResourceException.
void createControlFile(const std::string& rootPath);
}  // namespace Util

namespace Atomics {
// True when this machine performs aligned 64-bit loads and stores atomically
// and lock-free, which readers of shared collections rely on.
bool checkCpuSupport();
}  // namespace Atomics

}  // namespace Mem
