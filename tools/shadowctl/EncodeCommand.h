// `shadowctl encode` and `shadowctl decode`: one entry of a table, built from
// field values or from its data bytes, shown field by field.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "PluginHost.h"

namespace shadowctl {

using EntryStorage = bcm88490_a0::catalogue::EntryBuffer;

struct EntryRequest {
  std::string table;
  std::string key;                       // "A,E", "V" or empty for the default key
  std::vector<std::string> assignments;  // FIELD=VALUE (encode)
  std::string hex;                       // data bytes (decode)
};

// Both throw std::runtime_error (bad input) or the system's own exceptions
// (range errors) with the message to show.
nlohmann::ordered_json encodeEntry(const PluginHost& host, const EntryRequest& request);
nlohmann::ordered_json decodeEntry(const PluginHost& host, const EntryRequest& request);

void printEntryHuman(const nlohmann::ordered_json& entry, std::ostream& out);

// A key as describeEntry gives it ({"arrayIndex": A, "entryIndex": E} or
// {"value": V}) in the short form the human outputs print: "A,E" or "V".
std::string entryKeyText(const nlohmann::ordered_json& key);

// One entry of table `t` held in untyped storage, as encode --json prints it.
nlohmann::ordered_json describeEntry(const bcm88490_a0::catalogue::TableDescription& t, const void* entry);

}  // namespace shadowctl
