// shadowctl's side of the plug-in: load the library, run the host's loader,
// and reach the plug-in's table catalogue.
#pragma once

#include <span>
#include <string>

#include "VovuAsicUtils/TableDescription.h"

namespace shadowctl {

// The plug-in next to this program: libbcm88490_a0_l3tables.so in the plug-in
// directory of an installed tree (../lib/vovu/plugins relative to the
// executable's directory) when it is there, else in ../lib, where the build
// tree has it.
std::string defaultPluginPath();

class PluginHost {
 public:
  // Loads the plug-in (kept loaded until the process ends) and runs the
  // loader's init callers. Throws std::runtime_error naming the path and the
  // loader's reason when the library cannot be loaded.
  explicit PluginHost(const std::string& path);

  std::span<const bcm88490_a0::catalogue::TableDescription* const> tables() const { return tables_; }

 private:
  std::span<const bcm88490_a0::catalogue::TableDescription* const> tables_;
};

}  // namespace shadowctl
