#include "EncodeCommand.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <ostream>
#include <stdexcept>

#include <fmt/format.h>

#include "Zev/CharRange.h"

namespace shadowctl {
namespace {

using bcm88490_a0::catalogue::FieldDescription;
using bcm88490_a0::catalogue::KeyForm;
using bcm88490_a0::catalogue::TableDescription;
using nlohmann::ordered_json;

const TableDescription& findTable(const PluginHost& host, const std::string& name) {
  for (const TableDescription* t : host.tables()) {
    if (name == t->name) return *t;
  }
  throw std::runtime_error(fmt::format("unknown table '{}'; `shadowctl tables` lists them", name));
}

std::uint64_t parseNumber(std::string_view text, std::string_view what) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    throw std::runtime_error(fmt::format("{}: '{}' is not a decimal or 0x-hex number", what, text));
  }
  return value;
}

std::vector<std::uint8_t> parseHex(std::string_view text, std::string_view what) {
  if (text.size() % 2 != 0)
    throw std::runtime_error(fmt::format("{}: '{}' has an odd number of hex digits", what, text));
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned byte = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) {
      throw std::runtime_error(fmt::format("{}: '{}' is not hex", what, text));
    }
    bytes.push_back(static_cast<std::uint8_t>(byte));
  }
  return bytes;
}

// The entry with the requested key (the default key when none is given).
void makeEntry(const TableDescription& t, const std::string& key, void* out) {
  const auto& ops = *t.values;
  if (key.empty()) {
    ops.entryDefault(out);
    return;
  }
  const auto comma = key.find(',');
  if (t.key.form == KeyForm::indexed) {
    if (comma == std::string::npos) {
      throw std::runtime_error(fmt::format("{} has indexed keys: --key takes A,E (array index, entry index)", t.name));
    }
    ops.entryMake(out, parseNumber(key.substr(0, comma), "key array index"),
                  parseNumber(key.substr(comma + 1), "key entry index"));
  } else {
    if (comma != std::string::npos) {
      throw std::runtime_error(fmt::format("{} has value keys: --key takes one number", t.name));
    }
    ops.entryMake(out, parseNumber(key, "key"), 0);
  }
}

std::size_t findField(const TableDescription& t, std::string_view name) {
  const auto fields = t.values->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (name == fields[i].name) return i;
  }
  std::string known;
  for (const FieldDescription& f : fields) known += (known.empty() ? "" : ", ") + std::string(f.name);
  throw std::runtime_error(fmt::format("{} has no field '{}'; its fields: {}", t.name, name, known));
}

void assign(const TableDescription& t, void* entry, const std::string& assignment) {
  const auto eq = assignment.find('=');
  if (eq == std::string::npos) throw std::runtime_error(fmt::format("'{}' is not FIELD=VALUE", assignment));
  const std::string name = assignment.substr(0, eq);
  const std::string value = assignment.substr(eq + 1);
  const std::size_t index = findField(t, name);
  const FieldDescription& field = t.values->fields[index];
  if (!field.vector) {
    t.values->fieldIs(entry, index, parseNumber(value, name));
    return;
  }
  const std::vector<std::uint8_t> bytes = parseHex(value, name);
  if (bytes.size() > t.entrySize) {
    throw std::runtime_error(fmt::format("{}: {} bytes given, the vector holds {}", name, bytes.size(), t.entrySize));
  }
  Wem::PerUnitBitmap bitmap;
  for (std::size_t i = 0; i < bytes.size(); ++i) bitmap.bitsOr(8 * i, bytes[i], 8);
  t.values->vectorIs(entry, index, bitmap);
}

}  // namespace

ordered_json describeEntry(const TableDescription& t, const void* entry) {
  const auto& ops = *t.values;
  const auto parts = ops.keyParts(entry);
  ordered_json key = t.key.form == KeyForm::indexed ? ordered_json{{"arrayIndex", parts[0]}, {"entryIndex", parts[1]}}
                                                    : ordered_json{{"value", parts[0]}};
  ordered_json fields = ordered_json::object();
  for (std::size_t i = 0; i < ops.fields.size(); ++i) {
    const FieldDescription& f = ops.fields[i];
    if (f.vector) {
      const Wem::PerUnitBitmap bitmap = ops.vectorGet(entry, i);
      std::vector<std::uint8_t> bytes(t.entrySize);
      for (std::size_t b = 0; b < bytes.size(); ++b)
        bytes[b] = static_cast<std::uint8_t>(bitmap.word(b / 4) >> (8 * (b % 4)));
      fields[f.name] = Zev::hexBytes(bytes.data(), bytes.size());
    } else {
      fields[f.name] = ops.fieldGet(entry, i);
    }
  }
  return {{"table", t.name},
          {"key", key},
          {"data", Zev::hexBytes(ops.data(entry), t.entrySize)},
          {"fields", fields},
          {"text", ops.entryText(entry)}};
}

ordered_json encodeEntry(const PluginHost& host, const EntryRequest& request) {
  const TableDescription& t = findTable(host, request.table);
  EntryStorage storage;
  makeEntry(t, request.key, storage.bytes);
  for (const std::string& assignment : request.assignments) assign(t, storage.bytes, assignment);
  return describeEntry(t, storage.bytes);
}

ordered_json decodeEntry(const PluginHost& host, const EntryRequest& request) {
  const TableDescription& t = findTable(host, request.table);
  const std::vector<std::uint8_t> bytes = parseHex(request.hex, "data");
  if (bytes.size() != t.entrySize) {
    throw std::runtime_error(fmt::format("{} entries hold {} data bytes ({} hex digits); got {}", t.name, t.entrySize,
                                         2 * t.entrySize, bytes.size()));
  }
  EntryStorage storage;
  makeEntry(t, request.key, storage.bytes);
  std::copy(bytes.begin(), bytes.end(), t.values->mutableData(storage.bytes));
  return describeEntry(t, storage.bytes);
}

std::string entryKeyText(const ordered_json& key) {
  std::string text;
  for (const auto& [name, value] : key.items()) text += (text.empty() ? "" : ",") + value.dump();
  return text;
}

void printEntryHuman(const ordered_json& entry, std::ostream& out) {
  const std::string key = entryKeyText(entry["key"]);
  std::size_t width = 4;
  for (const auto& [name, value] : entry["fields"].items()) width = std::max(width, name.size());
  out << fmt::format("{:<{}}  {}\n", "table", width, entry["table"].get<std::string>());
  out << fmt::format("{:<{}}  {}\n", "key", width, key);
  out << fmt::format("{:<{}}  {}\n", "data", width, entry["data"].get<std::string>());
  out << fmt::format("{:<{}}  {}\n", "text", width, entry["text"].get<std::string>());
  out << "fields\n";
  for (const auto& [name, value] : entry["fields"].items()) {
    if (value.is_string()) {
      out << fmt::format("  {:<{}}  {}\n", name, width, value.get<std::string>());
    } else {
      const auto v = value.get<std::uint64_t>();
      out << fmt::format("  {:<{}}  {:<10}  {:#x}\n", name, width, v, v);
    }
  }
}

}  // namespace shadowctl
