// Default contents: what each table writes into a new shadow when addShadow runs. Expected data is written out here as
// raw bytes (bit 0 = least significant bit of data byte 0), so a wrong field offset, a wrong value, a missing write or
// a stray extra entry all show up as a byte difference.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Hardware/Vovu/DestinationId.h"
#include "NvToggles/Toggles.h"
#include "Orvel/Exception.h"
#include "VovuAsicUtils/TableDescription.h"
#include "VovuPPExport/EgressProfiles.h"
#include "shadows/ShadowTestSupport.h"
#include "support/ChildProcess.h"

namespace {

namespace catalogue = bcm88490_a0::catalogue;
using ::testing::ContainerEq;
using Contents = std::map<test_shadows::KeyParts, std::string>;  // data bytes as hex, byte 0 first

const VovuAsicUtils::HwShadowKey kShadow(0, 0);
constexpr const char* kIpv6 = "IppbIpv6ActionProfiles0CfgHwReg";

// `n` data bytes holding `value` from bit 0 up.
std::string le(std::uint64_t value, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += fmt::format("{:02x}", i < 8 ? (value >> (8 * i)) & 0xFF : 0);
  return text;
}

// `n` data bytes with exactly the bit pairs from `pairs` set (a routing vector with profile slots enabled as 11).
std::string bitPairs(std::initializer_list<std::size_t> pairs, std::size_t n) {
  std::vector<std::uint8_t> bytes(n, 0);
  for (std::size_t p : pairs) {
    for (std::size_t bit : {p, p + 1}) bytes[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
  }
  return fmt::format("{:02x}", fmt::join(bytes, ""));
}

// The expected default contents of every table but the IPv6 register, whose contents follow a toggle (below).
std::map<std::string, Contents> expectedDefaults() {
  std::map<std::string, Contents> d;
  // VSIs 240-242 share Ippa entry (2, 60) as profiles 0-2 (value 2 each); Ippf VSI 64 is profile 0 of (1, 16) and VSI
  // 21 profile 1 of (1, 5).
  d["IppaVsiToRoutingProfileMapHwDirect"] = {{{2, 60}, le(0x0222, 4)}};
  d["IppfVsiToRoutingProfileMapHwDirect"] = {{{1, 16}, le(0x01, 4)}, {{1, 5}, le(0x20, 4)}};
  // In-LIF profiles: seven Ippa entries, the zero-valued ones stored as well; every Ippb entry 1 except 241 (0);
  // nothing in Ippd.
  d["IppaCsInlif0ProfileMapHwDirect"] = {{{2, 0}, le(1, 4)},   {{3, 0}, le(1, 4)},   {{3, 240}, le(4, 4)},
                                         {{3, 241}, le(0, 4)}, {{3, 242}, le(4, 4)}, {{3, 30}, le(0, 4)},
                                         {{3, 1}, le(0, 4)}};
  for (unsigned k = 0; k <= 255; ++k) d["IppbFlpInlifProfile0MapHwDirect"][{k, 0}] = le(k == 241 ? 0 : 1, 4);
  d["IppdInlifProfileTableHwDirect"] = {};
  // Routing-enable vectors carry 11 in two-bit slot 2a + b of each default (a, b) pair; a = 63 lands in slot 126, bits
  // 252 and 253: the top of the 256-bit vector.
  d["IppaRoutingProfileToVectorMapHwDirect"] = {{{2, 2}, bitPairs({4, 8, 12, 16, 32, 36, 60, 80, 88, 252}, 32)}};
  d["IppfRoutingProfileToVectorMapHwDirect"] = {{{1, 1}, bitPairs({4}, 32)}, {{1, 2}, bitPairs({8, 12, 16, 36}, 32)}};
  // Both prefix tables take entries 0-6 from the same defaults (zero prefixes stored too), and differ in entry 7.
  const std::uint32_t prefixes[7] = {0, 0x1C0000, 0x180000, 0, 0, 0, 0x180000};
  for (unsigned k = 0; k < 7; ++k) {
    d["IppfVsiPrefixIndexTableHwDirect"][{k, 0}] = d["EtppcTermVsdArrPrefixTableHwDirect"][{k, 0}] = le(prefixes[k], 4);
  }
  d["IppfVsiPrefixIndexTableHwDirect"][{7, 0}] = le(0xC0000, 4);
  d["EtppcTermVsdArrPrefixTableHwDirect"][{7, 0}] = le(0x40000, 4);
  // The LPM entry-type map: all 1024 entries of both array indices from the per-index runs {first, last, type} (ecc 0).
  const unsigned runs[][3] = {{0, 43, 10},   {44, 44, 46},   {45, 45, 45},   {46, 46, 44},   {47, 47, 43},
                              {48, 63, 47},  {64, 111, 10},  {112, 127, 47}, {128, 255, 0},  {256, 319, 2},
                              {320, 383, 8}, {384, 447, 5},  {448, 511, 40}, {512, 575, 0},  {576, 639, 11},
                              {640, 703, 0}, {704, 767, 13}, {768, 831, 23}, {832, 895, 22}, {896, 1023, 0}};
  for (unsigned a = 0; a <= 1; ++a) {
    for (const auto& [first, last, type] : runs) {
      for (unsigned e = first; e <= last; ++e) d["LpmEntryTypeMapHwDirect"][{a, e}] = le(type, 4);
    }
  }
  // Egress MTU: one profile-selection entry (forward strength 7 at bit 3, the host's profile value for selector 6 at
  // bit 7; this host returns the selector itself) and all 128 MTU entries at 16383 with profile index 0.
  d["EtppcCfgMtuActionProfileIdxMapTableHwDirect"] = {{{0, 0}, le(7u << 3 | 6u << 7, 4)}};
  for (unsigned k = 0; k <= 127; ++k) d["EtppcMtuMapTableHwDirect"][{k, 0}] = le(0x3FFF, 4);
  // The trap table: exactly the ten L3 snoop commands, each with destinationOw 1 and the host encoding of its
  // destination (id, sub-id, kind) at bit 1; commands 0, 4-6, 9, 10, 13-15, 18 and 20-31 stay absent.
  const std::uint32_t traps[][3] = {{1, 51, 8},  {2, 19, 8},  {3, 16, 8},  {7, 28, 8},  {8, 12, 8},
                                    {11, 20, 8}, {12, 28, 8}, {16, 67, 1}, {17, 67, 1}, {19, 28, 8}};
  for (const auto& [command, id, kind] : traps) {
    const std::uint64_t encoded =
        Hardware::Vovu::DestinationId{id, 0, kind, false}.encodedDestId(Hardware::Vovu::FapType{4});
    EXPECT_LE(encoded, 0x1FFFFFu);
    d["TarSnifActionTableHwDirect"][{command, 0}] = le(encoded << 1 | 1, 12);
  }
  // Registers, entry 0: explicit zeros for the default route; TTL profiles 0x3607/0x3987/0x4080/0; the IPv4 forward
  // profiles with kind k at bit 7k (VersionError 0, ChecksumError 1, HeaderLengthError 2, HasOptions 4); the
  // snoop-action table's entry 1 only (bytes 1-2 = 10 1b).
  d["IppdAllowDefaultRouteHwReg"] = {{{0, 0}, le(0, 4)}};
  d["IppbTtl0ActionProfileHwReg"] = {{{0, 0}, le(0x3607 | 0x3987ull << 16 | 0x4080ull << 32, 8)}};
  d["IppbIpv4ActionProfilesCfgHwReg"] = {{{0, 0}, le(7 | 3u << 7 | 7u << 14 | 4u << 28, 8)}};
  d["EtppbSnoopActionTableHwReg"] = {{{0, 0}, le(0x1B1000, 24)}};
  return d;
}

class DefaultsTest : public test_shadows::ShadowTest {
 protected:
  // Every entry shadow (0, 0) of `table` holds, in its iteration order.
  static Contents contentsOf(const VovuAsicUtils::HwCommonTableBase& table) {
    const catalogue::TableDescription& t = *catalogue::table(table.name().view());
    Contents held;
    std::size_t visited = 0;
    t.shadows->forEachEntry(table, kShadow, [&](const void* e) {
      ++visited;
      held[t.values->keyParts(e)] =
          fmt::format("{:02x}", fmt::join(t.values->data(e), t.values->data(e) + t.entrySize, ""));
    });
    EXPECT_EQ(visited, held.size()) << "an entry visited twice";
    return held;
  }

  // The contents of shadow (0, 0) of a new table `name` for `rev`.
  Contents defaultsOf(const std::string& name, const Hardware::Vovu::FapRevision& rev = test_shadows::kRev25) {
    const catalogue::TableDescription* t = catalogue::table(name);
    if (!t) throw std::runtime_error("no table " + name);
    auto table = make(*t, rev);
    table->addShadow(kShadow);
    return contentsOf(*table);
  }
};

// Verifies: a new shadow of each table holds exactly its default contents, on chip types 25 and 12.
TEST_F(DefaultsTest, EveryTableHoldsExactlyItsDefaults) {
  const std::map<std::string, Contents> expected = expectedDefaults();
  EXPECT_EQ(expected.size() + 1, catalogue::tables().size()) << "tables without expected defaults";
  for (const auto& [name, contents] : expected) {
    SCOPED_TRACE(name);
    EXPECT_THAT(defaultsOf(name), ContainerEq(contents));  // a failure lists the unexpected and the missing entries
  }
  Contents lpm12;
  for (const auto& [key, data] : expected.at("LpmEntryTypeMapHwDirect")) lpm12[key] = le(10, 4);
  EXPECT_THAT(defaultsOf("LpmEntryTypeMapHwDirect", test_shadows::kRev12), ContainerEq(lpm12)) << "chip type 12";
}

// Verifies: a host profile value that does not fit its field fails addShadow with nothing written.
TEST_F(DefaultsTest, MtuProfileValueOutOfRangeWritesNothing) {
  struct ResetOverride {
    ~ResetOverride() { VovuPPExport::profileValueOverrideIs(std::nullopt); }
  } reset;
  VovuPPExport::profileValueOverrideIs(16);
  auto table = make(*catalogue::table("EtppcCfgMtuActionProfileIdxMapTableHwDirect"));
  EXPECT_EQ(test_shadows::errorOf<Orvel::RangeException>([&] { table->addShadow(kShadow); }),
            "U4::value < 0 or > 0x0f not allowed");
  EXPECT_EQ(contentsOf(*table), Contents{});
}

// Verifies: IPv6 link-local sources are punted unless the toggle is off. The toggle is read once per process: each case
// runs in a fresh child, and the parent never reads it.
TEST_F(DefaultsTest, Ipv6LinkLocalSourceFollowsToggle) {
  // Kind k sits at bit 7k: VersionError 0, UnspecifiedDestination 1, MulticastSource 3, NextHeaderNull 4,
  // UnspecifiedSource 5, LinkLocalSource 8.
  const std::uint64_t base = 7 | 7u << 7 | 7u << 21 | 3u << 28 | 4ull << 35;
  const struct {
    std::string toggle;  // empty: no toggle file
    bool punted;
  } cases[] = {
      {R"({"V6LinkLocalSrcPuntToCpu": true})", true}, {"", true}, {R"({"V6LinkLocalSrcPuntToCpu": false})", false}};
  int children = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.toggle);
    const std::string dir = file("toggles" + std::to_string(++children));
    std::filesystem::create_directory(dir);
    if (!c.toggle.empty()) std::ofstream(dir + "/Vovu.json") << c.toggle;
    const testing_support::ChildResult child = testing_support::runInChild([&] {
      NvToggles::toggleDirIs(dir);
      const Contents held = defaultsOf(kIpv6);
      return held.size() == 1 ? held.begin()->second : "entries: " + std::to_string(held.size());
    });
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(child.output, le(base | (c.punted ? 7ull << 56 : 0), 12));
  }
}

}  // namespace
