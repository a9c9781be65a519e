// The traces of a table's whole life, line by line as an operator reads them, written out here rather than recorded.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "ShadowTestSupport.h"

namespace {

// What set, get, delete and schanCmds of one key ({key}, set as {entry}), a write for a chip the shadow does not cover
// and the shadow's deletion trace (a direct table's shadow then unmounts).
constexpr const char* kOperations = R"(
{a}/8 {t}::setEntry {h}:364 [{op}{entry}]
{a}/8 {t}::getEntry {h}:385 [{op}{key}]
{s}/8 ::getEntry {sh}:40 [key: {key}]
{a}/8 {t}::deleteEntry {h}:406 [{op}{key}]
{s}/8 ::deleteEntry {sh}:77 [ shadowKey: 0-0 entryKey: {key}]
{a}/8 {t}::schanCmds {h}:430 [{op}{key}]
{s}/8 ::schanCmds {sh}:102 [key: {key}]
{s}/8 ::schanCmds {sh}:102 [key: {key}]
{s}/8 ::schanCmds {sh}:107 [ hwShadowKey: 0-0 not applicable for downloadFapmask: {{1}}]
{s}/8 Shadow::onDelete []
)";

// The lines of the creation of table `t` and its shadow `n`, then `middle`, then kOperations, then `end`, with the
// names the lines share filled in: {t}, {n}, {a} and {s} the table and shadow accessor handles, {h} and {sh} their
// headers, {op} what a table operation's entry trace says before the entry, {init} the first line of the default
// contents (handle `defaults`); and `more`. A line starting with # is a comment.
template <class... Args>
std::vector<std::string> expectedLines(const std::string& t, const std::string& defaults, const std::string& n,
                                       const std::string& middle, const std::string& end, const Args&... more) {
  const std::string text = R"(
{t}/8 {t}::handleInitialized []
{a}/8 {t}::addShadow [ fapId: 0 fapRevision: bcm88490_a0 tableName: {t}]
{s}/8 Shadow::handleInitialized [tableName: {n} ]
)" + middle + kOperations + end;
  const std::string filled =
      fmt::format(fmt::runtime(text), fmt::arg("t", t), fmt::arg("a", t + ".HwTableAccessor"),
                  fmt::arg("s", t + ".ShadowAccessor"), fmt::arg("n", n),
                  fmt::arg("h", "VovuAsicUtils/HwTableAccessor.h"), fmt::arg("sh", "VovuAsicUtils/ShadowAccessor.h"),
                  fmt::arg("op", fmt::format(" shadowName : {} hwShadowKey 0-0 entry : ", n)),
                  fmt::arg("init", fmt::format("{}/2 {}::userInitHwTable [void bcm88490_a0::{}::userInitHwTable("
                                               "const VovuAsicUtils::HwShadowKey&) hwShadowKey: 0-0]",
                                               defaults, t, t)),
                  more...);
  std::vector<std::string> lines;
  std::istringstream in(filled);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

class TracesTest : public test_shadows::ShadowTest {
 protected:
  // Expects the lines that `rule` selects in a table's life (creation, addShadow, set, get, delete and schanCmds of
  // `entry`'s key, a write for chip 1 only, the shadow's deletion) to be `expected`. One text line each, "handle/level
  // tag::function [message]", with " file:line" after the function where the expected line has one, so that a failure
  // shows the lines that differ.
  template <class Table>
  void expectWholeLife(const std::string& rule, const typename Table::Entry& entry,
                       const std::vector<std::string>& expected) {
    const VovuAsicUtils::HwShadowKey key(0, 0);
    test_shadows::TraceCapture traces(rule);
    Table& table = *make<Table>();
    table.addShadow(key);
    table.setEntry(key, entry);
    table.getEntry(key, entry.entryKey());
    table.deleteEntry(key, entry.entryKey());
    table.schanCmds(key, entry.entryKey());
    EXPECT_FALSE(
        table.shadow(key)->schanCmds(test_shadows::maskOf({1}), test_shadows::kRev25, entry.entryKey(), false));
    table.delShadow(key);
    std::string got, want;
    std::size_t i = 0;
    for (const Lumlog::Record& r : traces.records()) {
      const bool fixed = i < expected.size() && expected[i++].find(".h:") != std::string::npos;
      got += fmt::format("{}/{} {}::{}{} [{}]\n", r.handle, r.level, r.tag, r.function,
                         fixed ? fmt::format(" {}:{}", r.file, r.line) : "", r.message);
    }
    for (const std::string& line : expected) want += line + "\n";
    EXPECT_EQ(got, want);
  }
};

// Verifies: the reference table's whole life traces exactly these lines, on the four handles one rule selects.
TEST_F(TracesTest, DirectTableWholeLife) {
  using Table = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
  const auto key = [](int a, int e) {
    return fmt::format("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey(arrayIndex={},entryIndex={})", a, e);
  };
  const auto entry = [&](int a, int e) {
    return fmt::format("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Entry(entryKey={},dataByte0=", key(a, e));
  };
  const std::vector<std::string> expected =
      expectedLines("IppaVsiToRoutingProfileMapHwDirect", "IppaVsiToRoutingProfileMapHwDefaultHwImpl",
                    "bcm88490_a0ippaRoutingProfileTable",
                    R"(
{s}/8 Shadow::mountPloom [shadowPath: {path}]
{s}/8 Shadow::mountPloom [shadowPath: {path} entityName bcm88490_a0::{t}::Shadow::EntryStorage hwTableName bcm88490_a0::{t}]
{a}/8 {t}::initShadow [ hwShadowKey: 0-0]
{a}/3 {t}::initShadow [Calling userInitHwTable]
{init}
# VSIs 240, 241 and 242 read-modify-write entry (2, 60), profiles 0, 1, 2.
{a}/8 {t}::getEntry {h}:385 [{op}{k60}]
{s}/8 ::getEntry {sh}:40 [key: {k60}]
{a}/8 {t}::setEntry {h}:364 [{op}{e60}02000000)]
{a}/8 {t}::getEntry {h}:385 [{op}{k60}]
{s}/8 ::getEntry {sh}:40 [key: {k60}]
{a}/8 {t}::setEntry {h}:364 [{op}{e60}22000000)]
{a}/8 {t}::getEntry {h}:385 [{op}{k60}]
{s}/8 ::getEntry {sh}:40 [key: {k60}]
{a}/8 {t}::setEntry {h}:364 [{op}{e60}22020000)]
# 2 arrays of 256 entries.
{a}/3 {t}::addShadow [ fapId: 0 shadowSize 512]
)",
                    "{s}/8 Shadow::unmountPloom [shadowPath: {path}  ]",
                    fmt::arg("path", "ShadowTbl/bcm88490_a0/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/0-0"),
                    fmt::arg("k60", key(2, 60)), fmt::arg("e60", entry(2, 60)), fmt::arg("key", key(3, 7)),
                    fmt::arg("entry", entry(3, 7) + "50000000)"));

  Table::Entry changed{Table::EntryKey(3, 7)};
  changed.routingProfile1Is(5);
  expectWholeLife<Table>("IppaVsiToRoutingProfileMapHw*=0-9", changed, expected);
}

// Verifies: a register table's life: no mount and no unmount, its one default entry written through setEntry.
TEST_F(TracesTest, RegisterTableWholeLife) {
  using Table = bcm88490_a0::IppbTtl0ActionProfileHwReg;
  const std::string key = "bcm88490_a0::IppbTtl0ActionProfileHwReg::EntryKey(value=0)";
  const std::string entry = "bcm88490_a0::IppbTtl0ActionProfileHwReg::Entry(entryKey=" + key + ",dataByte0=";
  const std::vector<std::string> expected = expectedLines(
      "IppbTtl0ActionProfileHwReg", "IppbTtl0ActionProfileHwImpl", "bcm88490_a0ippbTtl0ActionProfile",
      R"(
{a}/8 {t}::initShadow [ hwShadowKey: 0-0]
{a}/3 {t}::initShadow [Calling userInitHwTable]
{init}
# Profiles 0x3607, 0x3987, 0x4080, 0, little-endian.
{a}/8 {t}::setEntry {h}:364 [{op}{entry0}0736873980400000)]
# One register.
{a}/3 {t}::addShadow [ fapId: 0 shadowSize 1]
)",
      "", fmt::arg("key", key), fmt::arg("entry0", entry), fmt::arg("entry", entry + "0000000000003412)"));

  Table::Entry changed{Table::EntryKey(0)};
  changed.ttl0ActionProfile3Is(0x1234);
  expectWholeLife<Table>("IppbTtl0ActionProfileHw*=0-9", changed, expected);
}

}  // namespace
