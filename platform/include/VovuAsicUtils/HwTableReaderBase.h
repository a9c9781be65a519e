// Base classes of the readers that read a table back from the chip.
#pragma once

#include <cstdint>

#include "Orvel/Ptr.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

class HwTableReaderBase : public Orvel::Node {
 public:
  HwTableReaderBase(HwTableKey key, Orvel::Ptr<ReadTableManager> readTableManager)
      : key_(std::move(key)), readTableManager_(std::move(readTableManager)) {}

  const HwTableKey& hwTableKey() const noexcept { return key_; }
  const Orvel::Ptr<ReadTableManager>& readTableManager() const noexcept { return readTableManager_; }

  // The instance ids the reader reads on each chip.
  virtual std::uint8_t minInstanceId() const = 0;
  virtual std::uint8_t maxInstanceId() const = 0;

 private:
  HwTableKey key_;
  Orvel::Ptr<ReadTableManager> readTableManager_;
};

// Readers of chip memories.
class DirectTableReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;
};

// Readers of chip registers.
class RegisterReaderBase : public HwTableReaderBase {
 public:
  using HwTableReaderBase::HwTableReaderBase;
};

}  // namespace VovuAsicUtils
