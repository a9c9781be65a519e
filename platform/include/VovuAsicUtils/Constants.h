// VovuAsicUtils::Constants: names the table framework builds.
#pragma once

#include <string>
#include <string_view>

namespace VovuAsicUtils::Constants {

// The state path of one shadow's collection:
// "ShadowTbl/<revisionText>/<table type name with each "::" made "/">/<shadowKeyText>",
// e.g. "ShadowTbl/bcm88490_a0/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/0-0".
std::string shadowTblPloomPath(std::string_view revisionText, std::string_view tableTypeName,
                               std::string_view shadowKeyText);

}  // namespace VovuAsicUtils::Constants
