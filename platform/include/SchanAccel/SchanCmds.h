// SchanAccel::SchanCmds: an ordered batch of S-channel commands for the host
// (or the chip simulator) to execute, front first.
//
// The single write (SchanCmd with kind memoryWrite or registerWrite) writes
// one entry's data bytes:
//   fapmask        the chips to write on (never empty in a batch)
//   kind           a memory entry or a register
//   memoryId       the memory's id within its table descriptor
//   name           the memory or register name as the descriptor gives it
//   block          the block the command is addressed to (0 for registers)
//   baseAddress    address of entry 0 of array index 0 within the block
//   firstInstance, instanceCount
//                  the memory instances written: every instance of the memory
//                  for instance-convergent shadows, else the shadow's own one
//   arrayIndex, entryIndex
//                  the entry written. These are the key's own numbers; the
//                  executor checks them against the memory's ranges (a value
//                  key may name the memory's `null`, one past its last entry)
//   data           the entry's data bytes, byte 0 first (bit 0 = least
//                  significant bit of byte 0)
// A table whose descriptor holds several memories gets one command per memory,
// in memory-id order. A null batch means that there is nothing to execute.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "Orvel/AllocTracker.h"
#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "SchanAccel/Fapmask.h"

namespace SchanAccel {

struct SchanCmd {
  enum class Kind : std::uint8_t { memoryWrite, registerWrite };

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
  std::vector<std::uint8_t> data;
};

class SchanCmds : public Orvel::Node {
 public:
  ORVEL_SLAB_ALLOCATED("SchanAccel::SchanCmds")

  void cmdEnq(SchanCmd cmd) { cmds_.push_back(std::move(cmd)); }
  // The front command, removed; nothing when the batch is empty.
  std::optional<SchanCmd> cmdDeq() {
    if (cmds_.empty()) return std::nullopt;
    SchanCmd cmd = std::move(cmds_.front());
    cmds_.pop_front();
    return cmd;
  }
  std::size_t size() const noexcept { return cmds_.size(); }
  bool empty() const noexcept { return cmds_.empty(); }
  const std::deque<SchanCmd>& cmds() const noexcept { return cmds_; }

 private:
  std::deque<SchanCmd> cmds_;
};

inline Orvel::Ptr<SchanCmds> schanCmdsFactory() { return Orvel::Ptr<SchanCmds>(new SchanCmds); }

}  // namespace SchanAccel
