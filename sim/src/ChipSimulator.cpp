#include "sim/ChipSimulator.h"

#include <algorithm>

#include <fmt/format.h>

namespace sim {

using SchanAccel::SchanCmd;

Chip::Chip(std::uint8_t fapId, const MemoryMap& map) : fapId_(fapId) {
  for (const auto& [name, region] : map.regions()) {
    Image image{&region, {}};
    image.instances.assign(region.instanceCount, std::vector<std::uint8_t>(region.entries() * region.entrySize, 0));
    images_.emplace(name, std::move(image));
  }
}

std::uint8_t* Chip::at(const std::string& name, std::uint8_t instance, std::uint32_t arrayIndex,
                       std::uint32_t entryIndex) {
  auto it = images_.find(name);
  if (it == images_.end()) throw std::out_of_range(fmt::format("chip {}: no memory or register {}", fapId_, name));
  const MemoryRegion& region = *it->second.region;
  std::uint64_t pos = 0;
  if (!region.hasInstance(instance) || !region.position(arrayIndex, entryIndex, pos)) {
    throw std::out_of_range(
        fmt::format("chip {}: {} has no instance {} entry ({}, {})", fapId_, name, instance, arrayIndex, entryIndex));
  }
  return it->second.instances[instance - region.firstInstanceId].data() + pos * region.entrySize;
}

std::span<const std::uint8_t> Chip::entry(const std::string& name, std::uint8_t instance, std::uint32_t arrayIndex,
                                          std::uint32_t entryIndex) const {
  const std::uint8_t* bytes = const_cast<Chip*>(this)->at(name, instance, arrayIndex, entryIndex);
  return {bytes, images_.at(name).region->entrySize};
}

void Chip::flipBit(const std::string& name, std::uint8_t instance, std::uint32_t arrayIndex, std::uint32_t entryIndex,
                   std::uint32_t bit) {
  std::uint8_t* bytes = at(name, instance, arrayIndex, entryIndex);
  if (bit >= images_.at(name).region->entrySize * 8u) {
    throw std::out_of_range(fmt::format("chip {}: {} has no bit {}", fapId_, name, bit));
  }
  bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

ChipSimulator::ChipSimulator(MemoryMap map, std::span<const std::uint8_t> fapIds) : map_(std::move(map)) {
  for (std::uint8_t id : fapIds) chips_.try_emplace(id, id, map_);
}

Chip* ChipSimulator::chip(std::uint8_t fapId) {
  auto it = chips_.find(fapId);
  return it == chips_.end() ? nullptr : &it->second;
}

const Chip* ChipSimulator::chip(std::uint8_t fapId) const { return const_cast<ChipSimulator*>(this)->chip(fapId); }

std::size_t ChipSimulator::execute(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  return batch ? execute(*batch) : 0;
}

std::size_t ChipSimulator::execute(const SchanAccel::SchanCmds& batch) {
  std::size_t position = 0;
  for (const Orvel::Ptr<SchanCmd>& cmd : batch.cmds()) {
    const std::string wrong = cmd ? check(*cmd) : std::string("no command");
    if (!wrong.empty()) {
      if (cmd) {
        for (std::uint32_t id = 0; id < 256; ++id) {
          if (Chip* c =
                  cmd->fapmask.fapId(static_cast<std::uint8_t>(id)) ? chip(static_cast<std::uint8_t>(id)) : nullptr) {
            ++c->counters_.rejections;
          }
        }
      }
      throw CommandRejected(
          position, fmt::format("command {} ({} {}): {}", position, cmd ? SchanAccel::kindText(cmd->kind) : "null",
                                cmd ? cmd->name.str() : std::string("-"), wrong));
    }
    apply(*cmd);
    ++position;
  }
  return position;
}

std::string ChipSimulator::check(const SchanCmd& cmd) const {
  if (cmd.fapmask.empty()) return "no chip in the mask";
  for (std::uint32_t id = 0; id < 256; ++id) {
    if (cmd.fapmask.fapId(static_cast<std::uint8_t>(id)) && !chip(static_cast<std::uint8_t>(id))) {
      return fmt::format("chip {} is not simulated", id);
    }
  }
  const MemoryRegion* region = map_.region(cmd.name.str());
  if (!region) return fmt::format("no memory or register named {}", cmd.name.view());
  const bool registerCmd = cmd.kind == SchanCmd::Kind::registerWrite || cmd.kind == SchanCmd::Kind::registerRead;
  if (registerCmd != region->isRegister) {
    return fmt::format("{} is a {}, not a {}", region->name, region->isRegister ? "register" : "memory",
                       registerCmd ? "register" : "memory");
  }
  if (cmd.block != region->block)
    return fmt::format("block {} does not match the memory's block {}", cmd.block, region->block);
  if (cmd.baseAddress != region->baseAddress) {
    return fmt::format("base address {:#x} does not match the memory's {:#x}", cmd.baseAddress, region->baseAddress);
  }
  const std::uint32_t lastInstance = std::uint32_t{cmd.firstInstance} + cmd.instanceCount - 1;
  if (cmd.instanceCount == 0 || !region->hasInstance(cmd.firstInstance) || !region->hasInstance(lastInstance)) {
    return fmt::format("instances {} to {} outside the memory's {} to {}", cmd.firstInstance, lastInstance,
                       region->firstInstanceId, region->firstInstanceId + region->instanceCount - 1);
  }
  std::uint64_t first = 0;
  if (!region->position(cmd.arrayIndex, cmd.entryIndex, first)) {
    return fmt::format("entry ({}, {}) outside the memory's array indices {} to {} and entries {} to {}",
                       cmd.arrayIndex, cmd.entryIndex, region->firstArrayIndex,
                       region->firstArrayIndex + region->arrayCount - 1, region->firstEntryIndex,
                       std::uint64_t{region->firstEntryIndex} + region->entryCount - 1);
  }
  if (cmd.isRead() && (cmd.fapmask.count() != 1 || cmd.instanceCount != 1)) {
    return "a read names one chip and one instance";
  }
  if (cmd.isBulk() || cmd.isRead()) {
    if (cmd.entryCount == 0) return fmt::format("a {} of no entries", SchanAccel::kindText(cmd.kind));
    if (first + cmd.entryCount > region->entries()) {
      return fmt::format("{} entries from ({}, {}) run past the memory's last entry", cmd.entryCount, cmd.arrayIndex,
                         cmd.entryIndex);
    }
    if (cmd.entrySize != region->entrySize) {
      return fmt::format("entry size {} does not match the memory's {}", cmd.entrySize, region->entrySize);
    }
    if (!cmd.buffer || !cmd.buffer->isDmaMemory()) return "no DMA buffer";
    if (cmd.buffer->dmaAddrInfo().dmaAddr != cmd.dmaAddr) {
      return fmt::format("DMA address {:#x} is not its buffer's {:#x}", cmd.dmaAddr, cmd.buffer->dmaAddrInfo().dmaAddr);
    }
    if (std::uint64_t{cmd.entryCount} * cmd.entrySize > cmd.buffer->bufSize()) {
      return fmt::format("{} entries of {} bytes do not fit the buffer's {} bytes", cmd.entryCount, cmd.entrySize,
                         cmd.buffer->bufSize());
    }
  } else if (cmd.data.size() != region->entrySize) {
    return fmt::format("{} data bytes for an entry of {}", cmd.data.size(), region->entrySize);
  }
  return {};
}

void ChipSimulator::apply(const SchanCmd& cmd) {
  const MemoryRegion& region = *map_.region(cmd.name.str());
  std::uint64_t first = 0;
  region.position(cmd.arrayIndex, cmd.entryIndex, first);
  if (cmd.isRead()) {
    read(cmd, region, first);
    return;
  }
  const bool bulk = cmd.kind == SchanCmd::Kind::memoryBulkWrite;
  const std::uint8_t* source = bulk ? cmd.buffer->va() : cmd.data.data();
  const std::uint64_t bytes = std::uint64_t{cmd.entriesWritten()} * region.entrySize;
  for (auto& [id, chip] : chips_) {
    if (!cmd.fapmask.fapId(id)) continue;
    Chip::Image& image = chip.images_.at(region.name);
    for (std::uint32_t i = 0; i < cmd.instanceCount; ++i) {
      std::vector<std::uint8_t>& memory = image.instances[cmd.firstInstance + i - region.firstInstanceId];
      std::copy_n(source, bytes, memory.data() + first * region.entrySize);
      chip.counters_.entriesWritten += cmd.entriesWritten();
      chip.counters_.bytesWritten += bytes;
    }
    switch (cmd.kind) {
      case SchanCmd::Kind::memoryWrite:
        ++chip.counters_.singleWrites;
        break;
      case SchanCmd::Kind::registerWrite:
        ++chip.counters_.registerWrites;
        break;
      case SchanCmd::Kind::memoryBulkWrite:
        ++chip.counters_.bulkWrites;
        break;
      case SchanCmd::Kind::memoryBulkRead:
      case SchanCmd::Kind::registerRead:
        break;
    }
  }
}

void ChipSimulator::read(const SchanCmd& cmd, const MemoryRegion& region, std::uint64_t first) {
  for (auto& [id, chip] : chips_) {
    if (!cmd.fapmask.fapId(id)) continue;
    const std::vector<std::uint8_t>& memory =
        chip.images_.at(region.name).instances[cmd.firstInstance - region.firstInstanceId];
    std::copy_n(memory.data() + first * region.entrySize, std::uint64_t{cmd.entryCount} * region.entrySize,
                cmd.buffer->va());
    ++(cmd.kind == SchanCmd::Kind::registerRead ? chip.counters_.registerReads : chip.counters_.bulkReads);
    chip.counters_.entriesRead += cmd.entryCount;
  }
}

}  // namespace sim
