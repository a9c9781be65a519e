// A host of the installed plug-in: loads it from the package's plug-in
// directory, runs the host's loader and prints what registered, one line:
// "<readers> reader factories, <tables> table factories". Exit status 1 when
// the plug-in does not load or registers no table factory.
#include <dlfcn.h>

#include <cstdio>

#include "Plugin/Loader.h"
#include "VovuAsicUtils/HwTableHolderContext.h"

int main() {
  if (dlopen(VOVU_PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE) == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", VOVU_PLUGIN_PATH, dlerror());
    return 1;
  }
  VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
  const auto* context = VovuAsicUtils::HwTableHolderContext::singleton();
  const std::size_t readers = context->hwReaderFactories().size();
  const std::size_t tables = context->hwTableFactories().size();
  std::printf("%zu reader factories, %zu table factories\n", readers, tables);
  return tables == 0 ? 1 : 0;
}
