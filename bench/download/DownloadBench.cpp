// Downloading the direct tables of one chip (default contents
// loaded), next to the floor a download cannot beat, and the simulator
// executing the batches:
//   download/dma          every shadow downloaded with DMA bulk batches (4 KiB buffers)
//   download/no_dma       the same, every entry by a single write
//   lookup_floor          every key of the same shadows looked up once in its
//                         collection, in walk order, and nothing else
//   simulator/bulk        the DMA download's batches executed by the chip simulator
//   simulator/single      the no-DMA download's batches executed by the chip simulator
//   decode/4_bytes        processReadDmaComplete of a bulk read of 256 non-zero
//   decode/32_bytes       entries of 4 bytes (16 entries of 32 bytes), per entry
//   download/all_tables   every table of another chip downloaded and
//                         executed by the simulator
//   audit/all_tables      the same shadows audited: read commands, the
//                         simulator, decoding, comparison with the shadows
// Times are per entry walked (items_per_second counts entries); the
// "commands" counter is the commands of one download of all direct tables.
//
// The collections live in a private temporary base directory, removed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CatalogueTables.h"
#include "Hardware/Vovu/FapRevision.h"
#include "Mem/OrlRootPath.h"
#include "VovuAsicUtils/ShadowAudit.h"
#include "VovuAsicUtils/TableManager.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"

namespace {

using namespace bcm88490_a0;
using VovuAsicUtils::HwShadowKey;

const Hardware::Vovu::FapRevision kRevision = Hardware::Vovu::FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
constexpr HwShadowKey kShadowKey(0, 0);

// The collections of the run, in a directory of their own.
struct BaseDirectory {
  BaseDirectory() {
    std::string name = (std::filesystem::temp_directory_path() / "vovu-bench-download-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) std::abort();
    path = name;
    Mem::baseDirIs(path);
  }
  ~BaseDirectory() { std::filesystem::remove_all(path); }
  std::string path;
};

// One direct table with a shadow on chip 0, as the benchmarks need it.
struct DirectShadow {
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table;
  Orvel::Ptr<VovuAsicUtils::HwShadowBase> shadow;
  std::size_t (*lookupAll)(const VovuAsicUtils::HwShadowBase& shadow);
};

// Looks every key of the first memory's range up once, in walk order, the way
// the full walk meets them; returns how many were found.
template <class Table>
std::size_t lookupAll(const VovuAsicUtils::HwShadowBase& base) {
  using EntryKey = typename Table::EntryKey;
  const auto& shadow = static_cast<const typename Table::Shadow&>(base);
  const auto& writer = shadow.entryStorage()->map().writer();
  const auto memory = shadow.tableDescriptor()->firstMemInfo();
  std::size_t found = 0;
  for (unsigned a = memory->firstArrayIndex(); a < unsigned{memory->firstArrayIndex()} + memory->arrayCount(); ++a) {
    for (std::uint64_t e = memory->firstEntryIndex();
         e < std::uint64_t{memory->firstEntryIndex()} + memory->entryCount(); ++e) {
      EntryKey key;
      if constexpr (EntryKey::kIndexed) {
        key = EntryKey::checked(a, e);
      } else {
        key = EntryKey::checked(e);
      }
      bool present = false;
      benchmark::DoNotOptimize(writer.lookup(key, present, nullptr));
      found += present;
    }
  }
  return found;
}

template <class Table>
DirectShadow makeShadow(const Orvel::Ptr<VovuAsicUtils::TableManager>& manager) {
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> table(
      new Table(Table::tableName(), VovuAsicUtils::HwTableKey(Table::tableName(), kRevision), manager));
  table->addShadow(kShadowKey);
  return DirectShadow{table, table->hwShadowColl(kShadowKey), &lookupAll<Table>};
}

template <class Table>
void addIfDirect(std::vector<DirectShadow>& shadows, const Orvel::Ptr<VovuAsicUtils::TableManager>& manager) {
  if constexpr (!Table::kRegisterTable) shadows.push_back(makeShadow<Table>(manager));
}

// The direct tables of the catalogue on chip 0, defaults loaded.
struct Chip0 {
  Chip0() {
#define VOVU_ADD_IF_DIRECT(Table) addIfDirect<Table>(shadows, manager);
    VOVU_FOR_EACH_TABLE(VOVU_ADD_IF_DIRECT)
#undef VOVU_ADD_IF_DIRECT
    mask.fapIdIs(0);
    for (const DirectShadow& s : shadows) {
      const auto memory = s.shadow->tableDescriptor()->firstMemInfo();
      keysWalked += std::uint64_t{memory->arrayCount()} * memory->entryCount();
    }
  }
  ~Chip0() {
    shadows.clear();
    manager = nullptr;
  }

  std::vector<Orvel::Ptr<SchanAccel::SchanCmds>> downloadAll() const {
    std::vector<Orvel::Ptr<SchanAccel::SchanCmds>> batches;
    for (const DirectShadow& s : shadows) batches.push_back(s.shadow->download("bcm88490_a0", kRevision, mask));
    return batches;
  }

  BaseDirectory directory;
  Orvel::Ptr<VovuAsicUtils::TableManager> manager{new VovuAsicUtils::TableManager("bench")};
  std::vector<DirectShadow> shadows;
  SchanAccel::Fapmask mask;
  std::uint64_t keysWalked = 0;  // keys the full walks cover (the trap table's partial walk counted whole)
};

Chip0& chip0() {
  static Chip0 chip;
  return chip;
}

std::size_t commandsOf(const std::vector<Orvel::Ptr<SchanAccel::SchanCmds>>& batches) {
  std::size_t commands = 0;
  for (const auto& b : batches) commands += b ? b->size() : 0;
  return commands;
}

void downloadBench(benchmark::State& state, bool dma) {
  Chip0& chip = chip0();
  chip.manager->dmaMemPoolManager()->dmaMemoryIs(dma);
  std::size_t commands = 0;
  for (auto _ : state) {
    const auto batches = chip.downloadAll();
    commands = commandsOf(batches);
    benchmark::DoNotOptimize(commands);
  }
  chip.manager->dmaMemPoolManager()->dmaMemoryIs(true);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * chip.keysWalked));
  state.counters["commands"] = static_cast<double>(commands);
  state.counters["ns_per_entry"] = benchmark::Counter(static_cast<double>(state.iterations() * chip.keysWalked),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DownloadDma(benchmark::State& state) { downloadBench(state, true); }
void BM_DownloadNoDma(benchmark::State& state) { downloadBench(state, false); }

void BM_LookupFloor(benchmark::State& state) {
  Chip0& chip = chip0();
  for (auto _ : state) {
    std::size_t found = 0;
    for (const DirectShadow& s : chip.shadows) found += s.lookupAll(*s.shadow);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * chip.keysWalked));
  state.counters["ns_per_entry"] = benchmark::Counter(static_cast<double>(state.iterations() * chip.keysWalked),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void simulatorBench(benchmark::State& state, bool dma) {
  Chip0& chip = chip0();
  chip.manager->dmaMemPoolManager()->dmaMemoryIs(dma);
  const auto batches = chip.downloadAll();
  chip.manager->dmaMemPoolManager()->dmaMemoryIs(true);
  const std::uint8_t chips[] = {0};
  sim::ChipSimulator simulator(sim::memoryMapOf(catalogue::tables()), chips);
  for (auto _ : state) {
    for (const auto& batch : batches) simulator.execute(batch);
  }
  const std::uint64_t entries = simulator.chip(0)->counters().entriesWritten / state.iterations();
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * entries));
  state.counters["commands"] = static_cast<double>(commandsOf(batches));
  state.counters["entries"] = static_cast<double>(entries);
}

void BM_SimulatorBulk(benchmark::State& state) { simulatorBench(state, true); }
void BM_SimulatorSingle(benchmark::State& state) { simulatorBench(state, false); }

// Decoding one completed bulk read of a whole array index, every element non-zero.
template <class Table, class Reader>
void decodeBench(benchmark::State& state) {
  using Entry = typename Table::Entry;
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager(new VovuAsicUtils::ReadTableManager);
  const auto memory = Table::tableDescriptorFactory()->firstMemInfo();
  const std::uint32_t count = memory->entryCount();
  auto buffer = readManager->dmaMemPoolManager()->buffer(count * Entry::entrySize);
  for (std::uint32_t i = 0; i < count * Entry::entrySize; ++i) buffer->va()[i] = static_cast<std::uint8_t>(i | 1);
  const Orvel::Ptr<const VovuAsicUtils::HwReadBulkCmdInfo> info(new VovuAsicUtils::HwReadBulkCmdInfo(
      0, 0, kRevision, buffer, memory->firstArrayIndex(), memory->firstEntryIndex(), count));
  const Orvel::Ptr<VovuAsicUtils::HwTableReadResultContainer> container(new VovuAsicUtils::HwTableReadResultContainer);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        VovuAsicUtils::processReadDmaComplete<typename Reader::HwInstanceReadResult, typename Table::EntryKey, Entry,
                                              Table::EntryKey::kIndexed>(info, container));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
  state.counters["ns_per_entry"] = benchmark::Counter(static_cast<double>(state.iterations() * count),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Decode4(benchmark::State& state) {
  decodeBench<IppaVsiToRoutingProfileMapHwDirect, HwTableIppaVsiToRoutingProfileMapHwDirectReader>(state);
}
void BM_Decode32(benchmark::State& state) {
  decodeBench<IppaRoutingProfileToVectorMapHwDirect, HwTableIppaRoutingProfileToVectorMapHwDirectReader>(state);
}

// Every table with a shadow on chip 1, through the catalogue, and a simulator of chip 1.
struct AllTablesChip1 {
  AllTablesChip1() {
    for (const catalogue::TableDescription* t : catalogue::tables()) {
      tables.push_back(t->freeFactory(t->name, VovuAsicUtils::HwTableKey(t->name, kRevision), chip0().manager));
      tables.back()->addShadow(key);
      descriptions.push_back(t);
      const auto memory = tables.back()->tableDescriptor()->firstMemInfo();
      keys += std::uint64_t{memory->arrayCount()} * memory->entryCount();
    }
    mask.fapIdIs(1);
  }
  ~AllTablesChip1() { tables.clear(); }

  const HwShadowKey key{1, 0};
  std::vector<Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>> tables;
  std::vector<const catalogue::TableDescription*> descriptions;
  SchanAccel::Fapmask mask;
  std::uint64_t keys = 0;
  const std::uint8_t chips[1] = {1};
  sim::ChipSimulator simulator{sim::memoryMapOf(catalogue::tables()), chips};
  Orvel::Ptr<VovuAsicUtils::ReadTableManager> readManager{new VovuAsicUtils::ReadTableManager};
};

AllTablesChip1& allTables() {
  static AllTablesChip1 all;
  return all;
}

void BM_DownloadAllTables(benchmark::State& state) {
  AllTablesChip1& all = allTables();
  for (auto _ : state) {
    for (const auto& table : all.tables) {
      all.simulator.execute(table->hwShadowColl(all.key)->download("bcm88490_a0", kRevision, all.mask));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * all.keys));
}

void BM_AuditAllTables(benchmark::State& state) {
  AllTablesChip1& all = allTables();
  for (const auto& table : all.tables) {
    all.simulator.execute(table->hwShadowColl(all.key)->download("bcm88490_a0", kRevision, all.mask));
  }
  const VovuAsicUtils::CommandExecutor execute = [&](const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
    all.simulator.execute(batch);
  };
  std::uint64_t found = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < all.tables.size(); ++i) {
      found += all.descriptions[i]->audit(*all.tables[i], all.key, all.readManager, execute, false).found();
    }
  }
  if (found != 0) state.SkipWithError("the audit found differences after a download");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * all.keys));
}

BENCHMARK(BM_DownloadDma)->Name("download/dma")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DownloadNoDma)->Name("download/no_dma")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupFloor)->Name("lookup_floor")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimulatorBulk)->Name("simulator/bulk")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimulatorSingle)->Name("simulator/single")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode4)->Name("decode/4_bytes");
BENCHMARK(BM_Decode32)->Name("decode/32_bytes");
BENCHMARK(BM_DownloadAllTables)->Name("download/all_tables")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AuditAllTables)->Name("audit/all_tables")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
