// Default contents: what each table writes into a new shadow when addShadow
// runs. Expected data is written out here as raw bytes (bit 0 = least
// significant bit of data byte 0), so a wrong field offset, a wrong value, a
// missing write or a stray extra entry all show up as a byte difference.
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

#include "EtppbSnoopActionTableHwReg.h"
#include "EtppcCfgMtuActionProfileIdxMapTableHwDirect.h"
#include "EtppcMtuMapTableHwDirect.h"
#include "EtppcTermVsdArrPrefixTableHwDirect.h"
#include "Hardware/Vovu/DestinationId.h"
#include "IppaCsInlif0ProfileMapHwDirect.h"
#include "IppaRoutingProfileToVectorMapHwDirect.h"
#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbFlpInlifProfile0MapHwDirect.h"
#include "IppbIpv4ActionProfilesCfgHwReg.h"
#include "IppbIpv6ActionProfiles0CfgHwReg.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "IppdAllowDefaultRouteHwReg.h"
#include "IppdInlifProfileTableHwDirect.h"
#include "IppfRoutingProfileToVectorMapHwDirect.h"
#include "IppfVsiPrefixIndexTableHwDirect.h"
#include "IppfVsiToRoutingProfileMapHwDirect.h"
#include "LpmEntryTypeMapHwDirect.h"
#include "NvToggles/Toggles.h"
#include "Orvel/Exception.h"
#include "TarSnifActionTableHwDirect.h"
#include "VovuPPExport/EgressProfiles.h"
#include "shadows/ShadowTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace bcm88490_a0;
using Bytes = std::vector<std::uint8_t>;

const VovuAsicUtils::HwShadowKey kShadow(0, 0);

// `n` data bytes holding `value` from bit 0 up.
Bytes le(std::uint64_t value, std::size_t n) {
  Bytes bytes(n, 0);
  for (std::size_t i = 0; i < n && i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

// `n` data bytes with exactly the bit pairs starting at `pairs` set (a routing
// vector with profile slots enabled as 11).
Bytes bitPairs(std::initializer_list<std::size_t> pairs, std::size_t n) {
  Bytes bytes(n, 0);
  for (std::size_t p : pairs) {
    for (std::size_t bit : {p, p + 1}) bytes[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
  }
  return bytes;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  for (std::uint8_t b : bytes) text += fmt::format("{:02x}", b);
  return text;
}

template <class Key>
using Contents = std::map<Key, Bytes>;

// Everything the shadow of `table` holds, by walking its entry collection.
template <class Table>
Contents<typename Table::EntryKey> shadowContents(const Table& table) {
  Contents<typename Table::EntryKey> contents;
  const auto shadow = table.shadow(kShadow);
  EXPECT_TRUE(shadow && shadow->entryStorage()) << Table::tableName() << ": no shadow";
  if (!shadow || !shadow->entryStorage()) return contents;
  for (typename Table::Shadow::Storage::IteratorConst it(shadow->entryStorage()->map()); it.valid(); it.advance()) {
    const auto& entry = it.value();
    const bool fresh =
        contents.emplace(entry.entryKey(), Bytes(entry.data(), entry.data() + Table::Entry::entrySize)).second;
    EXPECT_TRUE(fresh) << Table::tableName() << ": " << entry.entryKey().strep() << " visited twice";
  }
  return contents;
}

// Compares key by key, reporting missing, extra and differing entries by name.
template <class Key>
void expectContents(const char* table, const Contents<Key>& actual, const Contents<Key>& expected) {
  EXPECT_EQ(actual.size(), expected.size()) << table << ": entry count";
  int reported = 0;
  for (const auto& [key, bytes] : expected) {
    const auto it = actual.find(key);
    if (it == actual.end()) {
      if (reported++ < 10) ADD_FAILURE() << table << ": missing " << key.strep() << " = " << hex(bytes);
    } else if (it->second != bytes) {
      if (reported++ < 10) {
        ADD_FAILURE() << table << ": " << key.strep() << " holds " << hex(it->second) << ", expected " << hex(bytes);
      }
    }
  }
  for (const auto& [key, bytes] : actual) {
    if (!expected.contains(key) && reported++ < 10) {
      ADD_FAILURE() << table << ": unexpected " << key.strep() << " = " << hex(bytes);
    }
  }
}

class DefaultsTest : public test_shadows::ShadowTest {
 protected:
  // Builds the table for `rev`, adds shadow (0, 0) and checks that the shadow
  // holds exactly `expected`.
  template <class Table>
  Orvel::Ptr<Table> expectDefaults(const Contents<typename Table::EntryKey>& expected,
                                   const Hardware::Vovu::FapRevision& rev = test_shadows::kRev25) {
    auto table = make<Table>(rev);
    table->addShadow(kShadow);
    expectContents(Table::tableName(), shadowContents(*table), expected);
    return table;
  }

  // Register tables: entry 0 is stored and holds `expected`.
  template <class Table>
  Orvel::Ptr<Table> expectRegister(const Bytes& expected) {
    auto table = make<Table>();
    table->addShadow(kShadow);
    EXPECT_TRUE(table->shadow(kShadow)->present(typename Table::EntryKey(0))) << Table::tableName();
    const auto entry = table->getEntry(kShadow, typename Table::EntryKey(0));
    EXPECT_EQ(hex(Bytes(entry.data(), entry.data() + Table::Entry::entrySize)), hex(expected)) << Table::tableName();
    return table;
  }
};

// Verifies: the VSI maps hold only the entries their VSIs fall in: VSIs 240-242
// share Ippa entry (2, 60) as profiles 0-2 (value 2 each); Ippf VSI 64 is
// profile 0 of (1, 16) and VSI 21 profile 1 of (1, 5).
TEST_F(DefaultsTest, VsiToRoutingProfileMaps) {
  using Ippa = IppaVsiToRoutingProfileMapHwDirect;
  using Ippf = IppfVsiToRoutingProfileMapHwDirect;
  expectDefaults<Ippa>({{Ippa::EntryKey(2, 60), le(0x0222, 4)}});
  expectDefaults<Ippf>({{Ippf::EntryKey(1, 16), le(0x01, 4)}, {Ippf::EntryKey(1, 5), le(0x20, 4)}});
}

// Verifies: VSI 243 is profile 3 of the same entry as the three default VSIs;
// a read-modify-write of it keeps the defaults and adds no entry.
TEST_F(DefaultsTest, VsiWriteKeepsDefaultProfiles) {
  using Table = IppaVsiToRoutingProfileMapHwDirect;
  auto table = expectDefaults<Table>({{Table::EntryKey(2, 60), le(0x0222, 4)}});
  Table::Entry entry = table->getEntry(kShadow, Table::EntryKey(2, 243 / 4));
  entry.routingProfileIs(243 % 4, 5);
  table->setEntry(kShadow, entry);
  const Table::Entry after = table->getEntry(kShadow, Table::EntryKey(2, 60));
  EXPECT_EQ(after.routingProfile0().value(), 2);
  EXPECT_EQ(after.routingProfile1().value(), 2);
  EXPECT_EQ(after.routingProfile2().value(), 2);
  EXPECT_EQ(after.routingProfile3().value(), 5);
  expectContents(Table::tableName(), shadowContents(*table), {{Table::EntryKey(2, 60), le(0x5222, 4)}});
}

// Verifies: the in-LIF profile maps: seven Ippa entries, the zero-valued ones
// stored as well; every Ippb entry 1 except 241 (0); nothing in Ippd.
TEST_F(DefaultsTest, InlifProfileMaps) {
  using Cs = IppaCsInlif0ProfileMapHwDirect;
  expectDefaults<Cs>({{Cs::EntryKey(2, 0), le(1, 4)},
                      {Cs::EntryKey(3, 0), le(1, 4)},
                      {Cs::EntryKey(3, 240), le(4, 4)},
                      {Cs::EntryKey(3, 241), le(0, 4)},
                      {Cs::EntryKey(3, 242), le(4, 4)},
                      {Cs::EntryKey(3, 30), le(0, 4)},
                      {Cs::EntryKey(3, 1), le(0, 4)}});

  using Flp = IppbFlpInlifProfile0MapHwDirect;
  Contents<Flp::EntryKey> flp;
  for (unsigned k = 0; k <= 255; ++k) flp[Flp::EntryKey(k)] = le(k == 241 ? 0 : 1, 4);
  expectDefaults<Flp>(flp);

  expectDefaults<IppdInlifProfileTableHwDirect>({});
}

// Verifies: routing-enable vectors carry 11 in two-bit slot 2a + b of each
// default (a, b) pair and nothing else; the Ippa vector is also checked
// through its vector field.
TEST_F(DefaultsTest, RoutingProfileToVectorMaps) {
  using Ippa = IppaRoutingProfileToVectorMapHwDirect;
  using Ippf = IppfRoutingProfileToVectorMapHwDirect;
  // a = 63 lands in slot 126, bits 252 and 253: the top of the 256-bit vector.
  auto ippa = expectDefaults<Ippa>(
      {{Ippa::EntryKey(2, 2), bitPairs({4, 8, 12, 16, 32, 36, 60, 80, 88, 252}, 32)}});
  expectDefaults<Ippf>({{Ippf::EntryKey(1, 1), bitPairs({4}, 32)},
                        {Ippf::EntryKey(1, 2), bitPairs({8, 12, 16, 36}, 32)}});

  const Wem::PerUnitBitmap vector = ippa->getEntry(kShadow, Ippa::EntryKey(2, 2)).routingEnableVector();
  std::vector<std::size_t> set;
  for (std::size_t p = 0; p < 256; ++p) {
    if (vector.bit(p)) set.push_back(p);
  }
  EXPECT_EQ(set, (std::vector<std::size_t>{4, 5, 8, 9, 12, 13, 16, 17, 32, 33, 36, 37, 60, 61, 80, 81, 88, 89, 252,
                                           253}));
}

// Verifies: both prefix tables take entries 0-6 from the same defaults (zero
// prefixes stored too) and differ only in their own entry 7.
TEST_F(DefaultsTest, PrefixTables) {
  const std::uint32_t common[7] = {0, 0x1C0000, 0x180000, 0, 0, 0, 0x180000};
  Contents<IppfVsiPrefixIndexTableHwDirect::EntryKey> ippf;
  Contents<EtppcTermVsdArrPrefixTableHwDirect::EntryKey> etppc;
  for (unsigned k = 0; k < 7; ++k) {
    ippf[k] = le(common[k], 4);
    etppc[k] = le(common[k], 4);
  }
  ippf[7] = le(0xC0000, 4);
  etppc[7] = le(0x40000, 4);
  expectDefaults<IppfVsiPrefixIndexTableHwDirect>(ippf);
  expectDefaults<EtppcTermVsdArrPrefixTableHwDirect>(etppc);
}

// Verifies: the LPM entry-type map fills all 2048 entries of both array
// indices from the per-index runs (ecc 0); on chip type 12 every entry is 10.
TEST_F(DefaultsTest, LpmEntryTypeMap) {
  using Table = LpmEntryTypeMapHwDirect;
  struct Run {
    unsigned first, last, type;
  };
  const Run runs[] = {{0, 43, 10},     {44, 44, 46},    {45, 45, 45},    {46, 46, 44},    {47, 47, 43},
                      {48, 63, 47},    {64, 111, 10},   {112, 127, 47},  {128, 255, 0},   {256, 319, 2},
                      {320, 383, 8},   {384, 447, 5},   {448, 511, 40},  {512, 575, 0},   {576, 639, 11},
                      {640, 703, 0},   {704, 767, 13},  {768, 831, 23},  {832, 895, 22},  {896, 1023, 0}};
  Contents<Table::EntryKey> expected;
  Contents<Table::EntryKey> chip12;
  for (unsigned a = 0; a <= 1; ++a) {
    for (const Run& run : runs) {
      for (unsigned e = run.first; e <= run.last; ++e) expected[Table::EntryKey(a, e)] = le(run.type, 4);
    }
    for (unsigned e = 0; e <= 1023; ++e) chip12[Table::EntryKey(a, e)] = le(10, 4);
  }
  ASSERT_EQ(expected.size(), 2048u);
  auto table = expectDefaults<Table>(expected);
  EXPECT_EQ(table->getEntry(kShadow, Table::EntryKey(0, 44)).lpmEntryType().value(), 46);
  EXPECT_EQ(table->getEntry(kShadow, Table::EntryKey(1, 44)).lpmEntryType().value(), 46);

  auto chip12Table = expectDefaults<Table>(chip12, test_shadows::kRev12);
  EXPECT_EQ(chip12Table->getEntry(kShadow, Table::EntryKey(0, 44)).lpmEntryType().value(), 10);
  EXPECT_EQ(chip12Table->getEntry(kShadow, Table::EntryKey(1, 44)).lpmEntryType().value(), 10);
}

// Verifies: egress MTU tables: one profile-selection entry (forward strength 7
// at bit 3, the host's profile value for selector 6 at bit 7; this host returns
// the selector itself) and all 128 MTU entries at 16383 with profile index 0.
TEST_F(DefaultsTest, EgressMtuTables) {
  expectDefaults<EtppcCfgMtuActionProfileIdxMapTableHwDirect>({{0, le(7u << 3 | 6u << 7, 4)}});
  Contents<EtppcMtuMapTableHwDirect::EntryKey> mtu;
  for (unsigned k = 0; k <= 127; ++k) mtu[k] = le(0x3FFF, 4);
  expectDefaults<EtppcMtuMapTableHwDirect>(mtu);
}

// Verifies: a host profile value of 16 does not fit the 4-bit field: addShadow
// raises the bounded-type range error and the shadow stays empty.
TEST_F(DefaultsTest, MtuProfileValueOutOfRangeWritesNothing) {
  using Table = EtppcCfgMtuActionProfileIdxMapTableHwDirect;
  struct ResetOverride {
    ~ResetOverride() { VovuPPExport::profileValueOverrideIs(std::nullopt); }
  } reset;
  VovuPPExport::profileValueOverrideIs(16);
  auto table = make<Table>();
  try {
    table->addShadow(kShadow);
    ADD_FAILURE() << "addShadow accepted profile value 16";
  } catch (const Orvel::RangeException& e) {
    EXPECT_STREQ(e.what(), "U4::value < 0 or > 0x0f not allowed");
  }
  expectContents(Table::tableName(), shadowContents(*table), {});
}

// Verifies: the trap table holds exactly the ten L3 snoop commands, each with
// destinationOw 1 and the host encoding of its destination (id, sub-id, kind)
// at bit 1, every other bit 0; commands 0, 4-6, 9, 10, 13-15, 18 and 20-31 stay absent.
TEST_F(DefaultsTest, TarSnifActionTable) {
  using Table = TarSnifActionTableHwDirect;
  const auto entry = [](std::uint32_t id, std::uint32_t type) {
    const Hardware::Vovu::DestinationId dest{id, 0, type, false};
    const std::uint64_t encoded = dest.encodedDestId(Hardware::Vovu::FapType{4});
    EXPECT_LE(encoded, 0x1FFFFFu);
    return le(encoded << 1 | 1, 12);
  };
  auto table = expectDefaults<Table>({{1, entry(51, 8)},
                                      {2, entry(19, 8)},
                                      {3, entry(16, 8)},
                                      {7, entry(28, 8)},
                                      {8, entry(12, 8)},
                                      {11, entry(20, 8)},
                                      {12, entry(28, 8)},
                                      {16, entry(67, 1)},
                                      {17, entry(67, 1)},
                                      {19, entry(28, 8)}});
  const Table::Entry one = table->getEntry(kShadow, 1);
  EXPECT_EQ(one.destinationOw().value(), 1);
  const Hardware::Vovu::DestinationId cpu{51, 0, 8, false};
  EXPECT_EQ(one.destination().value(), cpu.encodedDestId(Hardware::Vovu::FapType{4}));
  EXPECT_EQ(one.lagLbKey(), 0);
}

// Verifies: the register tables' single entry: explicit zeros for the default
// route, TTL profiles 0x3607/0x3987/0x4080/0, the IPv4 forward profiles in
// their 7-bit kind slots, and snoop-action entry 1 only (bytes 1-2 = 10 1b).
TEST_F(DefaultsTest, RegisterTables) {
  expectRegister<IppdAllowDefaultRouteHwReg>(le(0, 4));

  auto ttl = expectRegister<IppbTtl0ActionProfileHwReg>(le(0x3607 | 0x3987ull << 16 | 0x4080ull << 32, 8));
  const auto ttlEntry = ttl->getEntry(kShadow, 0);
  EXPECT_EQ(ttlEntry.ttl0ActionProfile0(), 0x3607);
  EXPECT_EQ(ttlEntry.ttl0FwdStrength().value(), 7);
  EXPECT_EQ(ttlEntry.ttl0TrapCode().value(), 108);

  // Kind k sits at bit 7k: VersionError 0, ChecksumError 1, HeaderLengthError 2, HasOptions 4.
  expectRegister<IppbIpv4ActionProfilesCfgHwReg>(le(7 | 3u << 7 | 7u << 14 | 4u << 28, 8));

  Bytes snoop(24, 0);
  snoop[1] = 0x10;
  snoop[2] = 0x1B;
  expectRegister<EtppbSnoopActionTableHwReg>(snoop);
}

// The IPv6 register's entry 0 as hex, taken in a fresh child process: the
// link-local toggle is read once per process, so the parent never reads it.
// `toggle` empty leaves the toggle file out (the default applies).
class DefaultsIpv6Test : public DefaultsTest {
 protected:
  std::string ipv6Defaults(const std::string& toggle) {
    const std::string dir = file("toggles" + std::to_string(++children_));
    std::filesystem::create_directory(dir);
    if (!toggle.empty()) std::ofstream(dir + "/Vovu.json") << toggle;
    const testing_support::ChildResult child = testing_support::runInChild([&] {
      NvToggles::toggleDirIs(dir);
      auto table = make<IppbIpv6ActionProfiles0CfgHwReg>();
      table->addShadow(kShadow);
      const auto entry = table->getEntry(kShadow, 0);
      return hex(Bytes(entry.data(), entry.data() + IppbIpv6ActionProfiles0CfgHwReg::Entry::entrySize));
    });
    EXPECT_EQ(child.exitCode, 0) << child.output;
    return child.output;
  }

  // Kind k sits at bit 7k: VersionError 0, UnspecifiedDestination 1,
  // MulticastSource 3, NextHeaderNull 4, UnspecifiedSource 5, LinkLocalSource 8.
  static std::string expected(bool linkLocalPunt) {
    const std::uint64_t base = 7 | 7u << 7 | 7u << 21 | 3u << 28 | 4ull << 35;
    return hex(le(base | (linkLocalPunt ? 7ull << 56 : 0), 12));
  }

  int children_ = 0;
};

// Verifies: with the link-local toggle on (explicitly or by default, no file)
// link-local sources are punted (7); with it off that slot stays 0.
TEST_F(DefaultsIpv6Test, LinkLocalSourceFollowsToggle) {
  EXPECT_EQ(ipv6Defaults(R"({"V6LinkLocalSrcPuntToCpu": true})"), expected(true));
  EXPECT_EQ(ipv6Defaults(""), expected(true));
  EXPECT_EQ(ipv6Defaults(R"({"V6LinkLocalSrcPuntToCpu": false})"), expected(false));
}

}  // namespace
