// The chip simulator: its memory map, bulk writes, counters, and every way a command can miss the map or its buffer.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"

namespace {

using SchanAccel::SchanCmd;

const sim::MemoryMap& catalogueMap() {
  static const sim::MemoryMap map = sim::memoryMapOf(bcm88490_a0::catalogue::tables());
  return map;
}

// Verifies: every memory of the catalogue is mapped and no two of one block overlap; overlaps are found.
TEST(MemoryMap, CatalogueRegionsAreDisjointWithinEachBlock) {
  std::size_t memories = 0;
  for (const auto* t : bcm88490_a0::catalogue::tables()) memories += t->memories.size();
  EXPECT_EQ(catalogueMap().regions().size(), memories);
  EXPECT_EQ(catalogueMap().overlaps(), std::vector<std::string>{});

  sim::MemoryMap map;
  map.regionIs({"a", "A", false, 7, 0x100, 0, 2, 0, 16, 4, 0, 1});  // addresses 0x100..0x11f
  map.regionIs({"b", "B", false, 7, 0x11f, 0, 1, 0, 1, 4, 0, 1});   // its last address
  map.regionIs({"c", "C", false, 8, 0x100, 0, 1, 0, 64, 4, 0, 1});  // another block
  ASSERT_EQ(map.overlaps().size(), 1u);
  EXPECT_EQ(map.overlaps()[0], "a [0x100, 0x11f] and b [0x11f, 0x11f] overlap in block 7");
  EXPECT_THROW(map.regionIs({"a", "D", false, 7, 0x200, 0, 2, 0, 16, 4, 0, 1}), std::invalid_argument);
}

class SimulatorTest : public ::testing::Test {
 protected:
  // A single write of `data` to entry (arrayIndex, entryIndex) of memory `name` at `block` and `base`, on chip 0.
  static Orvel::Ptr<SchanCmd> write(const char* name, std::uint32_t block, std::uint32_t base, std::uint8_t arrayIndex,
                                    std::uint32_t entryIndex, std::vector<std::uint8_t> data) {
    auto cmd = SchanAccel::schanCmdFactory();
    cmd->fapmask.fapIdIs(0);
    cmd->name = name;
    cmd->block = block;
    cmd->baseAddress = base;
    cmd->arrayIndex = arrayIndex;
    cmd->entryIndex = entryIndex;
    cmd->data = std::move(data);
    return cmd;
  }
  // The same to the reference table's memory, 4 bytes of `fill`.
  static Orvel::Ptr<SchanCmd> referenceWrite(std::uint8_t arrayIndex, std::uint32_t entryIndex, std::uint8_t fill) {
    return write("ippaRoutingProfileTable", 38, 0x8d0200, arrayIndex, entryIndex, std::vector<std::uint8_t>(4, fill));
  }

  // A bulk write of `count` entries of the reference table from (arrayIndex, entryIndex); entry i holds i in each byte.
  Orvel::Ptr<SchanCmd> referenceBulk(std::uint8_t arrayIndex, std::uint32_t entryIndex, std::uint32_t count) {
    auto cmd = write("ippaRoutingProfileTable", 38, 0x8d0200, arrayIndex, entryIndex, {});
    cmd->kind = SchanCmd::Kind::memoryBulkWrite;
    cmd->buffer = pool_->buffer();
    for (std::uint32_t i = 0; i < count && i * 4 < cmd->buffer->bufSize(); ++i) {
      std::fill_n(cmd->buffer->vaCursor(), 4, static_cast<std::uint8_t>(i));
      cmd->buffer->incVaCursor(4);
    }
    cmd->entryCount = count;
    cmd->entrySize = 4;
    cmd->dmaAddr = cmd->buffer->dmaAddrInfo().dmaAddr;
    return cmd;
  }

  std::size_t run(std::initializer_list<Orvel::Ptr<SchanCmd>> cmds) {
    SchanAccel::SchanCmds batch;
    for (const auto& cmd : cmds) batch.cmdEnq(cmd);
    return simulator_.execute(batch);
  }

  std::uint8_t referenceByte(std::uint32_t arrayIndex, std::uint32_t entryIndex) const {
    return simulator_.chip(0)->entry("ippaRoutingProfileTable", 0, arrayIndex, entryIndex)[0];
  }

  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager> pool_{new DmaMemPoolManager::DmaMemPoolManager};
  sim::ChipSimulator simulator_{catalogueMap(), std::vector<std::uint8_t>{0, 1}};
};

// Verifies: a bulk write runs on into the next array index; counters count per command and per instance.
TEST_F(SimulatorTest, BulkWriteRunsOnIntoTheNextArrayIndex) {
  EXPECT_EQ(run({referenceBulk(2, 254, 4)}), 1u);
  EXPECT_EQ((std::vector<int>{referenceByte(2, 254), referenceByte(2, 255), referenceByte(3, 0), referenceByte(3, 1),
                              referenceByte(3, 2)}),
            (std::vector<int>{0, 1, 2, 3, 0}));

  auto lpm = write("ippbFlpLpmEntryTypeMapMem", 39, 0x8e0800, 0, 1023, {1, 2, 3, 4});
  lpm->fapmask.fapIdIs(1);
  lpm->instanceCount = 2;
  run({lpm});
  EXPECT_EQ(simulator_.chip(1)->entry("ippbFlpLpmEntryTypeMapMem", 1, 0, 1023)[3], 4);
  EXPECT_EQ(simulator_.chip(1)->counters(),
            (sim::ChipCounters{.singleWrites = 1, .entriesWritten = 2, .bytesWritten = 8}));
  EXPECT_EQ(simulator_.chip(0)->counters(),
            (sim::ChipCounters{.singleWrites = 1, .bulkWrites = 1, .entriesWritten = 4 + 2, .bytesWritten = 16 + 8}));
}

struct Rejection {
  const char* what;
  bool bulk;  // a change to a bulk write of 4 entries from (2, 0), else to a single write to (2, 9)
  std::function<void(SchanCmd&)> mutate;
  const char* message;
};

// Verifies: a command outside the map or its buffer is refused by position and fault, and stops the batch.
TEST_F(SimulatorTest, CommandsOutsideTheMapAreRejected) {
  pool_->bufSizeIs(16);
  const Rejection cases[] = {
      {"unknown memory", false, [](SchanCmd& c) { c.name = "ippaNoSuchTable"; },
       "no memory or register named ippaNoSuchTable"},
      {"block", false, [](SchanCmd& c) { c.block = 39; }, "block 39 does not match the memory's block 38"},
      {"base address", false, [](SchanCmd& c) { c.baseAddress = 0x8d0300; },
       "base address 0x8d0300 does not match the memory's 0x8d0200"},
      {"array index", false, [](SchanCmd& c) { c.arrayIndex = 4; },
       "entry (4, 9) outside the memory's array indices 2 to 3"},
      {"entry index", false, [](SchanCmd& c) { c.entryIndex = 256; },
       "entry (2, 256) outside the memory's array indices 2 to 3 and entries 0 to 255"},
      {"instance", false, [](SchanCmd& c) { c.firstInstance = 1; }, "instances 1 to 1 outside the memory's 0 to 0"},
      {"data too long", false, [](SchanCmd& c) { c.data.push_back(0); }, "5 data bytes for an entry of 4"},
      {"register kind", false, [](SchanCmd& c) { c.kind = SchanCmd::Kind::registerWrite; },
       "ippaRoutingProfileTable is a memory, not a register"},
      {"chip", false, [](SchanCmd& c) { c.fapmask.fapIdIs(7); }, "chip 7 is not simulated"},
      {"empty mask", false, [](SchanCmd& c) { c.fapmask = SchanAccel::Fapmask(); }, "no chip in the mask"},
      {"value key null", false,
       [](SchanCmd& c) {
         c.name = "tarSnifActionTable", c.block = 60, c.baseAddress = 0xb00200, c.arrayIndex = 0, c.entryIndex = 32;
         c.data.assign(12, 1);
       },
       "entry (0, 32) outside the memory's array indices 0 to 0 and entries 0 to 31"},
      {"past the end", true, [](SchanCmd& c) { c.arrayIndex = 3, c.entryIndex = 254; },
       "4 entries from (3, 254) run past the memory's last entry"},
      {"entry size", true, [](SchanCmd& c) { c.entrySize = 8; }, "entry size 8 does not match the memory's 4"},
      {"no buffer", true, [](SchanCmd& c) { c.buffer = nullptr; }, "no DMA buffer"},
      {"DMA address", true, [](SchanCmd& c) { c.dmaAddr += 64; }, "is not its buffer's"},
      {"count", true, [](SchanCmd& c) { c.entryCount = 5; }, "5 entries of 4 bytes do not fit the buffer's 16 bytes"},
      {"no entries", true, [](SchanCmd& c) { c.entryCount = 0; }, "a memoryBulkWrite of no entries"},
  };
  for (const Rejection& r : cases) {
    SCOPED_TRACE(r.what);
    simulator_ = sim::ChipSimulator(catalogueMap(), std::vector<std::uint8_t>{0, 1});
    auto bad = r.bulk ? referenceBulk(2, 0, 4) : referenceWrite(2, 9, 0x11);
    r.mutate(*bad);
    try {
      run({referenceWrite(3, 3, 0x22), bad, referenceWrite(3, 4, 0x33)});
      ADD_FAILURE() << "accepted";
    } catch (const sim::CommandRejected& e) {
      EXPECT_EQ(e.position(), 1u);
      EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("command 1 (", 0), 0u) << e.what();
    }
    EXPECT_EQ(referenceByte(3, 3), 0x22);
    EXPECT_EQ(referenceByte(2, 9) | referenceByte(2, 1), 0) << "the rejected command wrote";
    EXPECT_EQ(referenceByte(3, 4), 0) << "the batch went on";
    EXPECT_EQ(simulator_.chip(0)->counters(),
              (sim::ChipCounters{.singleWrites = 1,
                                 .entriesWritten = 1,
                                 .bytesWritten = 4,
                                 .rejections = !bad->fapmask.empty() && bad->fapmask.fapId(0)}));
  }
}

}  // namespace
