// The entity framework's reflection registry: which type-reflection modules
// are loaded. Each generated table unit records its module (named after the
// table type) while its library loads.
#pragma once

#include <string_view>
#include <vector>

#include "Orvel/String.h"

namespace Zev {

void reflectionModuleIs(std::string_view moduleName);
bool reflectionModule(std::string_view moduleName);
// In the order they were recorded.
std::vector<Orvel::String> reflectionModules();

}  // namespace Zev
