// Field layout of the catalogue's tables, checked against a list written out by hand here rather than read from the
// table description files under src/tables. The catalogue is generated from those files, so a wrong offset in a
// description also shows up in the catalogue and in the generated accessors alike; only an independent list catches it.
// The piece accessor the generated accessors use is checked here too, on piece layouts the catalogue does not use.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Asic/FieldAccessor.h"
#include "VovuAsicUtils/TableDescription.h"
#include "Wem/PerUnitBitmap.h"

namespace {

using namespace bcm88490_a0;

constexpr const char* kVector = "Wem::PerUnitBitmap";

struct ListedField {
  std::string table;
  std::string name;
  std::uint32_t offset, width;
  std::string type;
};

// Every named field, aliases included (an alias carries the offset, width and type of the field it names). Vector
// fields are as wide as the entry data.
std::vector<ListedField> listedFields() {
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

  // Snoop register: sixteen 12-bit snoop-action entries, entry i at bit 12i; the unnumbered name is a second name of
  // entry 0's field.
  const std::string snoop = "EtppbSnoopActionTableHwReg";
  for (const ListedField& part : std::vector<ListedField>{{snoop, "snoopActionValid", 0, 1, "U1"},
                                                          {snoop, "snoopProbabilityIdx", 1, 3, "U3"},
                                                          {snoop, "snoopPriority", 4, 1, "U1"},
                                                          {snoop, "snoopCropPacket", 5, 2, "U2"},
                                                          {snoop, "snoopAppendOriginalFtmh", 7, 1, "U1"},
                                                          {snoop, "snoopRecycleCmd", 8, 4, "U4"}}) {
    fields.push_back(part);
    for (std::uint32_t i = 0; i < 16; ++i) {
      fields.push_back({snoop, part.name + std::to_string(i), 12 * i + part.offset, part.width, part.type});
    }
  }

  // Action-profile registers: kind k has a 4-bit forward profile at 7k and a 3-bit snoop profile at 7k + 4.
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
            "UnspecifiedSource", "LinkLocalDestination", "SiteLocalDestination", "LinkLocalSource", "SiteLocalSource"});
  return fields;
}

// Bit k of the data: bit (k mod 8) of byte (k div 8).
bool bitAt(const std::uint8_t* data, std::size_t k) { return data[k / 8] >> (k % 8) & 1; }

// Verifies: the list covers exactly the catalogue's tables, and each table's field names are exactly the listed ones,
// none missing, none extra, none twice. For every listed field the catalogue gives the listed offset, width and type (a
// vector exactly when it is a bitmap), and on an entry of random bytes setting the field through its accessor changes
// exactly the listed bits [offset, offset + width) to the value, keeps every other data bit, and reads back. The value
// written is the complement of the listed bits, so every listed bit flips and a field placed elsewhere cannot pass by
// chance.
TEST(FieldLayoutListed, EveryFieldHasTheListedPlaceAndChangesExactlyItsBits) {
  const std::vector<ListedField> fields = listedFields();
  std::map<std::string, std::multiset<std::string>> names, present;
  for (const auto& f : fields) names[f.table].insert(f.name);
  for (const auto* t : catalogue::tables()) {
    for (const auto& f : t->values->fields) present[t->name].insert(f.name);
  }
  EXPECT_EQ(present, names);

  std::mt19937_64 random(20240917);
  for (const auto& listed : fields) {
    SCOPED_TRACE(listed.table + "." + listed.name);
    const auto* table = catalogue::table(listed.table);
    ASSERT_NE(table, nullptr);
    const auto& ops = *table->values;
    const auto found =
        std::find_if(ops.fields.begin(), ops.fields.end(), [&](const auto& f) { return listed.name == f.name; });
    if (found == ops.fields.end()) continue;  // reported above
    const auto f = static_cast<std::size_t>(found - ops.fields.begin());
    EXPECT_EQ(std::tuple(found->offset, found->width, std::string(found->type), found->vector),
              std::tuple(listed.offset, listed.width, listed.type, listed.type == kVector));
    const std::size_t dataBits = table->entrySize * 8;
    ASSERT_LE(listed.offset + listed.width, dataBits);

    catalogue::EntryBuffer storage;
    ops.entryDefault(storage.bytes);
    std::uint8_t* data = ops.mutableData(storage.bytes);
    for (std::uint32_t i = 0; i < table->entrySize; ++i) data[i] = static_cast<std::uint8_t>(random());
    const std::vector<std::uint8_t> before(data, data + table->entrySize);
    std::vector<bool> value(listed.width);
    for (std::uint32_t k = 0; k < listed.width; ++k) value[k] = !bitAt(before.data(), listed.offset + k);

    if (listed.type == kVector) {
      Wem::PerUnitBitmap bitmap;
      for (std::uint32_t k = 0; k < listed.width; ++k) {
        bitmap.wordIs(k / 32, bitmap.word(k / 32) | std::uint32_t{value[k]} << (k % 32));
      }
      ops.vectorIs(storage.bytes, f, bitmap);
      const Wem::PerUnitBitmap readBack = ops.vectorGet(storage.bytes, f);
      for (std::uint32_t k = 0; k < listed.width; ++k) ASSERT_EQ(readBack.bit(k), value[k]) << "read back, bit " << k;
    } else {
      std::uint64_t number = 0;
      for (std::uint32_t k = 0; k < listed.width; ++k) number |= std::uint64_t{value[k]} << k;
      ops.fieldIs(storage.bytes, f, number);
      EXPECT_EQ(ops.fieldGet(storage.bytes, f), number);
    }
    for (std::size_t k = 0; k < dataBits; ++k) {
      const bool inField = k >= listed.offset && k < listed.offset + listed.width;
      ASSERT_EQ(bitAt(data, k), inField ? value[k - listed.offset] : bitAt(before.data(), k)) << "data bit " << k;
    }
  }
}

// Verifies: a field in pieces reads and writes like the direct bit copy of the same bits; a piece that starts past the
// data reads nothing, one that runs past its end reads only the bits inside.
TEST(FieldAccessor, PiecesMatchDirectCopyAndClipReads) {
  std::array<std::uint8_t, 3> data{0x5a, 0xc3, 0x81};
  const Asic::SubField whole[] = {{12, 0, 6}};
  std::uint16_t direct = 0;
  Detail::copyBits(&direct, 2, data.data(), 3, 12, 0, 6);
  EXPECT_EQ(Asic::FieldAccessor(whole).get(data.data(), 3), direct);

  // Two pieces that swap the halves of a byte.
  const Asic::SubField swapped[] = {{4, 0, 4}, {4, 4, 0}};
  EXPECT_EQ(Asic::FieldAccessor(swapped).get(data.data(), 3), 0xa5u);
  Asic::FieldAccessor(swapped).set(data.data(), 3, 0x21);
  EXPECT_EQ(data[0], 0x12);
  EXPECT_EQ(data[1], 0xc3);

  const Asic::SubField outside[] = {{4, 0, 24}};
  EXPECT_EQ(Asic::FieldAccessor(outside).get(data.data(), 3), 0u);
  const Asic::SubField straddling[] = {{8, 0, 20}};  // bits 20..23 inside, 24..27 past the end
  EXPECT_EQ(Asic::FieldAccessor(straddling).get(data.data(), 3), 0x8u);
  Asic::FieldAccessor(straddling).set(data.data(), 3, 0xff);
  EXPECT_EQ(data[2], 0xf1);
}

}  // namespace
