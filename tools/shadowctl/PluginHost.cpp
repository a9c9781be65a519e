#include "PluginHost.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "VovuAsicUtils/PluginHwTable.h"

namespace shadowctl {

std::string defaultPluginPath() {
  constexpr const char* kPlugin = "libbcm88490_a0_l3tables.so";
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return kPlugin;
  const std::filesystem::path installed =
      (self.parent_path() / VOVU_PLUGIN_DIR_FROM_PROGRAM / kPlugin).lexically_normal();
  if (std::filesystem::exists(installed, error)) return installed.string();
  return (self.parent_path().parent_path() / "lib" / kPlugin).string();
}

PluginHost::PluginHost(const std::string& path) {
  // RTLD_NODELETE: the host's registries hold calls into the plug-in for the
  // rest of the process, so it is never unloaded.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
  if (!handle) throw std::runtime_error("cannot load plug-in " + path + ": " + dlerror());
  using CatalogueFunction = const bcm88490_a0::catalogue::TableDescription* const* (*)(std::size_t*);
  auto catalogue = reinterpret_cast<CatalogueFunction>(dlsym(handle, "bcm88490_a0_catalogue"));
  if (!catalogue) throw std::runtime_error("plug-in " + path + " has no table catalogue");
  std::size_t count = 0;
  const auto* const* list = catalogue(&count);
  tables_ = std::span(list, count);
  VovuAsicUtils::HwTablePlugin::DefaultHwTableLoader().runInitCallers();
}

}  // namespace shadowctl
