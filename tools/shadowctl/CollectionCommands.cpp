#include "CollectionCommands.h"

#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "EncodeCommand.h"
#include "Mem/OrlRootPath.h"
#include "Ploom/CollectionInspector.h"
#include "StopSignals.h"

namespace shadowctl {
namespace {

using bcm88490_a0::catalogue::TableDescription;
using nlohmann::ordered_json;

struct Collection {
  const TableDescription* table;
  std::string collectionPath;  // below the base directory
  std::string typeName;
};

// Finds the collection in directory `path` and the table of its values; the
// base directory of collections becomes the directory that holds it.
Collection open(const PluginHost& host, const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path dir = fs::absolute(fs::path(path), error).lexically_normal();
  if (error || !fs::is_directory(dir)) throw std::runtime_error(fmt::format("{}: no such collection directory", path));
  if (!fs::exists(dir / "slots")) throw std::runtime_error(fmt::format("{}: not a collection (no slots file)", path));
  const std::string typeName = Ploom::collectionTypeName(dir.string());
  if (typeName.empty()) throw std::runtime_error(fmt::format("{}: the slots file has no readable header", path));
  for (const TableDescription* t : host.tables()) {
    if (typeName == std::string(t->typeName) + "::Entry") {
      Mem::baseDirIs(dir.parent_path().string());
      return Collection{t, dir.filename().string(), typeName};
    }
  }
  throw std::runtime_error(
      fmt::format("{}: holds values of type {}, which is no table of this plug-in", path, typeName));
}

ordered_json reportJson(const std::string& path, const Ploom::CollectionReport& r) {
  return {{"path", path},
          {"type", r.typeName},
          {"members", r.members},
          {"slots", r.capacity},
          {"buckets", r.buckets},
          {"maxSlotsEver", r.maxSlotsEver},
          {"highestOccupied", r.highestOccupied},
          {"slotGeneration", r.slotGeneration},
          {"bucketGeneration", r.bucketGeneration},
          {"runtimeFlags", r.runtimeFlags},
          {"palvoId", r.palvoId},
          {"seed", r.seed},
          {"reader",
           {{"entriesRead", r.entriesRead},
            {"retries", r.retries},
            {"rewriteCopies", r.rewriteCopies},
            {"slowPaths", r.slowPaths},
            {"resizeRetries", r.resizeRetries}}}};
}

// Every entry as {"key", "data", "fields"}, in iteration order.
std::vector<ordered_json> readEntries(const Collection& c, Ploom::CollectionReport& report) {
  std::vector<ordered_json> entries;
  const bool ok = c.table->values->collectionInspect(
      c.collectionPath,
      [&](const void* entry) {
        ordered_json full = describeEntry(*c.table, entry);
        entries.push_back({{"key", full["key"]}, {"data", full["data"]}, {"fields", full["fields"]}});
      },
      report, false);
  if (!ok) throw std::runtime_error(report.problems.empty() ? "cannot read the collection" : report.problems.front());
  return entries;
}

std::string fieldsText(const ordered_json& fields) {
  std::string text;
  for (const auto& [name, value] : fields.items()) {
    text += fmt::format("{}{}={}", text.empty() ? "" : " ", name,
                        value.is_string() ? value.get<std::string>() : value.dump());
  }
  return text;
}

// Follows the collection with a local shadow and prints every change as it is
// seen, until a stop signal.
void watchCollection(const Collection& c, const CollectionRequest& request, std::ostream& out) {
  const StopSignals signals;
  out.flush();
  auto emit = [&](Ploom::Change change, const void* raw) {
    static constexpr const char* kNames[] = {"added", "changed", "removed"};
    const char* name = kNames[static_cast<int>(change)];
    const ordered_json full = describeEntry(*c.table, raw);
    if (request.json) {
      out << ordered_json{{"change", name}, {"key", full["key"]}, {"data", full["data"]}, {"fields", full["fields"]}}
                 .dump()
          << '\n';
    } else {
      out << fmt::format("{} {:<10} {}  {}\n", name, entryKeyText(full["key"]), full["data"].get<std::string>(),
                         fieldsText(full["fields"]));
    }
    out.flush();
  };
  const auto stopped = [&] { return signals.requested(); };
  if (!c.table->values->collectionWatch(c.collectionPath, emit, stopped, request.interval)) {
    throw std::runtime_error("cannot follow the collection");
  }
}

// Runs a command's body; an error it raises is reported on `err` and gives status 1.
template <class Body>
int reported(std::ostream& err, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    err << "shadowctl: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace

int dumpCollection(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err) {
  return reported(err, [&] {
    const Collection c = open(host, request.path);
    Ploom::CollectionReport report;
    auto entries = readEntries(c, report);
    if (request.json) {
      out << ordered_json{{"path", request.path},
                          {"type", c.typeName},
                          {"members", entries.size()},
                          {"entries", entries}}
                 .dump()
          << '\n';
    } else {
      out << fmt::format("{} ({}): {} entries\n", request.path, c.typeName, entries.size());
      for (const auto& e : entries) {
        out << fmt::format("  {:<10} {}  {}\n", entryKeyText(e["key"]), e["data"].get<std::string>(),
                           fieldsText(e["fields"]));
      }
    }
    if (request.watch) watchCollection(c, request, out);
    return 0;
  });
}

int checkCollection(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err) {
  return reported(err, [&] {
    const Collection c = open(host, request.path);
    Ploom::CollectionReport report;
    c.table->values->collectionInspect(c.collectionPath, nullptr, report, true);
    const bool ok = report.problems.empty();
    if (request.json) {
      ordered_json json = reportJson(request.path, report);
      json["ok"] = ok;
      json["freeSlots"] = report.freeSlots;
      json["problems"] = report.problems;
      out << json.dump() << '\n';
    } else {
      out << fmt::format("{} ({}): {}\n", request.path, c.typeName, ok ? "consistent" : "PROBLEMS FOUND");
      out << fmt::format("  {} entries reachable, {} free slots, {} slots, {} buckets\n", report.entriesRead,
                         report.freeSlots, report.capacity, report.buckets);
      for (const auto& p : report.problems) out << "  - " << p << '\n';
    }
    return ok ? 0 : 2;
  });
}

int collectionStats(const PluginHost& host, const CollectionRequest& request, std::ostream& out, std::ostream& err) {
  return reported(err, [&] {
    const Collection c = open(host, request.path);
    Ploom::CollectionReport report;
    if (!c.table->values->collectionInspect(c.collectionPath, nullptr, report, false)) {
      throw std::runtime_error(report.problems.front());
    }
    const ordered_json json = reportJson(request.path, report);
    if (request.json) {
      out << json.dump() << '\n';
    } else {
      std::size_t width = 0;
      for (const auto& [k, v] : json.items()) width = std::max(width, k.size());
      for (const auto& [k, v] : json.items()) {
        if (v.is_object()) {
          for (const auto& [k2, v2] : v.items()) {
            out << fmt::format("{:<{}}  {}\n", fmt::format("{}.{}", k, k2), width + 16, v2.dump());
          }
        } else {
          out << fmt::format("{:<{}}  {}\n", k, width + 16, v.is_string() ? v.get<std::string>() : v.dump());
        }
      }
    }
    return 0;
  });
}

}  // namespace shadowctl
