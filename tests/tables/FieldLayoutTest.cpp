// Field layout of the catalogue's tables, checked against a list written out by
// hand here rather than read from the table description files under
// src/tables. The catalogue is generated from those files, so a wrong offset
// in a description also shows up in the catalogue and in the generated
// accessors alike; only an independent list catches it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Wem/PerUnitBitmap.h"
#include "VovuAsicUtils/TableDescription.h"

namespace {

using namespace bcm88490_a0;

constexpr const char* kVector = "Wem::PerUnitBitmap";

struct ListedField {
  std::string table;
  std::string name;
  std::uint32_t offset;
  std::uint32_t width;
  std::string type;
};

// Every named field, aliases included (an alias carries the offset, width and
// type of the field it names). Vector fields are as wide as the entry data.
std::vector<ListedField> buildListedFields() {
  std::vector<ListedField> fields = {
      // Ingress memories.
      {"IppaVsiToRoutingProfileMapHwDirect", "routingProfile0", 0, 4, "U4"},
      {"IppaVsiToRoutingProfileMapHwDirect", "routingProfile1", 4, 4, "U4"},
      {"IppaVsiToRoutingProfileMapHwDirect", "routingProfile2", 8, 4, "U4"},
      {"IppaVsiToRoutingProfileMapHwDirect", "routingProfile3", 12, 4, "U4"},
      {"IppaVsiToRoutingProfileMapHwDirect", "ecc", 16, 6, "U6"},

      {"IppfVsiToRoutingProfileMapHwDirect", "routingProfile0", 0, 4, "U4"},
      {"IppfVsiToRoutingProfileMapHwDirect", "routingProfile1", 4, 4, "U4"},
      {"IppfVsiToRoutingProfileMapHwDirect", "routingProfile2", 8, 4, "U4"},
      {"IppfVsiToRoutingProfileMapHwDirect", "routingProfile3", 12, 4, "U4"},
      {"IppfVsiToRoutingProfileMapHwDirect", "ecc", 16, 6, "U6"},

      {"IppaCsInlif0ProfileMapHwDirect", "csInlif0Profile", 0, 8, "unsigned char"},

      {"IppbFlpInlifProfile0MapHwDirect", "csInlifProfile0", 0, 8, "unsigned char"},
      {"IppbFlpInlifProfile0MapHwDirect", "inlifProfile0", 0, 8, "unsigned char"},  // alias of csInlifProfile0

      {"IppdInlifProfileTableHwDirect", "inLifRpfModeIpv4", 0, 2, "U2"},
      {"IppdInlifProfileTableHwDirect", "inLifRpfModeIpv6", 2, 2, "U2"},
      {"IppdInlifProfileTableHwDirect", "inLifSameInterfaceProfile", 4, 2, "U2"},

      {"IppaRoutingProfileToVectorMapHwDirect", "routingEnableProfile", 0, 2, "U2"},
      {"IppaRoutingProfileToVectorMapHwDirect", "routingEnableVector", 0, 256, kVector},

      {"IppfRoutingProfileToVectorMapHwDirect", "routingEnableProfile", 0, 2, "U2"},
      {"IppfRoutingProfileToVectorMapHwDirect", "routingEnableVector", 0, 256, kVector},

      {"IppfVsiPrefixIndexTableHwDirect", "prefix", 0, 21, "U21"},

      {"LpmEntryTypeMapHwDirect", "lpmEntryType", 0, 6, "U6"},
      {"LpmEntryTypeMapHwDirect", "ecc", 6, 5, "U5"},

      // Egress and trap memories.
      {"EtppcCfgMtuActionProfileIdxMapTableHwDirect", "mtuSnoopActionStrength", 0, 3, "U3"},
      {"EtppcCfgMtuActionProfileIdxMapTableHwDirect", "mtuFwdActionStrength", 3, 4, "U4"},
      {"EtppcCfgMtuActionProfileIdxMapTableHwDirect", "mtuActionProfile", 7, 4, "U4"},

      {"EtppcMtuMapTableHwDirect", "mtuByteSize", 0, 14, "U14"},
      {"EtppcMtuMapTableHwDirect", "mtuActionProfileIdx", 14, 2, "U2"},

      {"EtppcTermVsdArrPrefixTableHwDirect", "prefix", 0, 21, "U21"},

      {"TarSnifActionTableHwDirect", "destinationOw", 0, 1, "U1"},
      {"TarSnifActionTableHwDirect", "destination", 1, 21, "U21"},
      {"TarSnifActionTableHwDirect", "lagLbKey", 22, 16, "unsigned short"},
      {"TarSnifActionTableHwDirect", "lagLbKeyOw", 38, 1, "U1"},
      {"TarSnifActionTableHwDirect", "tc", 39, 3, "U3"},
      {"TarSnifActionTableHwDirect", "tcOw", 42, 1, "U1"},
      {"TarSnifActionTableHwDirect", "dp", 43, 2, "U2"},
      {"TarSnifActionTableHwDirect", "dpOw", 45, 1, "U1"},
      {"TarSnifActionTableHwDirect", "crop", 46, 1, "U1"},
      {"TarSnifActionTableHwDirect", "removeSystemHeaders", 47, 1, "U1"},
      {"TarSnifActionTableHwDirect", "type", 48, 1, "U1"},
      {"TarSnifActionTableHwDirect", "strength", 49, 2, "U2"},
      {"TarSnifActionTableHwDirect", "intTmStatFilter", 51, 1, "U1"},
      {"TarSnifActionTableHwDirect", "cropNwkHeaderSize", 52, 9, "U9"},
      {"TarSnifActionTableHwDirect", "allowPadToCropSize", 61, 1, "U1"},
      {"TarSnifActionTableHwDirect", "appendSniffSystemHeaderSize", 62, 7, "U7"},

      // Registers.
      {"IppdAllowDefaultRouteHwReg", "mcSipBasedRpfAllowDefault", 0, 1, "U1"},
      {"IppdAllowDefaultRouteHwReg", "ucLooseRpfAllowDefault", 1, 1, "U1"},
      {"IppdAllowDefaultRouteHwReg", "strictRpfAllowDefault", 2, 1, "U1"},

      {"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile0", 0, 16, "unsigned short"},
      {"IppbTtl0ActionProfileHwReg", "ttl0FwdStrength", 0, 4, "U4"},
      {"IppbTtl0ActionProfileHwReg", "ttl0SnpStrength", 4, 3, "U3"},
      {"IppbTtl0ActionProfileHwReg", "ttl0TrapCode", 7, 9, "U9"},
      {"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile1", 16, 16, "unsigned short"},
      {"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile2", 32, 16, "unsigned short"},
      {"IppbTtl0ActionProfileHwReg", "ttl0ActionProfile3", 48, 16, "unsigned short"},

      // Snoop register: entry 0 as a whole and the whole register.
      {"EtppbSnoopActionTableHwReg", "trapSnoopActionTableEntry", 0, 12, "U12"},
      {"EtppbSnoopActionTableHwReg", "trapSnoopActionTableVector", 0, 192, kVector},
  };

  // Snoop register: sixteen 12-bit snoop-action entries, entry i at bit 12i.
  struct SnoopPart {
    const char* name;
    std::uint32_t offset;
    std::uint32_t width;
    const char* type;
  };
  const SnoopPart snoopParts[] = {
      {"snoopActionValid", 0, 1, "U1"},        {"snoopProbabilityIdx", 1, 3, "U3"},
      {"snoopPriority", 4, 1, "U1"},           {"snoopCropPacket", 5, 2, "U2"},
      {"snoopAppendOriginalFtmh", 7, 1, "U1"}, {"snoopRecycleCmd", 8, 4, "U4"},
  };
  for (const auto& part : snoopParts) {
    // The unnumbered name is a second name of entry 0's field.
    fields.push_back({"EtppbSnoopActionTableHwReg", part.name, part.offset, part.width, part.type});
  }
  for (std::uint32_t i = 0; i < 16; ++i) {
    for (const auto& part : snoopParts) {
      fields.push_back({"EtppbSnoopActionTableHwReg", part.name + std::to_string(i), 12 * i + part.offset,
                        part.width, part.type});
    }
  }

  // Action-profile registers: kind k has a 4-bit forward profile at 7k and a
  // 3-bit snoop profile at 7k + 4.
  const auto addKinds = [&fields](const std::string& table, const std::string& prefix,
                                  const std::vector<std::string>& kinds) {
    for (std::uint32_t k = 0; k < kinds.size(); ++k) {
      fields.push_back({table, prefix + kinds[k] + "Fwd", 7 * k, 4, "U4"});
      fields.push_back({table, prefix + kinds[k] + "Snp", 7 * k + 4, 3, "U3"});
    }
  };
  addKinds("IppbIpv4ActionProfilesCfgHwReg", "actionProfileIpv4",
           {"VersionError", "ChecksumError", "HeaderLengthError", "TotalLengthError", "HasOptions", "SipEqualDip",
            "DipZero", "SipIsMc"});
  addKinds("IppbIpv6ActionProfiles0CfgHwReg", "actionProfileIpv6",
           {"VersionError", "UnspecifiedDestination", "LoopbackAddress", "MulticastSource", "NextHeaderNull",
            "UnspecifiedSource", "LinkLocalDestination", "SiteLocalDestination", "LinkLocalSource",
            "SiteLocalSource"});
  return fields;
}

const std::vector<ListedField>& listedFields() {
  static const std::vector<ListedField> fields = buildListedFields();
  return fields;
}

// Named fields in the list above: 23 in the ingress memories, 22 in the
// egress and trap memories, 150 in the registers (3 + 7 + 16 + 20 + 104).
constexpr std::size_t kNamedFieldCount = 195;

// The tables the list above covers, in its order.
std::vector<std::string> listedTables() {
  std::vector<std::string> tables;
  for (const auto& f : listedFields()) {
    if (std::find(tables.begin(), tables.end(), f.table) == tables.end()) tables.push_back(f.table);
  }
  return tables;
}

std::set<std::string> listedNames(const std::string& table) {
  std::set<std::string> names;
  for (const auto& f : listedFields()) {
    if (f.table == table) names.insert(f.name);
  }
  return names;
}

const catalogue::FieldDescription* catalogueField(const catalogue::TableDescription& table, const std::string& name,
                                                  std::size_t* index = nullptr) {
  const auto fields = table.values->fields;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (name == fields[f].name) {
      if (index) *index = f;
      return &fields[f];
    }
  }
  return nullptr;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// Bit k of the data: bit (k mod 8) of byte (k div 8).
bool bitAt(const std::uint8_t* data, std::size_t k) { return data[k / 8] >> (k % 8) & 1; }
void bitIs(std::uint8_t* data, std::size_t k, bool value) {
  const auto mask = static_cast<std::uint8_t>(1u << (k % 8));
  data[k / 8] = value ? data[k / 8] | mask : data[k / 8] & ~mask;
}

// Verifies: every table of the list above is in the catalogue, and its field
// names are exactly the listed ones, with no name missing, none extra and
// none twice. (A table the list does not cover yet is not checked against it.)
TEST(FieldLayoutListed, EveryTableHasExactlyTheListedNames) {
  for (const auto& tableName : listedTables()) {
    SCOPED_TRACE(tableName);
    const auto* table = catalogue::table(tableName);
    ASSERT_NE(table, nullptr);
    const std::set<std::string> listed = listedNames(tableName);
    std::multiset<std::string> present;
    for (const auto& f : table->values->fields) present.insert(f.name);

    std::vector<std::string> missing, extra, twice;
    for (const auto& n : listed) {
      if (!present.contains(n)) missing.push_back(n);
    }
    for (const auto& n : std::set<std::string>(present.begin(), present.end())) {
      if (!listed.contains(n)) extra.push_back(n);
      if (present.count(n) > 1) twice.push_back(n);
    }
    EXPECT_TRUE(missing.empty()) << "missing: " << joined(missing);
    EXPECT_TRUE(extra.empty()) << "extra: " << joined(extra);
    EXPECT_TRUE(twice.empty()) << "named more than once: " << joined(twice);
  }
}

// Verifies: every listed field has the listed offset, width and type in the
// catalogue, is marked as a vector exactly when it is a bitmap, and lies
// inside its table's data.
TEST(FieldLayoutListed, EveryFieldHasTheListedOffsetWidthAndType) {
  for (const auto& listed : listedFields()) {
    SCOPED_TRACE(listed.table + "." + listed.name);
    const auto* table = catalogue::table(listed.table);
    ASSERT_NE(table, nullptr);
    const auto* field = catalogueField(*table, listed.name);
    if (field == nullptr) continue;  // reported by EveryTableHasExactlyTheListedNames
    EXPECT_EQ(field->offset, listed.offset);
    EXPECT_EQ(field->width, listed.width);
    EXPECT_EQ(std::string(field->type), listed.type);
    EXPECT_EQ(field->vector, listed.type == kVector);
    EXPECT_LE(listed.offset + listed.width, table->entrySize * 8);
  }
}

// Verifies, for every listed field (not the catalogue's own list): on an entry
// of random bytes, setting the field changes exactly the listed bits
// [offset, offset + width) to the value and keeps every other data bit, and
// the getter reads the value back. The value written is the complement of
// the listed bits, so every listed bit flips and a field placed elsewhere
// cannot pass by chance.
TEST(FieldLayoutListed, SettingEachFieldChangesExactlyTheListedBits) {
  std::mt19937_64 random(20240917);
  std::size_t checked = 0;
  for (const auto& listed : listedFields()) {
    SCOPED_TRACE(listed.table + "." + listed.name);
    const auto* table = catalogue::table(listed.table);
    ASSERT_NE(table, nullptr);
    std::size_t f = 0;
    if (catalogueField(*table, listed.name, &f) == nullptr) {
      ADD_FAILURE() << "no such field in the catalogue";
      continue;
    }
    const auto& ops = *table->values;
    const std::size_t dataBits = table->entrySize * 8;
    ASSERT_LE(listed.offset + listed.width, dataBits);

    alignas(8) std::byte storage[64];
    ASSERT_LE(ops.entryBytes, sizeof(storage));
    ops.entryDefault(storage);
    std::uint8_t* data = ops.mutableData(storage);
    for (std::uint32_t i = 0; i < table->entrySize; ++i) data[i] = static_cast<std::uint8_t>(random());
    bitIs(data, listed.offset, false);  // so the complement written below is never 0
    const std::vector<std::uint8_t> before(data, data + table->entrySize);

    std::vector<bool> value(listed.width);
    for (std::uint32_t k = 0; k < listed.width; ++k) value[k] = !bitAt(before.data(), listed.offset + k);

    if (listed.type == kVector) {
      Wem::PerUnitBitmap bitmap;
      ASSERT_GE(bitmap.bitCount(), listed.width);
      for (std::size_t w = 0; w < bitmap.wordCount(); ++w) {
        std::uint32_t word = 0;
        for (std::uint32_t b = 0; b < 32 && 32 * w + b < listed.width; ++b) {
          word |= std::uint32_t{value[32 * w + b]} << b;
        }
        bitmap.wordIs(w, word);
      }
      ops.vectorIs(storage, f, bitmap);
      const Wem::PerUnitBitmap readBack = ops.vectorGet(storage, f);
      ASSERT_GE(readBack.bitCount(), listed.width);
      std::vector<std::size_t> wrongReadBack;
      for (std::uint32_t k = 0; k < listed.width; ++k) {
        if (readBack.bit(k) != value[k]) wrongReadBack.push_back(k);
      }
      EXPECT_TRUE(wrongReadBack.empty()) << wrongReadBack.size() << " bits read back wrong, first "
                                         << wrongReadBack.front();
    } else {
      ASSERT_LE(listed.width, 32u);
      std::uint64_t number = 0;
      for (std::uint32_t k = 0; k < listed.width; ++k) number |= std::uint64_t{value[k]} << k;
      ASSERT_NE(number, 0u);
      ops.fieldIs(storage, f, number);
      EXPECT_EQ(ops.fieldGet(storage, f), number);
    }

    std::vector<std::size_t> wrongBits;
    for (std::size_t k = 0; k < dataBits; ++k) {
      const bool inField = k >= listed.offset && k < listed.offset + listed.width;
      const bool expected = inField ? value[k - listed.offset] : bitAt(before.data(), k);
      if (bitAt(data, k) != expected) wrongBits.push_back(k);
    }
    EXPECT_TRUE(wrongBits.empty()) << "data bits not as expected: " << [&] {
      std::string text;
      for (auto k : wrongBits) text += std::to_string(k) + " ";
      return text;
    }();
    ++checked;
  }
  EXPECT_EQ(checked, kNamedFieldCount);
}

}  // namespace
