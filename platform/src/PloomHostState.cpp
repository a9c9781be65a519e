// Host state of shared-memory collections, one copy per process: the test
// hooks of the store points and the validation switches.
#include <atomic>

#include "Ploom/StorePoint.h"
#include "Ploom/Util.h"

namespace Ploom::Testing {
void (*storeHook)() = nullptr;
void (*readerHook)(ReaderStage, std::uint32_t) = nullptr;
}  // namespace Ploom::Testing

namespace Ploom::Util {
namespace {
std::atomic<bool> physicalDut{false};
std::atomic<bool> strict{false};
}  // namespace
bool runningOnPhysicalDut() { return physicalDut.load(); }
void runningOnPhysicalDutIs(bool physical) { physicalDut.store(physical); }
bool strictValidation() { return strict.load(); }
void strictValidationIs(bool value) { strict.store(value); }
}  // namespace Ploom::Util
