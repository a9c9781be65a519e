// VovuAsicUtils::HwTableHolderContext: the host's registry of table and reader
// factories, keyed by HwTableKey.
//
// Plug-ins register while they load (readers) and while the loader runs their
// init callers (tables); the host looks factories up by key to create table
// objects and readers. Registering a key twice is refused with
// Orvel::InvalidInitializeException; a plug-in unregisters its keys when it is
// destroyed, so the registry never holds calls into unloaded code.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "Orvel/Ptr.h"
#include "Orvel/String.h"
#include "VovuAsicUtils/HwTableKey.h"

namespace VovuMdb {
class TableManager;
}

namespace VovuAsicUtils {

class HwCommonTableBase;
class HwTableReaderBase;
class TableManager;
class ReadTableManager;

using HwTableFactory = std::function<Orvel::Ptr<HwCommonTableBase>(const FapRevision&, const Orvel::Ptr<TableManager>&,
                                                                   const Orvel::Ptr<VovuMdb::TableManager>&)>;
using HwReaderFactory =
    std::function<Orvel::Ptr<HwTableReaderBase>(const FapRevision&, const Orvel::Ptr<ReadTableManager>&)>;

class HwTableHolderContext {
 public:
  struct TableFactoryRegistration {
    Orvel::String pluginName;
    HwTableKey key;
    HwTableFactory factory;
    Orvel::String tag;
  };
  struct ReaderFactoryRegistration {
    HwTableKey key;
    HwReaderFactory factory;
  };

  static HwTableHolderContext* singleton();

  void registerHwTableFactory(const Orvel::String& pluginName, const HwTableKey& key, HwTableFactory factory,
                              const Orvel::String& tag);
  void registerHwReaderFactory(const HwTableKey& key, HwReaderFactory factory);
  void unregisterHwTableFactory(const HwTableKey& key);
  void unregisterHwReaderFactory(const HwTableKey& key);

  // Registrations in the order they were made.
  std::vector<TableFactoryRegistration> hwTableFactories() const;
  std::vector<ReaderFactoryRegistration> hwReaderFactories() const;
  std::optional<TableFactoryRegistration> hwTableFactory(const HwTableKey& key) const;
  std::optional<ReaderFactoryRegistration> hwReaderFactory(const HwTableKey& key) const;

  // Calls the factory registered for `key`; throws Orvel::InvalidInitializeException when there is none.
  Orvel::Ptr<HwCommonTableBase> hwTableCreate(const HwTableKey& key, const Orvel::Ptr<TableManager>& tableManager,
                                              const Orvel::Ptr<VovuMdb::TableManager>& mdbTableManager) const;
  Orvel::Ptr<HwTableReaderBase> hwReaderCreate(const HwTableKey& key,
                                               const Orvel::Ptr<ReadTableManager>& readTableManager) const;

 private:
  mutable std::mutex mutex_;
  std::vector<TableFactoryRegistration> tableFactories_;
  std::vector<ReaderFactoryRegistration> readerFactories_;
};

}  // namespace VovuAsicUtils
