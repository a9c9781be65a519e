// Feature toggles.
//
// A toggle is a named boolean kept in a toggle file: a JSON object mapping
// toggle names to true or false, e.g. {"FullCoreDump": false}. Toggle files
// live in one directory: the one set with toggleDirIs(), else the directory
// named by the environment variable VOVU_TOGGLE_DIR, else "/etc/vovu/toggles".
// A toggle that is absent, or whose file is absent, has the caller's default.
// A file that is not such a JSON object is reported once on stderr and its
// toggles take their defaults.
#pragma once

#include <string>
#include <string_view>

namespace NvToggles {

bool getToggleState(std::string_view name, std::string_view file, bool defaultState);

std::string toggleDir();
// Sets the toggle directory for this process; an empty path restores the
// environment-or-default choice.
void toggleDirIs(std::string_view directory);

}  // namespace NvToggles

// The host reaches the toggle service under this name as well.
using NvToggles::getToggleState;
