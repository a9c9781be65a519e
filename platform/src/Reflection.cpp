#include "Zev/Reflection.h"

#include <algorithm>
#include <mutex>

namespace Zev {
namespace {
struct Registry {
  std::mutex mutex;
  std::vector<Orvel::String> modules;
};
Registry& registry() {
  static Registry r;
  return r;
}
}  // namespace

void reflectionModuleIs(std::string_view moduleName) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.modules.begin(), r.modules.end(), moduleName) == r.modules.end()) r.modules.emplace_back(moduleName);
}

bool reflectionModule(std::string_view moduleName) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return std::find(r.modules.begin(), r.modules.end(), moduleName) != r.modules.end();
}

std::vector<Orvel::String> reflectionModules() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.modules;
}

}  // namespace Zev
