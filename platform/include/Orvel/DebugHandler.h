// Orvel::Platform::DebugHandler: the trace handle a shared-memory collection
// object carries; collection code traces and throws through it.
#pragma once

#include "Zev/TraceHandle.h"

namespace Orvel::Platform {

class DebugHandler : public Zev::TraceHandle {
 public:
  using Zev::TraceHandle::TraceHandle;
};

}  // namespace Orvel::Platform
