// ZevPloom::ZevPloomMap: a collection bound to the entity that owns it.
//
// The map's path is the owning entity's name, a slash and the collection name;
// handleParent re-forms it from the entity's full name once the entity has a
// parent. Until the host mounts the entity (init with a collection
// descriptor), the map's endpoint is a local temporary writer in process
// memory named by the path; init replaces it with the shared-memory writer.
// An entity that loses its parent is an orphan: its collection is detached
// and a placeholder takes over (reads find nothing, writes are refused); the
// placeholder also stands in whenever the map has no endpoint at all.
//
// Changes the collection reports reach the owner through the notification
// bundle: keys a local index (reader modes 1 and 3) sees change, the mount
// status when the writer is ready, and the writer's quiesced state.
//
// Two flags are kept apart: parented() (set by the first handleParent with a
// parent; a second one is an error) and initialized() (the mount's init).
#pragma once

#include <memory>
#include <string>

#include <fmt/format.h>

#include "Mem/CollectionDescriptor.h"
#include "Mem/Notify.h"
#include "Orvel/Exception.h"
#include "Ploom/PloomMap.h"
#include "Zev/Entity.h"

namespace ZevPloom {

// Builds the bundle that turns every collection event into one of the owner's
// three handlers: value and key changes go to the key handler with the key.
template <class Key, class V, class Owner>
Mem::Notify<Key, V> makeNotify(Owner& owner, void (Owner::*keyHandler)(const Key&), void (Owner::*mountHandler)(),
                               void (Owner::*quiescedHandler)(bool)) {
  Mem::Notify<Key, V> notify;
  notify.valueChanged = [&owner, keyHandler](const V& value, const V*) { (owner.*keyHandler)(value.entryKey()); };
  notify.keyChanged = [&owner, keyHandler](const Key& key) { (owner.*keyHandler)(key); };
  notify.keyChangedWithOld = [&owner, keyHandler](const Key& key, const V*) { (owner.*keyHandler)(key); };
  notify.mountStatusChanged = [&owner, mountHandler] { (owner.*mountHandler)(); };
  notify.quiescedChanged = [&owner, quiescedHandler](bool quiesced) { (owner.*quiescedHandler)(quiesced); };
  return notify;
}

template <Ploom::CollectionValue V>
class ZevPloomMap : public Ploom::PloomMap<V> {
 public:
  using Key = typename V::EntryKey;
  using Base = Ploom::PloomMap<V>;

  static constexpr double kDefaultYieldTime = 0.05;

  explicit ZevPloomMap(Zev::Entity& entity, std::string collectionName)
      : Base("", "PloomTemp"), entity_(entity), collectionName_(std::move(collectionName)) {
    this->collectionPathIs(fmt::format("{}/{}", Zev::fetchName(entity_).view(), collectionName_));
  }

  const std::string& path() const noexcept { return this->collName(); }
  const std::string& collectionName() const noexcept { return collectionName_; }
  bool parented() const noexcept { return parented_; }
  V& removalScratch() noexcept { return removalScratch_; }

  void notifyIs(Mem::Notify<Key, V> notify) {
    notify_ = std::move(notify);
    this->readyCallbackIs([this] {
      if (notify_.mountStatusChanged) notify_.mountStatusChanged();
    });
    this->quiescedCallbackIs([this](bool quiesced) {
      if (notify_.quiescedChanged) notify_.quiescedChanged(quiesced);
    });
    this->keyChangedIs([this](const Key& key) {
      if (notify_.keyChanged) notify_.keyChanged(key);
    });
  }
  const Mem::Notify<Key, V>& notify() const noexcept { return notify_; }

  // The endpoint every entry operation goes through.
  Ploom::PloomInterface<V>& writer() const {
    if (Ploom::PloomInterface<V>* endpoint = this->endpoint()) return *endpoint;
    return placeholder_;
  }

  // A fresh local temporary writer named by the current path becomes the endpoint.
  void createLocalWriter() { this->localWriterIs(Base::createDefaultLocalWriter(this->debugHandler(), path())); }

  // The owning entity's parent was set or cleared.
  void handleParent() {
    const std::string old = path();
    const Orvel::String name = Zev::fetchName(entity_);
    const Orvel::String base = entity_.parent() ? ZevSharedMem::Util::fullName(entity_, name) : name;
    this->collectionPathIs(fmt::format("{}/{}", base.view(), collectionName_));
    if (!entity_.parent()) {
      ORVEL_TRACE(this->debugHandler(), 5, "ZevPloomMap", "{} is now an orphan", path());
      orphanAssertion_ = descriptor_.assertOnOrphanAccess;
      controlDetach();
      return;
    }
    if (parented_) {
      throw Orvel::InvalidInitializeException(fmt::format("Entity {} already initialized", name.view()));
    }
    parented_ = true;
    ORVEL_TRACE(this->debugHandler(), 5, "ZevPloomMap", "old:{} new:{}", old, path());
    createLocalWriter();
  }

  // The mount's init: opens the shared-memory collection under the current
  // path as the descriptor says; the local temporary writer is dropped.
  void init(const Mem::CollectionDescriptor& descriptor) {
    if (orphanAssertion_) {
      Orvel::fmassert("!orphanAssertion", __FILE__, __func__, __LINE__,
                      "Re-initializing a collection that has already become an orphan and has "
                      "assertOnOrphanAccess set");
    }
    descriptor_ = descriptor;
    Ploom::MapDescriptor d;
    d.capacity = descriptor.capacity;
    d.mode = static_cast<Ploom::MapMode>(descriptor.mode);
    d.fixedSize = descriptor.fixedSize;
    d.shrinkSlots = descriptor.shrinkSlots;
    d.shrinkBuckets = descriptor.shrinkBuckets;
    d.criticalTaskCheck = descriptor.criticalTaskCheck;
    Base::init(d);
  }

  void yieldTimeIs(double seconds) {
    yieldTime_ = seconds;
    writer().yieldTimeIs(seconds);
  }

  // Detaches the collection and puts the placeholder in its place.
  void controlDetach() {
    Base::detach(true);
    this->installDummy();
  }

  // Iterates the collection in its own order; a corruption reported by the
  // collection ends the iteration.
  class IteratorConst {
   public:
    explicit IteratorConst(const ZevPloomMap& map) : map_(map) {
      guard([&] { valid_ = map_.writer().first(value_, hint_); });
    }
    // Starts at `key` when present, else at the entry that follows it.
    IteratorConst(const ZevPloomMap& map, const Key& key) : map_(map) {
      guard([&] {
        bool found = false;
        const V* v = map_.writer().lookup(key, found, nullptr);
        if (found && v) {
          value_ = *v;
          valid_ = true;
        } else {
          valid_ = map_.writer().next(key, value_, hint_);
        }
      });
    }
    bool valid() const noexcept { return valid_; }
    const V& value() const noexcept { return value_; }
    void advance() {
      const Key key = value_.entryKey();
      guard([&] { valid_ = map_.writer().next(key, value_, hint_); });
    }

   private:
    template <class F>
    void guard(F&& step) {
      try {
        step();
      } catch (const Orvel::CorruptionDetectedException& e) {
        map_.doCorruptionDetected(e.what());
        valid_ = false;
      }
    }

    const ZevPloomMap& map_;
    Ploom::IterHint hint_{};
    V value_{};
    bool valid_ = false;
  };

  bool validateFiles(const std::string& name, std::uint32_t flags) {
    ORVEL_TRACE(this->debugHandler(), 5, "ZevPloomMap", "delegating to PloomMap::validateFiles");
    return Base::validateFiles(name, flags);
  }

 private:
  Zev::Entity& entity_;
  std::string collectionName_;
  Mem::Notify<Key, V> notify_;
  mutable Ploom::PloomDummy<V> placeholder_{"none", ""};
  double yieldTime_ = kDefaultYieldTime;
  V removalScratch_{};
  bool orphanAssertion_ = false;
  bool parented_ = false;
  Mem::CollectionDescriptor descriptor_;
};

}  // namespace ZevPloom
