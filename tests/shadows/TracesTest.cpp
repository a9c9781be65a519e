// The traces of a table's whole life, as an operator reads them: every line's
// handle, level, tag, function and message, and the source line where it is a
// fixed one. The expected lines are written out here, not taken from a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbTtl0ActionProfileHwReg.h"
#include "Lumlog/Sink.h"
#include "ShadowTestSupport.h"

namespace {

// One expected trace line; `line` 0 where the source line is not a fixed one.
struct Line {
  std::string handle;
  int level;
  std::string tag;
  std::string function;
  std::string file;
  int line;
  std::string message;
};

std::string render(const std::string& handle, int level, const std::string& tag, const std::string& function,
                   const std::string& at, const std::string& message) {
  return fmt::format("{}/{} {}::{}{} [{}]", handle, level, tag, function, at, message);
}

// The handles of one table and the texts its lines share.
struct TableTexts {
  std::string table;     // tableName()
  std::string defaults;  // the default-contents handle
  std::string shadowName;
  std::string shadowKey;  // HwShadowKey text

  std::string tableAccessor() const { return table + ".HwTableAccessor"; }
  std::string shadowAccessor() const { return table + ".ShadowAccessor"; }

  // The entry trace of a table operation at its fixed line.
  Line operation(const std::string& function, int line, const std::string& what) const {
    return {tableAccessor(), 8, table, function, "VovuAsicUtils/HwTableAccessor.h", line,
            fmt::format(" shadowName : {} hwShadowKey {} entry : {}", shadowName, shadowKey, what)};
  }
  Line accessor(const std::string& function, int line, const std::string& message) const {
    return {shadowAccessor(), 8, "", function, "VovuAsicUtils/ShadowAccessor.h", line, message};
  }
  Line lifecycle(const std::string& function, const std::string& message) const {
    return {shadowAccessor(), 8, "Shadow", function, "", 0, message};
  }
  Line tableLine(const std::string& function, int level, const std::string& message) const {
    return {tableAccessor(), level, table, function, "", 0, message};
  }
  // The table's creation, then addShadow up to the shadow's construction.
  std::vector<Line> creationAndNewShadow() const {
    return {
        {table, 8, table, "handleInitialized", "", 0, ""},
        tableLine("addShadow", 8, fmt::format(" fapId: 0 fapRevision: bcm88490_a0 tableName: {}", table)),
        lifecycle("handleInitialized", fmt::format("tableName: {} ", shadowName)),
    };
  }
  std::string userInit() const {
    return fmt::format("void bcm88490_a0::{}::userInitHwTable(const VovuAsicUtils::HwShadowKey&) hwShadowKey: {}", table,
                       shadowKey);
  }

  // What set, get, delete, schanCmds of one key and a write for a chip the
  // shadow does not cover trace, in that order.
  std::vector<Line> operations(const std::string& entry, const std::string& key, const std::string& mask) const {
    return {
        operation("setEntry", 364, entry),
        operation("getEntry", 385, key),
        accessor("getEntry", 40, "key: " + key),
        operation("deleteEntry", 406, key),
        accessor("deleteEntry", 77, fmt::format(" shadowKey: {} entryKey: {}", shadowKey, key)),
        operation("schanCmds", 430, key),
        accessor("schanCmds", 102, "key: " + key),
        accessor("schanCmds", 102, "key: " + key),
        accessor("schanCmds", 107, fmt::format(" hwShadowKey: {} not applicable for downloadFapmask: {}", shadowKey, mask)),
    };
  }
};

class TracesTest : public test_shadows::ShadowTest {
 protected:
  // Compares the captured lines with `expected`, each shown with its fixed
  // source line where the expected line at the same place has one.
  static void expectLines(const std::vector<Lumlog::Record>& records, const std::vector<Line>& expected) {
    std::vector<std::string> want;
    for (const Line& l : expected) {
      want.push_back(render(l.handle, l.level, l.tag, l.function, l.line ? fmt::format(" {}:{}", l.file, l.line) : "",
                            l.message));
    }
    std::vector<std::string> got;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const Lumlog::Record& r = records[i];
      const bool fixed = i < expected.size() && expected[i].line != 0;
      got.push_back(render(r.handle, r.level, r.tag, r.function, fixed ? fmt::format(" {}:{}", r.file, r.line) : "",
                           r.message));
    }
    EXPECT_EQ(got, want);
  }

  // The lines that `rule` selects in the life the two tests trace: the
  // table's creation, addShadow, set, get, delete and schanCmds of `entry`'s
  // key, a write for chip 1 only, then the shadow's deletion.
  template <class Table>
  std::vector<Lumlog::Record> wholeLife(const std::string& rule, const typename Table::Entry& entry) {
    const VovuAsicUtils::HwShadowKey key(0, 0);
    test_shadows::TraceCapture traces(rule);
    Table& table = *make<Table>();
    table.addShadow(key);
    table.setEntry(key, entry);
    table.getEntry(key, entry.entryKey());
    table.deleteEntry(key, entry.entryKey());
    table.schanCmds(key, entry.entryKey());
    EXPECT_FALSE(table.shadow(key)->schanCmds(test_shadows::maskOf({1}), test_shadows::kRev25, entry.entryKey(), false));
    table.delShadow(key);
    return traces.records();
  }
};

// Verifies: the reference table's life, from its creation through addShadow
// with its default contents, the four operations and a write for a chip it
// does not cover, to the shadow's deletion, traces exactly the lines below
// at all levels, on the table's four handles that one rule selects.
TEST_F(TracesTest, DirectTableWholeLife) {
  using Table = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
  const TableTexts t{"IppaVsiToRoutingProfileMapHwDirect", "IppaVsiToRoutingProfileMapHwDefaultHwImpl",
                     "bcm88490_a0ippaRoutingProfileTable", "0-0"};
  const auto key = [](int a, int e) {
    return fmt::format("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey(arrayIndex={},entryIndex={})", a, e);
  };
  const auto entry = [&](int a, int e, const char* data) {
    return fmt::format("bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Entry(entryKey={},dataByte0={})", key(a, e),
                       data);
  };
  const std::string path = "ShadowTbl/bcm88490_a0/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/0-0";

  Table::Entry changed{Table::EntryKey(3, 7)};
  changed.routingProfile1Is(5);
  const auto records = wholeLife<Table>("IppaVsiToRoutingProfileMapHw*=0-9", changed);

  std::vector<Line> expected = t.creationAndNewShadow();
  expected.insert(expected.end(), {
      t.lifecycle("mountPloom", "shadowPath: " + path),
      t.lifecycle("mountPloom", "shadowPath: " + path +
                                    " entityName bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Shadow::EntryStorage"
                                    " hwTableName bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect"),
      t.tableLine("initShadow", 8, " hwShadowKey: 0-0"),
      t.tableLine("initShadow", 3, "Calling userInitHwTable"),
      {t.defaults, 2, t.table, "userInitHwTable", "", 0, t.userInit()},
      // VSIs 240, 241 and 242 read-modify-write entry (2, 60), profiles 0, 1, 2.
      t.operation("getEntry", 385, key(2, 60)),
      t.accessor("getEntry", 40, "key: " + key(2, 60)),
      t.operation("setEntry", 364, entry(2, 60, "02000000")),
      t.operation("getEntry", 385, key(2, 60)),
      t.accessor("getEntry", 40, "key: " + key(2, 60)),
      t.operation("setEntry", 364, entry(2, 60, "22000000")),
      t.operation("getEntry", 385, key(2, 60)),
      t.accessor("getEntry", 40, "key: " + key(2, 60)),
      t.operation("setEntry", 364, entry(2, 60, "22020000")),
      // 2 arrays of 256 entries.
      t.tableLine("addShadow", 3, " fapId: 0 shadowSize 512"),
  });
  const std::vector<Line> operations = t.operations(entry(3, 7, "50000000"), key(3, 7), "{1}");
  expected.insert(expected.end(), operations.begin(), operations.end());
  expected.push_back(t.lifecycle("onDelete", ""));
  expected.push_back(t.lifecycle("unmountPloom", "shadowPath: " + path + "  "));
  expectLines(records, expected);
}

// Verifies: the same life of a register table: no mount and no unmount, its
// one default entry written through setEntry, and the accessor's lines on
// the table's own accessor handle.
TEST_F(TracesTest, RegisterTableWholeLife) {
  using Table = bcm88490_a0::IppbTtl0ActionProfileHwReg;
  const TableTexts t{"IppbTtl0ActionProfileHwReg", "IppbTtl0ActionProfileHwImpl", "bcm88490_a0ippbTtl0ActionProfile",
                     "0-0"};
  const std::string key = "bcm88490_a0::IppbTtl0ActionProfileHwReg::EntryKey(value=0)";
  const auto entry = [&](const char* data) {
    return fmt::format("bcm88490_a0::IppbTtl0ActionProfileHwReg::Entry(entryKey={},dataByte0={})", key, data);
  };

  Table::Entry changed{Table::EntryKey(0)};
  changed.ttl0ActionProfile3Is(0x1234);
  const auto records = wholeLife<Table>("IppbTtl0ActionProfileHw*=0-9", changed);

  std::vector<Line> expected = t.creationAndNewShadow();
  expected.insert(expected.end(), {
      t.tableLine("initShadow", 8, " hwShadowKey: 0-0"),
      t.tableLine("initShadow", 3, "Calling userInitHwTable"),
      {t.defaults, 2, t.table, "userInitHwTable", "", 0, t.userInit()},
      // Profiles 0x3607, 0x3987, 0x4080, 0, little-endian.
      t.operation("setEntry", 364, entry("0736873980400000")),
      // One register.
      t.tableLine("addShadow", 3, " fapId: 0 shadowSize 1"),
  });
  const std::vector<Line> operations = t.operations(entry("0000000000003412"), key, "{1}");
  expected.insert(expected.end(), operations.begin(), operations.end());
  expected.push_back(t.lifecycle("onDelete", ""));
  expectLines(records, expected);
}

}  // namespace
