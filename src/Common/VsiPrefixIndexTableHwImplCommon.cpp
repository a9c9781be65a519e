#include "Common/VsiPrefixIndexTableHwImplCommon.h"

namespace bcm88490_a0::defaults {

Zev::TraceHandle& vsiPrefixIndexCommonTraceHandle() {
  static Zev::TraceHandle handle("userInitHwTableCommon");
  return handle;
}

}  // namespace bcm88490_a0::defaults
