// The host's table managers.
//
// VovuAsicUtils::TableManager keeps the table objects the host created, keyed
// by HwTableKey (plain pointers: a table removes itself when it is destroyed),
// and the shadow information that direct tables register: which chip blocks
// the shadows of each table occupy. ReadTableManager and VovuMdb::TableManager
// are the read-back and database managers handed to factories.
//
// A table manager also supplies what every shadow of its tables shares: the
// chip status, the cmdlet-required status, the DMA memory pool manager, the
// state-database entity manager (Tolvane::kShadowStateEntityManager unless
// named) and the register entry storage of the register tables.
#pragma once

#include <map>
#include <vector>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "Hardware/ChipType.h"
#include "Hardware/Vovu/Status.h"
#include "Orvel/Node.h"
#include "Orvel/Ptr.h"
#include "Tolvane/EntityManager.h"
#include "VovuAsicUtils/HwTableKey.h"
#include "VovuAsicUtils/RegShadowEntryStorage.h"

namespace VovuAsicUtils {

class HwCommonTableBase;

class TableManager : public Orvel::Node {
 public:
  explicit TableManager(Orvel::String entityManagerName = Tolvane::kShadowStateEntityManager);

  const Orvel::Ptr<Hardware::Vovu::Status>& status() const noexcept { return status_; }
  const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus() const noexcept {
    return cmdletRequiredStatus_;
  }
  const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager() const noexcept {
    return dmaMemPoolManager_;
  }
  const Orvel::Ptr<Tolvane::EntityManager>& entityManager() const noexcept { return entityManager_; }
  const Orvel::Ptr<RegShadowEntryStorage>& regShadowEntryStorage() const noexcept { return regShadowEntryStorage_; }

  // The table held under `key`, or null.
  HwCommonTableBase* hwTableColl(const HwTableKey& key) const;
  // Holds `table` under its own key, replacing what was there.
  void hwTableCollIs(HwCommonTableBase* table);
  void hwTableCollDel(const HwTableKey& key);
  std::size_t hwTableCollSize() const noexcept { return hwTableColl_.size(); }

  // The blocks recorded under `key`, or null. Each table object records
  // itself as an owner and removes only itself; the record lasts while any
  // owner lives, so a second table object with the same key (built by a free
  // factory) does not remove the information of the one the host holds.
  const std::vector<Hardware::Block>* hwTableShadowInfo(const HwTableKey& key) const;
  void hwTableShadowInfoIs(const HwTableKey& key, std::vector<Hardware::Block> blocks, const void* owner);
  void hwTableShadowInfoDel(const HwTableKey& key, const void* owner);
  std::size_t hwTableShadowInfoSize() const noexcept { return shadowInfo_.size(); }

  // When set, tables created from now on take no part in audits (see
  // HwCommonShadowTableBase::overrideShadowAttributes).
  bool auditsDisabled() const noexcept { return auditsDisabled_; }
  void auditsDisabledIs(bool disabled) noexcept { auditsDisabled_ = disabled; }

 private:
  Orvel::Ptr<Hardware::Vovu::Status> status_;
  Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus_;
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager_;
  Orvel::Ptr<Tolvane::EntityManager> entityManager_;
  Orvel::Ptr<RegShadowEntryStorage> regShadowEntryStorage_;
  std::map<HwTableKey, HwCommonTableBase*> hwTableColl_;
  struct ShadowInfo {
    std::vector<Hardware::Block> blocks;
    std::vector<const void*> owners;
  };
  std::map<HwTableKey, ShadowInfo> shadowInfo_;
  bool auditsDisabled_ = false;
};

// The host's manager of table reads: it supplies the DMA memory the read
// commands answer into and the cmdlet-required status they carry.
class ReadTableManager : public Orvel::Node {
 public:
  ReadTableManager()
      : dmaMemPoolManager_(new DmaMemPoolManager::DmaMemPoolManager),
        cmdletRequiredStatus_(new Hardware::Vovu::VovuCmdletRequiredStatus) {}
  const Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager>& dmaMemPoolManager() const noexcept {
    return dmaMemPoolManager_;
  }
  const Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus>& cmdletRequiredStatus() const noexcept {
    return cmdletRequiredStatus_;
  }

 private:
  Orvel::Ptr<DmaMemPoolManager::DmaMemPoolManager> dmaMemPoolManager_;
  Orvel::Ptr<Hardware::Vovu::VovuCmdletRequiredStatus> cmdletRequiredStatus_;
};

}  // namespace VovuAsicUtils

namespace VovuMdb {
class TableManager : public Orvel::Node {};
}  // namespace VovuMdb
