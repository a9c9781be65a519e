// The shadow template's trace handle: one per process.
#include "VovuAsicUtils/ShadowAccessor.h"

namespace VovuAsicUtils {

Zev::TraceHandle& shadowAccessorTraceHandle() {
  static Zev::TraceHandle handle("ShadowAccessor");
  return handle;
}

}  // namespace VovuAsicUtils
