#include "NvToggles/Toggles.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

namespace NvToggles {
namespace {

struct State {
  std::mutex mutex;
  std::string directory;              // set with toggleDirIs; empty: environment or default
  std::set<std::string> reportedBad;  // files already reported as malformed
};

State& state() {
  static State s;
  return s;
}

constexpr const char* kDefaultDir = "/etc/vovu/toggles";

}  // namespace

std::string toggleDir() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.directory.empty()) return s.directory;
  const char* env = std::getenv("VOVU_TOGGLE_DIR");
  return env && *env ? env : kDefaultDir;
}

void toggleDirIs(std::string_view directory) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.directory = directory;
}

bool getToggleState(std::string_view name, std::string_view file, bool defaultState) {
  const std::string path = toggleDir() + "/" + std::string(file);
  std::ifstream in(path);
  if (!in) return defaultState;
  nlohmann::json document = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.reportedBad.insert(path).second) {
      std::fprintf(stderr, "toggle file %s is not a JSON object of booleans; its toggles take their defaults\n",
                   path.c_str());
    }
    return defaultState;
  }
  auto it = document.find(std::string(name));
  if (it == document.end()) return defaultState;
  if (!it->is_boolean()) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.reportedBad.insert(path + "#" + std::string(name)).second) {
      std::fprintf(stderr, "toggle %.*s in %s is not true or false; it takes its default\n",
                   static_cast<int>(name.size()), name.data(), path.c_str());
    }
    return defaultState;
  }
  return it->get<bool>();
}

}  // namespace NvToggles
