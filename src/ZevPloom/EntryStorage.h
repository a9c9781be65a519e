// ZevPloom::EntryStorage<Entry>: the entity that owns one shadow's entry
// collection. Every table's Shadow::EntryStorage is this template over the
// table's Entry.
//
// It is the only way a table driver reads or changes its shadow: it looks
// entries up, writes and removes them through its map's current endpoint
// (ZevPloomMap), counts each operation ("entryCollIs", "entryCollDel",
// "entryCollNotify" of a counter writer of the default group, number 245) and
// publishes every change as attribute 258 (entryColl) with the entry's key.
// Corruption reported by the collection never reaches the caller: reads and
// iterations turn it into "not found" or "end" after reporting it; writes
// report it and end the process ("in no man's land") if the report returns.
// Any other exception passes through unchanged, with nothing published.
//
// Life: the host mounts the storage (constructs it through the table's
// factory, sets its parent, inits its collection); when it loses its parent it
// detaches its collection; when its last user goes, its collection control
// takes it over (onZeroReferences) and releases it when the control goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>

#include <cxxabi.h>

#include <fmt/format.h>

#include "Orvel/Exception.h"
#include "Orvel/Format.h"
#include "Zev/Counters.h"
#include "ZevPloom/Mount.h"
#include "ZevPloom/ZevPloomMap.h"

namespace ZevPloom {

inline constexpr std::uint32_t kEntryCollAttribute = 258;
inline constexpr std::uint32_t kEntryCollControlAttribute = 259;
inline constexpr std::uint32_t kEntryStorageCounterNumber = 245;

template <class Entry>
class EntryStorage : public ZevPloom::Entity {
 public:
  using EntryKey = typename Entry::EntryKey;
  using Map = ZevPloomMap<Entry>;

  // Told when the storage has no users left; not an attribute subscriber.
  class ZeroReferencesNotifiee final : public Zev::NotifieeConst {
   public:
    explicit ZeroReferencesNotifiee(EntryStorage* storage) : storage_(storage) {}
    bool attributeSubscriber() const noexcept override { return false; }
    void onZeroReferences() override { storage_->onZeroReferences(); }

   private:
    EntryStorage* storage_;
  };

  // The type defaults of the table: every failed look-up and removal returns this entry.
  static const Entry& typeDefault() {
    static const Entry entry{};
    return entry;
  }
  static const EntryKey& typeDefaultKey() {
    static const EntryKey key{};
    return key;
  }

  explicit EntryStorage(const Orvel::String& name) : ZevPloom::Entity(name), map_(*this, "entryColl") {
    typeDefault();
    typeDefaultKey();
    counters_ = Zev::CounterWriter::counterWriter(Zev::kDefaultCounterGroup, kEntryStorageCounterNumber);
    entryCollIsCount_ = counters_->counterIs("entryCollIs");
    entryCollDelCount_ = counters_->counterIs("entryCollDel");
    entryCollNotifyCount_ = counters_->counterIs("entryCollNotify");
    zeroReferencesNotifiee_ = Orvel::Ptr<ZeroReferencesNotifiee>(new ZeroReferencesNotifiee(this));
    publisher().subscriberIs(zeroReferencesNotifiee_.ptr());
    zeroReferencesNotifiee_->isRegisteredNotifieeIs(true);
    entryCollControl_ = Orvel::Ptr<CollectionControl>(new CollectionControl);
    control_ = entryCollControl_.ptr();
    map_.notifyIs(makeNotify<EntryKey, Entry>(*this, &EntryStorage::entryCollNotify,
                                              &EntryStorage::entryCollNotifyMountStatus,
                                              &EntryStorage::entryCollNotifyQuiesced));
    ORVEL_TRACE(map_.debugHandler(), 5, "ZevPloomMap", "creating local PloomWriter {}", map_.path());
    map_.createLocalWriter();
    flagIs(kLiveFlag, true);
  }

  ~EntryStorage() override {
    flagIs(kLiveFlag, false);
    entryCollControl_ = nullptr;
    ORVEL_TRACE(map_.debugHandler(), 2, "ZevPloomMap", "deleting state");
  }

  // The entry stored under `key`, or the type default.
  Entry entryColl(const EntryKey& key) const {
    try {
      bool found = false;
      const Entry* value = map_.writer().lookup(key, found, nullptr);
      return found && value ? *value : typeDefault();
    } catch (const Orvel::CorruptionDetectedException& e) {
      map_.doCorruptionDetected(e.what());
      return typeDefault();
    }
  }

  // Inserts `entry` or replaces the entry with its key.
  void entryCollIs(const Entry& entry) {
    ++*entryCollIsCount_;
    try {
      map_.writer().write(entry, true);
    } catch (const Orvel::CorruptionDetectedException& e) {
      noMansLand(e, "safeWrite");
    }
    entryCollNotify(entry.entryKey());
  }

  // Removes `key`; returns the removed entry, or the type default (and
  // publishes nothing) when the key was absent.
  Entry entryCollDel(const EntryKey& key) {
    ++*entryCollDelCount_;
    bool removed = false;
    try {
      removed = map_.writer().remove(key, map_.removalScratch());
    } catch (const Orvel::CorruptionDetectedException& e) {
      noMansLand(e, "safeRemove");
    }
    if (!removed) return typeDefault();
    entryCollNotify(key);
    return map_.removalScratch();
  }

  // Removes every entry: counted and published one by one when anybody
  // subscribes to the storage, silently otherwise.
  void entryCollDelAll() {
    Ploom::IterHint hint{};
    Entry value = typeDefault();
    try {
      if (!map_.writer().first(value, hint)) return;
    } catch (const Orvel::CorruptionDetectedException& e) {
      map_.doCorruptionDetected(e.what());
      return;
    }
    const bool published = publisher().hasSubscribers();
    for (;;) {
      const EntryKey key = value.entryKey();
      if (published) {
        entryCollDel(key);
      } else {
        try {
          map_.writer().remove(key, map_.removalScratch());
        } catch (const Orvel::CorruptionDetectedException& e) {
          noMansLand(e, "safeRemove");
        }
      }
      try {
        if (!map_.writer().next(key, value, hint)) return;
      } catch (const Orvel::CorruptionDetectedException& e) {
        map_.doCorruptionDetected(e.what());
        return;
      }
    }
  }

  // Commits pending direct writes and publishes the entry's key. Without an
  // entry there is no key to publish: Orvel::RangeException, and the pending
  // writes stay pending for the commit that names their entry.
  void entryCollCommit(const Entry* entry) {
    if (!entry) {
      throw Orvel::RangeException(fmt::format("{}: entryCollCommit without an entry not allowed", map_.path()));
    }
    try {
      map_.writer().directCommit();
    } catch (const Orvel::CorruptionDetectedException& e) {
      noMansLand(e, "directCommit");
    }
    entryCollNotify(entry->entryKey());
  }

  // Publishes a change of entryColl for `key`.
  void entryCollNotify(const EntryKey& key) {
    publisher().publish(kEntryCollAttribute, &key);
    ++*entryCollNotifyCount_;
  }
  void entryCollNotifyMountStatus() {
    ORVEL_TRACE(map_.debugHandler(), 5, "ZevPloomMap", "{}", map_.writer().rootPath());
    ZevSharedMem::CollectionControl::mountStatusIs(control_, static_cast<std::uint8_t>(map_.writer().mountStatus()));
  }
  void entryCollNotifyQuiesced(bool quiesced) { CollectionControl::quiescedIs(control_, quiesced); }

  const Orvel::Ptr<CollectionControl>& entryCollControl() const noexcept { return entryCollControl_; }
  // Replaces the control; an equal one changes and publishes nothing. Reports
  // go to the new control from now on (the previous one may go away).
  void entryCollControlIs(const Orvel::Ptr<CollectionControl>& control) {
    if (control == entryCollControl_) return;
    Orvel::Ptr<CollectionControl> previous = entryCollControl_;
    entryCollControl_ = control;
    control_ = control.ptr();
    publisher().publish(kEntryCollControlAttribute, nullptr, true);
  }
  CollectionControl* control() const noexcept { return control_; }

  // Opens the mounted collection (the host's mount calls this).
  void collectionInit(const Orvel::String& collectionName, const Mem::CollectionDescriptor& descriptor) override {
    if (collectionName != map_.collectionName()) {
      throw Orvel::InvalidInitializeException(
          fmt::format("no collection {} in {}", collectionName.view(), map_.path()));
    }
    map_.init(descriptor);
  }

  // Whether the storage's collection is open: from the mount's init until the
  // storage loses its parent (an unmount), which detaches the collection.
  bool mounted() const noexcept { return map_.initialized(); }

  Map& map() noexcept { return map_; }
  const Map& map() const noexcept { return map_; }
  std::uint64_t entryCollIsCount() const noexcept { return *entryCollIsCount_; }
  std::uint64_t entryCollDelCount() const noexcept { return *entryCollDelCount_; }
  std::uint64_t entryCollNotifyCount() const noexcept { return *entryCollNotifyCount_; }

  // The demangled name of the storage's class.
  std::string classType() const {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(*this).name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? name.get() : typeid(*this).name();
  }

  // Iteration over the storage's collection: IteratorConst(storage.map()).
  using IteratorConst = typename Map::IteratorConst;

 protected:
  void handleParent(const Orvel::Ptr<Zev::Entity>& /*parent*/) override { map_.handleParent(); }

 private:
  // Hands the storage to its control, which keeps it from now on. The storage
  // forgets the control: it no longer holds it, and a user who takes the
  // storage back from the control may outlive it. Reports then go nowhere.
  void onZeroReferences() {
    ZevSharedMem::CollectionControl::entityRefIs(control_, Orvel::Ptr<Zev::Entity>(this));
    Orvel::Ptr<ZeroReferencesNotifiee> notifiee = zeroReferencesNotifiee_;
    control_ = nullptr;
    entryCollControl_ = nullptr;
    publisher().subscriberDel(notifiee.ptr());
    notifiee->isRegisteredNotifieeIs(false);
  }

  // A corruption report returned where it must not: the process ends.
  [[noreturn]] void noMansLand(const Orvel::CorruptionDetectedException& e, const char* function) {
    map_.doCorruptionDetected(e.what());
    Orvel::fmassert("false", "PloomMap", function, __LINE__, "in no man's land");
  }

  std::unique_ptr<Zev::CounterWriter> counters_;
  std::uint64_t* entryCollIsCount_ = nullptr;
  std::uint64_t* entryCollDelCount_ = nullptr;
  std::uint64_t* entryCollNotifyCount_ = nullptr;
  Orvel::Ptr<ZeroReferencesNotifiee> zeroReferencesNotifiee_;
  Map map_;
  Orvel::Ptr<CollectionControl> entryCollControl_;
  CollectionControl* control_ = nullptr;
};

}  // namespace ZevPloom
