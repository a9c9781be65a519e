// SchanAccel::SchanCmds: an ordered batch of S-channel commands for the host
// (or the chip simulator) to execute, front first. Commands are reference
// counted (SchanCmd is a node); a batch holds one reference to each.
//
// Every command names
//   fapmask        the chips to execute it on (never empty in a batch)
//   kind           what it does (below)
//   memoryId       the memory's id within its table descriptor
//   name           the memory or register name as the descriptor gives it
//   block          the block the command is addressed to
//   baseAddress    address of entry 0 of the memory's first array index
//                  within the block
//   firstInstance, instanceCount
//                  the memory instances it covers: every instance of the
//                  memory for instance-convergent shadows, else the shadow's
//                  own one
//   arrayIndex, entryIndex
//                  the (first) entry. These are the key's own numbers; the
//                  executor checks them against the memory's ranges (a value
//                  key may name the memory's `null`, one past its last entry,
//                  which the executor refuses)
//   cmdletRequired whether the host runs the command as a cmdlet
//
// memoryWrite, registerWrite (single writes) write one entry:
//   data           the entry's data bytes, byte 0 first (bit 0 = least
//                  significant bit of byte 0), exactly the memory's entry size
//
// memoryBulkWrite (DMA bulk write) writes `entryCount` consecutive entries
// from a DMA buffer:
//   entryCount     entries written; entry i comes from the buffer's bytes
//                  [i x entrySize, (i + 1) x entrySize)
//   entrySize      the memory's entry size in bytes
//   dmaAddr        the buffer's bus address (its DmaAddrInfo)
//   buffer         the buffer itself; the command holds a reference, so the
//                  pool keeps the memory until the command is gone
// The entries run in walk order: entry i is the i-th successor of
// (arrayIndex, entryIndex), where the successor of the last entry of an array
// index is the first entry of the next array index. One bulk write may thus
// cover the end of one array index and the start of the next.
//
// memoryBulkRead reads `entryCount` consecutive entries of one instance
// (instanceCount 1) of one chip (one chip in the mask), walk order as above,
// into `buffer` (entry i at [i x entrySize, (i + 1) x entrySize));
// registerRead reads the register's bytes into `buffer`. Read commands are
// VovuAsicUtils::GenericBulkReadCmdlet, which also say what they read for
// (VovuAsicUtils/HwTableRead.h).
//
// A table whose descriptor holds several memories gets one command per memory,
// in memory-id order, each with the same entries (and, for bulk writes, the
// same buffer). A null batch means that there is nothing to execute.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Orvel/AllocTracker.h"
#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "SchanAccel/Fapmask.h"

namespace SchanAccel {

class SchanCmd : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("SchanAccel::SchanCmd")

  enum class Kind : std::uint8_t { memoryWrite, registerWrite, memoryBulkWrite, memoryBulkRead, registerRead };

  Kind kind = Kind::memoryWrite;
  Fapmask fapmask;
  std::uint32_t memoryId = 0;
  Orvel::String name;
  std::uint32_t block = 0;
  std::uint32_t baseAddress = 0;
  std::uint8_t firstInstance = 0;
  std::uint16_t instanceCount = 1;
  std::uint8_t arrayIndex = 0;
  std::uint32_t entryIndex = 0;
  bool cmdletRequired = false;
  // Single writes.
  std::vector<std::uint8_t> data;
  // Bulk writes and reads.
  std::uint32_t entryCount = 0;
  std::uint16_t entrySize = 0;
  std::uint64_t dmaAddr = 0;
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolBuffer> buffer;

  bool isBulk() const noexcept { return kind == Kind::memoryBulkWrite; }
  bool isRead() const noexcept { return kind == Kind::memoryBulkRead || kind == Kind::registerRead; }
  // Entries the command writes: entryCount for a bulk write, 0 for a read, else 1.
  std::uint32_t entriesWritten() const noexcept { return isBulk() ? entryCount : isRead() ? 0 : 1; }
};

inline const char* kindText(SchanCmd::Kind kind) {
  switch (kind) {
    case SchanCmd::Kind::memoryWrite:
      return "memoryWrite";
    case SchanCmd::Kind::registerWrite:
      return "registerWrite";
    case SchanCmd::Kind::memoryBulkWrite:
      return "memoryBulkWrite";
    case SchanCmd::Kind::memoryBulkRead:
      return "memoryBulkRead";
    case SchanCmd::Kind::registerRead:
      return "registerRead";
  }
  return "unknown";
}

class SchanCmds : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("SchanAccel::SchanCmds")

  void cmdEnq(Orvel::Ptr<SchanCmd> cmd) { cmds_.push_back(std::move(cmd)); }
  // The front command, removed; null when the batch is empty.
  Orvel::Ptr<SchanCmd> cmdDeq() {
    if (cmds_.empty()) return nullptr;
    Orvel::Ptr<SchanCmd> cmd = std::move(cmds_.front());
    cmds_.pop_front();
    return cmd;
  }
  std::size_t size() const noexcept { return cmds_.size(); }
  bool empty() const noexcept { return cmds_.empty(); }
  const std::deque<Orvel::Ptr<SchanCmd>>& cmds() const noexcept { return cmds_; }

 private:
  std::deque<Orvel::Ptr<SchanCmd>> cmds_;
};

inline Orvel::Ptr<SchanCmds> schanCmdsFactory() { return Orvel::Ptr<SchanCmds>(new SchanCmds); }
inline Orvel::Ptr<SchanCmd> schanCmdFactory() { return Orvel::Ptr<SchanCmd>(new SchanCmd); }

// Moves every command of `from` to the end of `to`, front first, so that their
// order is kept. A null `from` moves nothing.
inline void cmdsMove(SchanCmds& to, const Orvel::Ptr<SchanCmds>& from) {
  if (!from) return;
  while (Orvel::Ptr<SchanCmd> cmd = from->cmdDeq()) to.cmdEnq(std::move(cmd));
}

}  // namespace SchanAccel
