#include "Zev/TraceHandle.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "Orvel/Exception.h"

namespace Zev {
namespace {

struct Rule {
  std::string pattern;
  std::uint16_t mask;
};

// Glob match where '*' stands for any run of characters.
bool matches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

unsigned parseLevel(std::string_view text, std::string_view rule) {
  unsigned level = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), level);
  if (ec != std::errc() || end != text.data() + text.size() || level >= TraceHandle::kLevels) {
    throw Orvel::InvalidInitializeException(
        fmt::format("trace rule \"{}\": level \"{}\" is not a number from 0 to 9", rule, text));
  }
  return level;
}

std::uint16_t parseLevels(std::string_view text, std::string_view rule) {
  std::uint16_t mask = 0;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    std::size_t dash = item.find('-');
    unsigned low = parseLevel(trim(item.substr(0, dash)), rule);
    unsigned high = dash == std::string_view::npos ? low : parseLevel(trim(item.substr(dash + 1)), rule);
    if (high < low) {
      throw Orvel::InvalidInitializeException(fmt::format("trace rule \"{}\": empty level range \"{}\"", rule, item));
    }
    for (unsigned l = low; l <= high; ++l) mask |= static_cast<std::uint16_t>(1u << l);
  }
  if (mask == 0) throw Orvel::InvalidInitializeException(fmt::format("trace rule \"{}\": no levels", rule));
  return mask;
}

std::vector<Rule> parseRules(std::string_view text) {
  std::vector<Rule> rules;
  while (!text.empty()) {
    std::size_t semi = text.find(';');
    std::string_view item = trim(text.substr(0, semi));
    text = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    std::string_view pattern = trim(item.substr(0, eq));
    if (pattern.empty())
      throw Orvel::InvalidInitializeException(fmt::format("trace rule \"{}\": no handle name", item));
    std::uint16_t mask =
        eq == std::string_view::npos ? TraceHandle::kAllLevels : parseLevels(item.substr(eq + 1), item);
    rules.push_back(Rule{std::string(pattern), mask});
  }
  return rules;
}

struct Registry {
  std::mutex mutex;
  std::vector<TraceHandle*> handles;
  std::vector<Rule> rules;

  Registry() {
    if (const char* env = std::getenv("VOVU_TRACE")) {
      try {
        rules = parseRules(env);
      } catch (const Orvel::Exception& e) {
        std::fprintf(stderr, "VOVU_TRACE ignored: %s\n", e.what());
      }
    }
  }

  std::uint16_t maskFor(std::string_view name) const {
    std::uint16_t mask = 0;
    for (const Rule& rule : rules) {
      if (matches(rule.pattern, name)) mask |= rule.mask;
    }
    return mask;
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

TraceHandle::TraceHandle(Orvel::String name) : name_(std::move(name)) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  mask_.store(r.maskFor(name_.view()), std::memory_order_relaxed);
  r.handles.push_back(this);
}

TraceHandle::~TraceHandle() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.handles, this);
}

void TraceHandle::enable(std::string_view text) {
  std::vector<Rule> parsed = parseRules(text);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.rules.insert(r.rules.end(), parsed.begin(), parsed.end());
  for (TraceHandle* handle : r.handles) {
    handle->levelMaskIs(handle->levelMask() | r.maskFor(handle->name().view()));
  }
}

void TraceHandle::disableAll() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.rules.clear();
  for (TraceHandle* handle : r.handles) handle->levelMaskIs(0);
}

std::vector<Orvel::String> TraceHandle::names() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<Orvel::String> result;
  for (const TraceHandle* handle : r.handles) result.push_back(handle->name());
  std::sort(result.begin(), result.end());
  return result;
}

}  // namespace Zev
