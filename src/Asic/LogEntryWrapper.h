// Asic::LogEntryWrapperBase: a log record a caller may attach to a request for
// hardware commands. The table drivers accept it and do not use it.
#pragma once

#include "Orvel/Node.h"

namespace Asic {

class LogEntryWrapperBase : public Orvel::Node {};

}  // namespace Asic
