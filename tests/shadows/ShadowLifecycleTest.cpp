// Shadows of direct tables: creation, restart, paths per chip and instance, teardown, and the checks on shadow keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

using namespace test_shadows;
using Reference = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using TarSnif = bcm88490_a0::TarSnifActionTableHwDirect;
using VovuAsicUtils::HwShadowKey;

const HwShadowKey kChip0(0, 0);

class ShadowLifecycleTest : public ShadowTest {};

// Verifies: one shadow per chip and instance, each at its own path, added once, and mounted by one table only; one
// created over a collection an earlier process left with other entries holds exactly the defaults.
TEST_F(ShadowLifecycleTest, OneShadowPerKeyAndPath) {
  const auto child = testing_support::runInChild([&] {
    auto table = make<TarSnif>();
    table->addShadow(kChip0);
    for (std::uint32_t k = 20; k < 30; ++k) table->setEntry(kChip0, TarSnif::Entry{TarSnif::EntryKey(k)});
    table->deleteEntry(kChip0, TarSnif::EntryKey(2));
    std::_Exit(0);  // dies with the collection mounted and full
    return std::string();
  });
  ASSERT_EQ(child.exitCode, 0) << child.output;
  auto table = make<TarSnif>();
  for (const HwShadowKey& key : {kChip0, HwShadowKey(1, 0), HwShadowKey(0, 1)}) table->addShadow(key);
  EXPECT_EQ(keysHeld(*table, kChip0), kTarSnifDefaults) << "over the collection left behind";
  auto shadow = table->shadow(kChip0);
  ASSERT_TRUE(shadow);
  const std::string path = "ShadowTbl/bcm88490_a0/bcm88490_a0/TarSnifActionTableHwDirect/";
  EXPECT_EQ(shadow->path(), path + "0-0");
  EXPECT_EQ(table->shadow(HwShadowKey(1, 0))->path(), path + "1-0");
  EXPECT_EQ(table->shadow(HwShadowKey(0, 1))->path(), path + "0-1");
  EXPECT_EQ(shadow->name(), "bcm88490_a0tarSnifActionTable");

  TarSnif::Entry extra{TarSnif::EntryKey(5)};
  extra.tcIs(3);
  table->setEntry(kChip0, extra);
  table->addShadow(kChip0);
  EXPECT_EQ(table->shadow(kChip0), shadow);
  EXPECT_EQ(table->getEntry(kChip0, TarSnif::EntryKey(5)), extra);
  EXPECT_EQ(keysHeld(*table, kChip0).size(), 11u);
  EXPECT_EQ(keysHeld(*table, HwShadowKey(1, 0)), kTarSnifDefaults);
  EXPECT_EQ(keysHeld(*table, HwShadowKey(0, 1)), kTarSnifDefaults);
  EXPECT_FALSE(table->shadow(HwShadowKey(2, 0)));
  EXPECT_FALSE(table->shadowConst(HwShadowKey(0, 2)));

  auto second = make<TarSnif>();
  EXPECT_THROW(second->addShadow(kChip0), Orvel::InvalidInitializeException);
  EXPECT_FALSE(second->shadow(kChip0));
  table->setEntry(kChip0, TarSnif::Entry{TarSnif::EntryKey(4)});
  EXPECT_EQ(keysHeld(*table, kChip0).size(), 12u);
}

// Verifies: dropping a shadow empties its collection, then unmounts it, whatever its subscribers throw.
TEST_F(ShadowLifecycleTest, DeletingAShadowEmptiesThenUnmountsWhateverSubscribersDo) {
  auto table = make<TarSnif>();
  table->addShadow(kChip0);
  auto shadow = table->shadow(kChip0);
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
    TraceCapture traces("TarSnifActionTableHwDirect.ShadowAccessor=0");
    shadow = nullptr;
    table->delShadow(kChip0);
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
  // What another process reads from the shared files: the collection is there, and empty.
  Ploom::CollectionReport report;
  std::size_t seen = 0;
  EXPECT_TRUE(TarSnif::description().values->collectionInspect(
      path + "/entryColl", [&](const void*) { ++seen; }, report, false));
  EXPECT_EQ(seen, 0u);
  table->addShadow(kChip0);
  EXPECT_EQ(keysHeld(*table, kChip0), kTarSnifDefaults);
}

// Verifies: each table operation on a key without a shadow raises the graceful assertion at its own line.
TEST_F(ShadowLifecycleTest, UnknownShadowKeyIsAGracefulAssertion) {
  auto table = make<Reference>();
  const HwShadowKey unknown(5, 0);
  const Reference::EntryKey entryKey(2, 1);
  const std::string suffix =
      " (hwShadowCollHas( hwShadowKey )) - hwShadowKey 5-0 does not exist in the shadow collection";
  const auto message = [](const auto& operation) { return errorOf<Asic::GracefulAssertException>(operation); };
  const std::string at = "AssertionError at VovuAsicUtils/HwTableAccessor.h:";
  EXPECT_EQ(message([&] { table->setEntry(unknown, Reference::Entry{entryKey}); }), at + "369" + suffix);
  EXPECT_EQ(message([&] { table->getEntry(unknown, entryKey); }), at + "389" + suffix);
  EXPECT_EQ(message([&] { table->deleteEntry(unknown, entryKey); }), at + "413" + suffix);
  EXPECT_EQ(message([&] { table->schanCmds(unknown, entryKey); }), at + "434" + suffix);
  EXPECT_EQ(table->hwTableStats().entryAddCnt(), 1u);  // setEntry and deleteEntry count before the check
  EXPECT_EQ(table->hwTableStats().entryDelCnt(), 1u);

  // A shadow of another table under the key fails the pointer check.
  auto other = make<bcm88490_a0::IppbFlpInlifProfile0MapHwDirect>();
  other->addShadow(kChip0);
  table->hwShadowCollIs(other->shadow(kChip0));
  const std::string noShadow = " (shadow) - No shadow in hwShadowColl for 0-0";
  EXPECT_EQ(message([&] { table->setEntry(kChip0, Reference::Entry{entryKey}); }), at + "376" + noShadow);
  EXPECT_EQ(message([&] { table->schanCmds(kChip0, entryKey); }), at + "441" + noShadow);
  table->delShadow(kChip0);
}

// Verifies: a shadow unmounted from outside refuses every operation and counts nothing: it never answers with default
// data that the host would write over the hardware.
TEST_F(ShadowLifecycleTest, UnmountedFromOutsideRefusesEverything) {
  auto table = make<Reference>();
  table->addShadow(kChip0);
  auto shadow = table->shadow(kChip0);
  auto storage = shadow->entryStorage();
  ZevSharedMem::EntityManager::getEntityManager("test", false)->doUnmount(shadow->path());

  // {table adds, table deletes, storage stores, storage removals}
  const auto counts = [&] {
    return std::vector<std::uint64_t>{table->hwTableStats().entryAddCnt(), table->hwTableStats().entryDelCnt(),
                                      storage->entryCollIsCount(), storage->entryCollDelCount()};
  };
  const auto before = counts();
  const Reference::EntryKey entryKey(2, 60);
  const std::string refusal =
      " - The collection of shadow bcm88490_a0ippaRoutingProfileTable is not mounted at "
      "ShadowTbl/bcm88490_a0/bcm88490_a0/IppaVsiToRoutingProfileMapHwDirect/0-0";
  const auto mask = table->getFapmask(kChip0);
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"setEntry", [&] { table->setEntry(kChip0, Reference::Entry{entryKey}); }},
      {"getEntry", [&] { table->getEntry(kChip0, entryKey); }},
      {"deleteEntry", [&] { table->deleteEntry(kChip0, entryKey); }},
      {"schanCmds", [&] { table->schanCmds(kChip0, entryKey); }},
      {"shadow schanCmds", [&] { shadow->schanCmds(mask, kRev25, entryKey, false); }},
      {"shadow schanCmds of a delete", [&] { shadow->schanCmds(mask, kRev25, entryKey, true); }},
      {"shadow getEntry", [&] { shadow->getEntry(entryKey); }},
  };
  for (const auto& [name, operation] : operations) {
    const std::string text = errorOf<Asic::GracefulAssertException>(operation);
    EXPECT_EQ(text.rfind("AssertionError at VovuAsicUtils/ShadowAccessor.h:", 0), 0u) << name << ": " << text;
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), refusal.size())), refusal) << name << ": " << text;
  }
  EXPECT_EQ(counts(), before);
  shadow = nullptr;
  table->delShadow(kChip0);  // nothing left to unmount: the deletion just ends
}

}  // namespace
