// The host's write path, per table, through the typed table classes:
//   setEntry/<Table>    one entry written into a shadow (the shadow's
//                       collection for memory tables, the table manager's
//                       register storage for register tables); the entry's
//                       data alternates, so every call changes the value;
//   schanCmds/<Table>   the S-channel batch for that entry's key;
//   addShadow/<Table>   one shadow added to a fresh table (mount, empty the
//                       collection, write the default contents);
//   addShadow/all       one shadow added to each table of the catalogue on
//                       one chip, the tables made anew every iteration.
// The key is the middle of the table's key range; each label names the key
// and the entry size. The addShadow benchmarks time the addShadow calls only
// (manual time): making the tables and tearing them down is left out.
//
// The collections live in a private temporary base directory, removed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "CatalogueTables.h"
#include "Hardware/Vovu/FapRevision.h"
#include "Mem/OrlRootPath.h"
#include "VovuAsicUtils/TableManager.h"

namespace {

using namespace bcm88490_a0;
using VovuAsicUtils::HwShadowKey;

const Hardware::Vovu::FapRevision kRevision = Hardware::Vovu::FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
constexpr HwShadowKey kShadowKey(0, 0);

template <class Table>
Orvel::Ptr<Table> makeTable(const Orvel::Ptr<VovuAsicUtils::TableManager>& manager) {
  return Orvel::Ptr<Table>(
      new Table(Table::tableName(), VovuAsicUtils::HwTableKey(Table::tableName(), kRevision), manager));
}

// The key in the middle of the table's range.
template <class Table>
typename Table::EntryKey middleKey() {
  using Key = typename Table::EntryKey;
  if constexpr (Key::kIndexed) {
    return Key(static_cast<unsigned char>((Key::arrayIndexMin + Key::arrayIndexMax) / 2),
               (Key::entryIndexMin + Key::entryIndexMax) / 2);
  } else {
    return Key((Key::min + Key::max) / 2);
  }
}

// "key A,E" or "key V", and the entry size.
template <class Table>
std::string label() {
  const auto key = middleKey<Table>();
  if constexpr (Table::EntryKey::kIndexed) {
    return fmt::format("key {},{}, {} bytes", key.arrayIndex(), key.entryIndex(), Table::Entry::entrySize);
  } else {
    return fmt::format("key {}, {} bytes", key.value(), Table::Entry::entrySize);
  }
}

// A table with one shadow, for the per-entry benchmarks.
template <class Table>
struct OneShadow {
  Orvel::Ptr<VovuAsicUtils::TableManager> manager{new VovuAsicUtils::TableManager()};
  Orvel::Ptr<Table> table = makeTable<Table>(manager);
  OneShadow() { table->addShadow(kShadowKey); }
  ~OneShadow() {
    table->delShadow(kShadowKey);
    table = nullptr;
    manager = nullptr;
  }
};

template <class Table>
void setEntry(benchmark::State& state) {
  OneShadow<Table> fixture;
  typename Table::Entry entries[2] = {typename Table::Entry(middleKey<Table>()),
                                      typename Table::Entry(middleKey<Table>())};
  entries[1].data()[0] = 1;  // data alone differs
  std::size_t i = 0;
  for (auto _ : state) {
    fixture.table->setEntry(kShadowKey, entries[i++ & 1]);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(label<Table>());
}

template <class Table>
void schanCmds(benchmark::State& state) {
  OneShadow<Table> fixture;
  const typename Table::EntryKey key = middleKey<Table>();
  fixture.table->setEntry(kShadowKey, typename Table::Entry(key));
  for (auto _ : state) {
    Orvel::Ptr<SchanAccel::SchanCmds> cmds = fixture.table->schanCmds(kShadowKey, key);
    benchmark::DoNotOptimize(cmds);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(label<Table>());
}

template <class Table>
void addShadow(benchmark::State& state) {
  for (auto _ : state) {
    Orvel::Ptr<VovuAsicUtils::TableManager> manager(new VovuAsicUtils::TableManager());
    Orvel::Ptr<Table> table = makeTable<Table>(manager);
    const auto start = std::chrono::steady_clock::now();
    table->addShadow(kShadowKey);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    table->delShadow(kShadowKey);
  }
  state.SetLabel("defaults included");
}

// Every table of the catalogue, each with a shadow on chip 0: the part of bringing up
// a chip that creates the shadows.
void addShadowAll(benchmark::State& state) {
  for (auto _ : state) {
    Orvel::Ptr<VovuAsicUtils::TableManager> manager(new VovuAsicUtils::TableManager());
    std::vector<Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>> tables;
#define VOVU_MAKE_TABLE(Table) tables.push_back(makeTable<Table>(manager));
    VOVU_FOR_EACH_TABLE(VOVU_MAKE_TABLE)
#undef VOVU_MAKE_TABLE
    const auto start = std::chrono::steady_clock::now();
    for (const auto& table : tables) table->addShadow(kShadowKey);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (const auto& table : tables) table->delShadow(kShadowKey);
  }
  state.SetLabel(fmt::format("{} tables, defaults included", bcm88490_a0::catalogue::tables().size()));
}

void registerBenchmarks() {
#define VOVU_REGISTER(Table)                                            \
  benchmark::RegisterBenchmark("setEntry/" #Table, &setEntry<Table>);   \
  benchmark::RegisterBenchmark("schanCmds/" #Table, &schanCmds<Table>); \
  benchmark::RegisterBenchmark("addShadow/" #Table, &addShadow<Table>)->UseManualTime()->Unit(benchmark::kMicrosecond);
  VOVU_FOR_EACH_TABLE(VOVU_REGISTER)
#undef VOVU_REGISTER
  benchmark::RegisterBenchmark("addShadow/all", &addShadowAll)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// A private base directory for the collections, removed when the run ends.
class TempBaseDir {
 public:
  TempBaseDir() {
    std::filesystem::path parent = "/dev/shm";
    if (::access(parent.c_str(), W_OK) != 0) parent = std::filesystem::temp_directory_path();
    std::string name = (parent / "vovu-bench-writepath-XXXXXX").string();
    if (!::mkdtemp(name.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    path_ = name;
    Mem::baseDirIs(path_.string());
  }
  ~TempBaseDir() {
    Mem::baseDirIs("");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path path_;
};

}  // namespace

int main(int argc, char** argv) {
  TempBaseDir base;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerBenchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
