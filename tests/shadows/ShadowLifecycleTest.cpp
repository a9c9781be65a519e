// Shadows of direct tables: creation, restart over a collection left behind, paths per chip and instance, teardown
// (which a throwing subscriber cannot stop), one mount per path, the checks every table operation makes on its shadow
// key, and the refusals of a shadow whose collection was unmounted from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "IppbFlpInlifProfile0MapHwDirect.h"
#include "ShadowTestSupport.h"
#include "TarSnifActionTableHwDirect.h"
#include "ZevSharedMem/EntityManager.h"
#include "support/ChildProcess.h"

namespace {

using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
using VovuAsicUtils::HwShadowKey;

template <class Table>
std::set<typename Table::EntryKey> keysOf(const Table& table, const HwShadowKey& key) {
  std::set<typename Table::EntryKey> keys;
  using Storage = typename Table::Shadow::Storage;
  for (typename Storage::IteratorConst it(table.shadowConst(key)->entryStorage()->map()); it.valid(); it.advance()) {
    keys.insert(it.value().entryKey());
  }
  return keys;
}

// The entries of a TarSnif shadow's collection as another process reads them from the shared files.
std::size_t entriesAnotherProcessSees(const std::string& path) {
  Ploom::CollectionReport report;
  std::size_t seen = 0;
  EXPECT_TRUE(TarSnif::description().values->collectionInspect(
      path + "/entryColl", [&](const void*) { ++seen; }, report, false));
  return seen;
}

class ShadowLifecycleTest : public test_shadows::ShadowTest {};

// Verifies: the shadow is mounted at a path made of the revision text, the table type and the key, named after the
// revision and its first memory, and a second addShadow for the key leaves shadow and entries as they were.
TEST_F(ShadowLifecycleTest, AddShadowOnceOnly) {
  auto table = make<TarSnif>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);
  auto shadow = table->shadow(key);
  ASSERT_TRUE(shadow);
  EXPECT_EQ(shadow->path(), "ShadowTbl/bcm88490_a0/bcm88490_a0/TarSnifActionTableHwDirect/0-0");
  EXPECT_EQ(shadow->name(), "bcm88490_a0tarSnifActionTable");
  EXPECT_TRUE(std::filesystem::exists(Mem::OrlRootPath(shadow->path() + "/entryColl").path()));

  TarSnif::Entry extra{TarSnif::EntryKey(5)};
  extra.tcIs(3);
  table->setEntry(key, extra);
  const auto before = keysOf(*table, key);
  table->addShadow(key);
  EXPECT_EQ(table->shadow(key), shadow);
  EXPECT_EQ(keysOf(*table, key), before);
  EXPECT_EQ(table->getEntry(key, TarSnif::EntryKey(5)), extra);
}

// Verifies: a shadow created over a collection that an earlier process left with other entries ends up holding exactly
// the default contents.
TEST_F(ShadowLifecycleTest, RestartEndsWithExactlyTheDefaults) {
  const auto child = testing_support::runInChild([&] {
    auto table = make<TarSnif>();
    table->addShadow(HwShadowKey(0, 0));
    for (std::uint32_t k = 20; k < 30; ++k) table->setEntry(HwShadowKey(0, 0), TarSnif::Entry{TarSnif::EntryKey(k)});
    table->deleteEntry(HwShadowKey(0, 0), TarSnif::EntryKey(2));
    std::_Exit(0);  // dies with the collection mounted and full
    return std::string();
  });
  ASSERT_EQ(child.exitCode, 0) << child.output;

  auto table = make<TarSnif>();
  table->addShadow(HwShadowKey(0, 0));
  std::set<TarSnif::EntryKey> expected;
  for (std::uint32_t k : {1, 2, 3, 7, 8, 11, 12, 16, 17, 19}) expected.insert(TarSnif::EntryKey(k));
  EXPECT_EQ(keysOf(*table, HwShadowKey(0, 0)), expected);
}

// Verifies: two chips, or two instances of one chip, get their own paths and collections; a key never added has none.
TEST_F(ShadowLifecycleTest, ShadowsPerChipAndInstance) {
  auto table = make<TarSnif>();
  std::set<std::string> paths;
  for (const HwShadowKey& key : {HwShadowKey(0, 0), HwShadowKey(1, 0), HwShadowKey(0, 1)}) {
    table->addShadow(key);
    paths.insert(table->shadow(key)->path());
  }
  EXPECT_EQ(paths.size(), 3u);
  table->setEntry(HwShadowKey(1, 0), TarSnif::Entry{TarSnif::EntryKey(30)});
  EXPECT_EQ(keysOf(*table, HwShadowKey(1, 0)).size(), 11u);
  EXPECT_EQ(keysOf(*table, HwShadowKey(0, 0)).size(), 10u);
  EXPECT_EQ(keysOf(*table, HwShadowKey(0, 1)).size(), 10u);
  EXPECT_FALSE(table->shadow(HwShadowKey(2, 0)));
  EXPECT_FALSE(table->shadowConst(HwShadowKey(0, 2)));
}

// Verifies: dropping a shadow deletes its entries from the shared collection while it is still mounted, then unmounts
// it; a subscriber that throws whenever it hears of a removal cannot stop that: each failure is reported at level 0 on
// the table's shadow handle and the deletion goes on. The collection is left empty for other processes, and the path
// can be mounted again.
TEST_F(ShadowLifecycleTest, DeletingAShadowEmptiesThenUnmountsWhateverSubscribersDo) {
  auto table = make<TarSnif>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);
  auto shadow = table->shadow(key);
  const std::string path = shadow->path();
  auto manager = ZevSharedMem::EntityManager::getEntityManager("test", false);
  struct Throwing final : Orvel::Subscriber {
    void onAttribute(std::uint32_t, const void*) override {
      mounted.push_back(bool(manager->getEntity(path)));
      throw std::runtime_error("subscriber gone wrong");
    }
    Orvel::Ptr<ZevSharedMem::EntityManager> manager;
    std::string path;
    std::vector<bool> mounted;
  } throwing;
  throwing.manager = manager;
  throwing.path = path;
  auto storage = shadow->entryStorage();
  storage->publisher().subscriberIs(&throwing);
  std::vector<std::string> reports;
  {
    test_shadows::TraceCapture traces("TarSnifActionTableHwDirect.ShadowAccessor=0");
    shadow = nullptr;
    table->delShadow(key);
    reports = traces.messages();
  }
  storage->publisher().subscriberDel(&throwing);

  EXPECT_EQ(throwing.mounted, std::vector<bool>(10, true)) << "told of each of the ten default entries, while mounted";
  EXPECT_EQ(reports, std::vector<std::string>(10,
                                              "deleting the entries of shadow bcm88490_a0tarSnifActionTable: "
                                              "subscriber gone wrong; the deletion goes on"));
  EXPECT_FALSE(manager->getEntity(path));
  EXPECT_FALSE(TarSnif::Shadow::Storage::IteratorConst(storage->map()).valid());
  storage = nullptr;
  EXPECT_EQ(entriesAnotherProcessSees(path), 0u) << "the collection is there and empty";
  table->addShadow(key);
  EXPECT_EQ(keysOf(*table, key).size(), 10u);
}

// Verifies: a second table object for the same key (free factories always create) cannot mount the path the first one
// holds; the first keeps working.
TEST_F(ShadowLifecycleTest, OnePathOneMount) {
  auto first = make<TarSnif>();
  auto second = make<TarSnif>();
  first->addShadow(HwShadowKey(0, 0));
  EXPECT_THROW(second->addShadow(HwShadowKey(0, 0)), Orvel::InvalidInitializeException);
  EXPECT_FALSE(second->shadow(HwShadowKey(0, 0)));
  first->setEntry(HwShadowKey(0, 0), TarSnif::Entry{TarSnif::EntryKey(4)});
  EXPECT_EQ(keysOf(*first, HwShadowKey(0, 0)).size(), 11u);
}

// Verifies: each table operation on a key the table does not hold raises the graceful assertion naming the accessor
// file and the operation's fixed line; setEntry and deleteEntry have counted the entry by then.
TEST_F(ShadowLifecycleTest, UnknownShadowKeyIsAGracefulAssertion) {
  auto table = make<Reference>();
  const HwShadowKey unknown(5, 0);
  const Reference::EntryKey entryKey(2, 1);
  const std::string suffix =
      " (hwShadowCollHas( hwShadowKey )) - hwShadowKey 5-0 does not exist in the shadow collection";
  const auto message = [](const auto& operation) {
    return test_shadows::errorOf<Asic::GracefulAssertException>(operation);
  };
  const std::string at = "AssertionError at VovuAsicUtils/HwTableAccessor.h:";
  EXPECT_EQ(message([&] { table->setEntry(unknown, Reference::Entry{entryKey}); }), at + "369" + suffix);
  EXPECT_EQ(message([&] { table->getEntry(unknown, entryKey); }), at + "389" + suffix);
  EXPECT_EQ(message([&] { table->deleteEntry(unknown, entryKey); }), at + "413" + suffix);
  EXPECT_EQ(message([&] { table->schanCmds(unknown, entryKey); }), at + "434" + suffix);
  EXPECT_EQ(table->hwTableStats().entryAddCnt(), 1u);
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), 1u);

  // A shadow of another table under the key fails the pointer check.
  auto other = make<bcm88490_a0::IppbFlpInlifProfile0MapHwDirect>();
  other->addShadow(HwShadowKey(0, 0));
  table->hwShadowCollIs(other->shadow(HwShadowKey(0, 0)));
  const std::string noShadow = " (shadow) - No shadow in hwShadowColl for 0-0";
  EXPECT_EQ(message([&] { table->setEntry(HwShadowKey(0, 0), Reference::Entry{entryKey}); }), at + "376" + noShadow);
  EXPECT_EQ(message([&] { table->schanCmds(HwShadowKey(0, 0), entryKey); }), at + "441" + noShadow);
  table->delShadow(HwShadowKey(0, 0));
}

// Verifies: a shadow whose collection was unmounted from outside refuses every operation, table and shadow ones alike,
// with the graceful assertion naming the shadow and its path, and counts nothing: it never answers with default data
// that the host would write over the hardware.
TEST_F(ShadowLifecycleTest, UnmountedFromOutsideRefusesEverything) {
  auto table = make<Reference>();
  const HwShadowKey key(0, 0);
  table->addShadow(key);
  auto shadow = table->shadow(key);
  auto storage = shadow->entryStorage();
  ZevSharedMem::EntityManager::getEntityManager("test", false)->doUnmount(shadow->path());

  const auto adds = table->hwTableStats().entryAddCnt();
  const auto deletes = table->hwTableStats().entryDelCnt();
  const auto stored = storage->entryCollIsCount();
  const auto removed = storage->entryCollDelCount();
  const Reference::EntryKey entryKey(2, 60);
  const std::string refusal =
      " - The collection of shadow bcm88490_a0ippaRoutingProfileTable is not mounted at "
      "ShadowTbl/bcm88490_a0/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/0-0";
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"setEntry", [&] { table->setEntry(key, Reference::Entry{entryKey}); }},
      {"getEntry", [&] { table->getEntry(key, entryKey); }},
      {"deleteEntry", [&] { table->deleteEntry(key, entryKey); }},
      {"schanCmds", [&] { table->schanCmds(key, entryKey); }},
      {"shadow schanCmds", [&] { shadow->schanCmds(table->getFapmask(key), test_shadows::kRev25, entryKey, false); }},
      {"shadow schanCmds of a delete",
       [&] { shadow->schanCmds(table->getFapmask(key), test_shadows::kRev25, entryKey, true); }},
      {"shadow getEntry", [&] { shadow->getEntry(entryKey); }},
  };
  for (const auto& [name, operation] : operations) {
    const std::string text = test_shadows::errorOf<Asic::GracefulAssertException>(operation);
    EXPECT_EQ(text.rfind("AssertionError at VovuAsicUtils/ShadowAccessor.h:", 0), 0u) << name << ": " << text;
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), refusal.size())), refusal) << name << ": " << text;
  }
  EXPECT_EQ(table->hwTableStats().entryAddCnt(), adds);
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), deletes);
  EXPECT_EQ(storage->entryCollIsCount(), stored);
  EXPECT_EQ(storage->entryCollDelCount(), removed);
  shadow = nullptr;
  table->delShadow(key);  // nothing left to unmount: the deletion just ends
}

}  // namespace
