// The log messages every table unit declares. The library never emits them
// itself; they are declared so that the platform's log catalogue lists them.
// Each descriptor is an inline variable: every table unit that includes this
// header names the same three, and the linker keeps one copy of each in the
// ".nevask_logmsg" section (marked used and retained, so no garbage collection
// of sections drops them).
#pragma once

#include "Zev/LogHandle.h"

namespace Asic::LogMessages {

#define ASIC_LOGMSG [[gnu::section(".nevask_logmsg"), gnu::used, gnu::retain]]

ASIC_LOGMSG inline constexpr auto hwAbstractionException =
    Zev::makeLogMsgDescriptor("HW_ABSTRACTION_EXCEPTION", "%s", "Exception", 3);

ASIC_LOGMSG inline constexpr auto hwAbstractionRelaunchError = Zev::makeLogMsgDescriptor(
    "HW_ABSTRACTION_RELAUNCH_ERROR", "%s", "Duplicate Writer Detected, ploom path not cleaned up", 3);

ASIC_LOGMSG inline constexpr auto hwAbstractionError = Zev::makeLogMsgDescriptor(
    "HW_ABSTRACTION_ERROR", "Hardware abstraction error: unable to load item: %s",
    "Hardware abstraction error: unable to load some persistent items. Some agents will be restarted", 3);

#undef ASIC_LOGMSG

}  // namespace Asic::LogMessages
