// Ploom::Util: what the host knows about the machine its collections live on.
#pragma once

namespace Ploom::Util {

// Whether this process runs on a physical switch. The stand-in platform runs
// on ordinary machines: false unless the host sets it.
bool runningOnPhysicalDut();
void runningOnPhysicalDutIs(bool physical);

// Whether a writer on a physical switch that finds existing collection files
// it cannot validate stops, keeping them for inspection, instead of
// re-formatting them. Off unless the host sets it.
bool strictValidation();
void strictValidationIs(bool strict);

}  // namespace Ploom::Util
