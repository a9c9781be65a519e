// sim::ChipSimulator: chips that execute S-channel command batches against
// images of their memories and registers.
//
// Each chip (a fap id) holds, per region of the memory map and per instance,
// an image of all its entries, zero at the start. execute() runs a batch front
// to back: single memory writes, DMA bulk writes (entryCount consecutive
// entries in walk order from the start key, running on from the last entry of
// one array index into the next; the data comes from the command's buffer),
// register writes, on every chip of the command's mask and every instance of
// its range, and reads: a bulk read copies entryCount entries of one chip and
// instance, in the same walk order, into the command's DMA buffer, back to
// back; a register read copies the register's bytes. Reads pass the same
// address checks as writes. A command that does not fit the memory map is rejected: nothing
// of it is written, the batch stops there, and execute() throws
// CommandRejected naming the command's position and what is wrong. Commands
// before it stay executed.
//
// Not thread-safe: one thread executes at a time.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "SchanAccel/SchanCmds.h"
#include "sim/MemoryMap.h"

namespace sim {

// "command N (<kind> <name>): <what is wrong>"; N counts from 0 in the batch.
class CommandRejected : public std::runtime_error {
 public:
  CommandRejected(std::size_t position, const std::string& message)
      : std::runtime_error(message), position_(position) {}
  std::size_t position() const noexcept { return position_; }

 private:
  std::size_t position_;
};

struct ChipCounters {
  std::uint64_t singleWrites = 0;    // memory single writes executed
  std::uint64_t bulkWrites = 0;      // DMA bulk writes executed
  std::uint64_t registerWrites = 0;  // register writes executed
  std::uint64_t entriesWritten = 0;  // entries written, counting each instance
  std::uint64_t bytesWritten = 0;    // data bytes written, counting each instance
  std::uint64_t bulkReads = 0;       // DMA bulk reads executed
  std::uint64_t registerReads = 0;   // register reads executed
  std::uint64_t entriesRead = 0;     // entries read into DMA buffers
  std::uint64_t rejections = 0;      // commands refused

  friend bool operator==(const ChipCounters&, const ChipCounters&) = default;
};

class Chip {
 public:
  Chip(std::uint8_t fapId, const MemoryMap& map);

  std::uint8_t fapId() const noexcept { return fapId_; }
  const ChipCounters& counters() const noexcept { return counters_; }

  // The entry's bytes (entrySize of them). Throws std::out_of_range for a
  // region, instance or index outside the map.
  std::span<const std::uint8_t> entry(const std::string& region, std::uint8_t instance, std::uint32_t arrayIndex,
                                      std::uint32_t entryIndex) const;
  // Flips bit `bit` of the entry (for fault injection). Same errors as entry().
  void flipBit(const std::string& region, std::uint8_t instance, std::uint32_t arrayIndex, std::uint32_t entryIndex,
               std::uint32_t bit);

 private:
  friend class ChipSimulator;
  struct Image {
    const MemoryRegion* region;
    std::vector<std::vector<std::uint8_t>> instances;  // by instance - firstInstanceId
  };
  std::uint8_t* at(const std::string& region, std::uint8_t instance, std::uint32_t arrayIndex,
                   std::uint32_t entryIndex);

  std::uint8_t fapId_;
  std::map<std::string, Image> images_;
  ChipCounters counters_;
};

class ChipSimulator {
 public:
  // Chips `fapIds`, each with every region of `map`.
  ChipSimulator(MemoryMap map, std::span<const std::uint8_t> fapIds);

  const MemoryMap& memoryMap() const noexcept { return map_; }
  // The chip, or null.
  Chip* chip(std::uint8_t fapId);
  const Chip* chip(std::uint8_t fapId) const;

  // Executes `batch` (null: nothing) front to back; returns the commands executed.
  std::size_t execute(const Orvel::Ptr<SchanAccel::SchanCmds>& batch);
  std::size_t execute(const SchanAccel::SchanCmds& batch);

 private:
  // Why `cmd` does not fit the map, or empty when it does.
  std::string check(const SchanAccel::SchanCmd& cmd) const;
  void apply(const SchanAccel::SchanCmd& cmd);
  void read(const SchanAccel::SchanCmd& cmd, const MemoryRegion& region, std::uint64_t first);

  MemoryMap map_;
  std::map<std::uint8_t, Chip> chips_;
};

}  // namespace sim
