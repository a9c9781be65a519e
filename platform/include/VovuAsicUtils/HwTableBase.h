// Base classes of the host's hardware-table objects.
//
// HwCommonTableBase holds what every table has: its name and HwTableKey, the
// table manager that created it, its table descriptor, the chip blocks it
// occupies, its statistics, its shadows (hwShadowColl, one per HwShadowKey)
// and the shadow attributes below. HwCommonShadowTableBase adds the
// hook that reconciles those attributes with the table manager;
// HwDirectTableBase is the base of every generated table (memory and
// register tables alike) and registers the table's shadow information.
//
// Shadow attributes, set by each table while it initialises:
//   shadowDownloadOnInit (1 byte)  1: a chip coming up gets every shadow of the
//                                  table downloaded as a whole.
//   shadowAuditable      (1 byte)  1: the table's shadows take part in audits
//                                  (hardware read back and compared).
//   shadowMode           (1 byte)  how shadows are kept: 0 none, 1 one shadow
//                                  per chip, 2 one shadow per chip instance
//                                  (keyed by HwShadowKey).
//   entriesPerWrite      (4 bytes) entries covered by one S-channel write
//                                  command of the table; 0 until initialised.
//   standalone           (bool)    true: no factory is registered for the
//                                  table; the host creates it by name with its
//                                  free factory and holds it itself.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "Hardware/ChipType.h"
#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "SchanAccel/Fapmask.h"
#include "VovuAsicUtils/BcmGroupAddrInfo.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/HwTableStats.h"
#include "VovuAsicUtils/ShadowBase.h"
#include "VovuAsicUtils/TableManager.h"

namespace VovuAsicUtils {

enum class ShadowMode : std::uint8_t { none = 0, perChip = 1, perInstance = 2 };

class HwCommonTableBase : public Orvel::Node {
 public:
  HwCommonTableBase(Orvel::String name, HwTableKey key, Orvel::Ptr<TableManager> tableManager);
  // Removes the table from its manager's table collection if it is held there.
  ~HwCommonTableBase() override;

  const Orvel::String& name() const noexcept { return name_; }
  const HwTableKey& hwTableKey() const noexcept { return key_; }
  const FapRevision& fapRevision() const noexcept { return key_.fapRevision(); }
  const Orvel::Ptr<TableManager>& hwTableManager() const noexcept { return tableManager_; }
  HwTableStats& hwTableStats() noexcept { return stats_; }
  const HwTableStats& hwTableStats() const noexcept { return stats_; }

  virtual const char* chipName() const = 0;
  // Creates, registers and initialises the shadow of `key`; nothing if it exists.
  virtual void addShadow(const HwShadowKey& key) = 0;
  // Writes the table's default contents into the shadow of `key`.
  virtual void initShadow(const HwShadowKey& key) = 0;

  // The shadows, by key.
  bool hwShadowCollHas(const HwShadowKey& key) const { return shadows_.count(key) != 0; }
  Orvel::Ptr<HwShadowBase> hwShadowColl(const HwShadowKey& key) const {
    auto it = shadows_.find(key);
    return it == shadows_.end() ? nullptr : it->second;
  }
  void hwShadowCollIs(const Orvel::Ptr<HwShadowBase>& shadow) { shadows_[shadow->hwShadowKey()] = shadow; }
  // Drops the table's reference to the shadow of `key`; the shadow is torn
  // down when its last reference goes.
  void delShadow(const HwShadowKey& key) { shadows_.erase(key); }
  const std::unordered_map<HwShadowKey, Orvel::Ptr<HwShadowBase>>& hwShadowColl() const noexcept { return shadows_; }
  // The chips the commands of a shadow go to: the shadow key's chip.
  SchanAccel::Fapmask getFapmask(const HwShadowKey& key) const {
    SchanAccel::Fapmask mask;
    mask.fapIdIs(key.fapId());
    return mask;
  }
  // The name of the shadow of `key`, or empty.
  Orvel::String shadowName(const HwShadowKey& key) const {
    auto it = shadows_.find(key);
    return it == shadows_.end() ? Orvel::String() : it->second->name();
  }
  virtual std::uint32_t entryDataMaxSize() const = 0;
  virtual std::uint32_t entryDataMaxSizeBits() const = 0;

  const std::vector<Hardware::Block>& tableBlocks() const noexcept { return blocks_; }
  void tableBlocksIs(Hardware::Block block) { blocks_.push_back(block); }

  const Orvel::Ptr<BcmGroupAddrInfo>& tableDescriptor() const noexcept { return tableDescriptor_; }
  void tableDescriptorIs(Orvel::Ptr<BcmGroupAddrInfo> descriptor) noexcept { tableDescriptor_ = std::move(descriptor); }

  std::uint8_t shadowDownloadOnInit() const noexcept { return shadowDownloadOnInit_; }
  void shadowDownloadOnInitIs(std::uint8_t v) noexcept { shadowDownloadOnInit_ = v; }
  std::uint8_t shadowAuditable() const noexcept { return shadowAuditable_; }
  void shadowAuditableIs(std::uint8_t v) noexcept { shadowAuditable_ = v; }
  ShadowMode shadowMode() const noexcept { return shadowMode_; }
  void shadowModeIs(ShadowMode v) noexcept { shadowMode_ = v; }
  std::uint32_t entriesPerWrite() const noexcept { return entriesPerWrite_; }
  void entriesPerWriteIs(std::uint32_t v) noexcept { entriesPerWrite_ = v; }
  bool standalone() const noexcept { return standalone_; }
  void standaloneIs(bool v) noexcept { standalone_ = v; }

 private:
  Orvel::String name_;
  HwTableKey key_;
  Orvel::Ptr<TableManager> tableManager_;
  Orvel::Ptr<BcmGroupAddrInfo> tableDescriptor_;
  std::vector<Hardware::Block> blocks_;
  HwTableStats stats_;
  std::unordered_map<HwShadowKey, Orvel::Ptr<HwShadowBase>> shadows_;
  std::uint8_t shadowDownloadOnInit_ = 0;
  std::uint8_t shadowAuditable_ = 0;
  ShadowMode shadowMode_ = ShadowMode::none;
  std::uint32_t entriesPerWrite_ = 0;
  bool standalone_ = false;
};

class HwCommonShadowTableBase : public HwCommonTableBase {
 public:
  using HwCommonTableBase::HwCommonTableBase;
  virtual bool hasParitySupport() const { return false; }

  // Applies the table manager's settings to the shadow attributes the table
  // has just set: a manager with audits disabled turns shadowAuditable off.
  void overrideShadowAttributes();
};

class HwDirectTableBase : public HwCommonShadowTableBase {
 public:
  HwDirectTableBase(Orvel::String name, HwTableKey key, Orvel::Ptr<TableManager> tableManager)
      : HwCommonShadowTableBase(std::move(name), std::move(key), std::move(tableManager)) {}

  // Records the table's chip blocks with the table manager under its key.
  void addHwTableShadowInfo();
  // Removes what addHwTableShadowInfo recorded.
  void delHwTableShadowInfo();
};

}  // namespace VovuAsicUtils
