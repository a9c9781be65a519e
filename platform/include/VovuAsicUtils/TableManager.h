// The host's table managers.
//
// VovuAsicUtils::TableManager keeps the table objects the host created, keyed
// by HwTableKey (plain pointers: a table removes itself when it is destroyed),
// and the shadow information that direct tables register: which chip blocks
// the shadows of each table occupy. ReadTableManager and VovuMdb::TableManager
// are the read-back and database managers handed to factories.
#pragma once

#include <map>
#include <vector>

#include "Hardware/ChipType.h"
#include "Orvel/Node.h"
#include "VovuAsicUtils/HwTableKey.h"

namespace VovuAsicUtils {

class HwCommonTableBase;

class TableManager : public Orvel::Node {
 public:
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
  std::map<HwTableKey, HwCommonTableBase*> hwTableColl_;
  struct ShadowInfo {
    std::vector<Hardware::Block> blocks;
    std::vector<const void*> owners;
  };
  std::map<HwTableKey, ShadowInfo> shadowInfo_;
  bool auditsDisabled_ = false;
};

class ReadTableManager : public Orvel::Node {};

}  // namespace VovuAsicUtils

namespace VovuMdb {
class TableManager : public Orvel::Node {};
}  // namespace VovuMdb
