#include "VovuAsicUtils/HwTableHolderContext.h"

#include <algorithm>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "VovuAsicUtils/HwTableBase.h"
#include "VovuAsicUtils/HwTableReaderBase.h"

namespace VovuAsicUtils {
namespace {

template <class List>
auto findKey(List& list, const HwTableKey& key) {
  return std::find_if(list.begin(), list.end(), [&](const auto& r) { return r.key == key; });
}

template <class Registration>
std::optional<Registration> findCopy(const std::vector<Registration>& list, const HwTableKey& key) {
  auto it = findKey(list, key);
  if (it == list.end()) return std::nullopt;
  return *it;
}

}  // namespace

HwTableHolderContext* HwTableHolderContext::singleton() {
  static HwTableHolderContext context;
  return &context;
}

void HwTableHolderContext::registerHwTableFactory(const Orvel::String& pluginName, const HwTableKey& key,
                                                  HwTableFactory factory, const Orvel::String& tag) {
  std::lock_guard lock(mutex_);
  if (findKey(tableFactories_, key) != tableFactories_.end()) {
    throw Orvel::InvalidInitializeException(fmt::format("a table factory for {} is already registered", key));
  }
  tableFactories_.push_back({pluginName, key, std::move(factory), tag});
}

void HwTableHolderContext::registerHwReaderFactory(const HwTableKey& key, HwReaderFactory factory) {
  std::lock_guard lock(mutex_);
  if (findKey(readerFactories_, key) != readerFactories_.end()) {
    throw Orvel::InvalidInitializeException(fmt::format("a reader factory for {} is already registered", key));
  }
  readerFactories_.push_back({key, std::move(factory)});
}

void HwTableHolderContext::unregisterHwTableFactory(const HwTableKey& key) {
  std::lock_guard lock(mutex_);
  if (auto it = findKey(tableFactories_, key); it != tableFactories_.end()) tableFactories_.erase(it);
}

void HwTableHolderContext::unregisterHwReaderFactory(const HwTableKey& key) {
  std::lock_guard lock(mutex_);
  if (auto it = findKey(readerFactories_, key); it != readerFactories_.end()) readerFactories_.erase(it);
}

std::vector<HwTableHolderContext::TableFactoryRegistration> HwTableHolderContext::hwTableFactories() const {
  std::lock_guard lock(mutex_);
  return tableFactories_;
}

std::vector<HwTableHolderContext::ReaderFactoryRegistration> HwTableHolderContext::hwReaderFactories() const {
  std::lock_guard lock(mutex_);
  return readerFactories_;
}

std::optional<HwTableHolderContext::TableFactoryRegistration> HwTableHolderContext::hwTableFactory(
    const HwTableKey& key) const {
  std::lock_guard lock(mutex_);
  return findCopy(tableFactories_, key);
}

std::optional<HwTableHolderContext::ReaderFactoryRegistration> HwTableHolderContext::hwReaderFactory(
    const HwTableKey& key) const {
  std::lock_guard lock(mutex_);
  return findCopy(readerFactories_, key);
}

Orvel::Ptr<HwCommonTableBase> HwTableHolderContext::hwTableCreate(
    const HwTableKey& key, const Orvel::Ptr<TableManager>& tableManager,
    const Orvel::Ptr<VovuMdb::TableManager>& mdbTableManager) const {
  auto registration = hwTableFactory(key);
  if (!registration) {
    throw Orvel::InvalidInitializeException(fmt::format("no table factory is registered for {}", key));
  }
  return registration->factory(key.fapRevision(), tableManager, mdbTableManager);
}

Orvel::Ptr<HwTableReaderBase> HwTableHolderContext::hwReaderCreate(
    const HwTableKey& key, const Orvel::Ptr<ReadTableManager>& readTableManager) const {
  auto registration = hwReaderFactory(key);
  if (!registration) {
    throw Orvel::InvalidInitializeException(fmt::format("no reader factory is registered for {}", key));
  }
  return registration->factory(key.fapRevision(), readTableManager);
}

}  // namespace VovuAsicUtils
