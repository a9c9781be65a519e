// Ploom::PloomMap: the object through which an owner (a shadow's entry
// storage) holds one collection. According to its descriptor it creates the
// writer (this process owns the files), a local writer (process-local memory),
// or, for the reader modes, a placeholder until a reader attaches. Most
// operations forward to the current endpoint.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "Mem/OrlRootPath.h"
#include "Mem/ReaderSentry.h"
#include "Mem/Util.h"
#include "Orvel/DebugHandler.h"
#include "Ploom/MapDescriptor.h"
#include "Ploom/PloomDummy.h"
#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"
#include "Ploom/PloomWriter.h"

namespace Ploom {

// What PloomMap has apart from its value type.
class PloomMapBase {
 public:
  enum class Event { flushComplete };
  static constexpr Event eventFlushComplete_ = Event::flushComplete;

  using EventSink = std::function<void(Event)>;
  using Callback = std::function<void()>;
  using NotifyingCallback = std::function<void(bool)>;
  using QuiescedCallback = std::function<void(bool)>;

  explicit PloomMapBase(std::string collectionPath)
      : collectionPath_(std::move(collectionPath)),
        dh_(std::make_unique<Orvel::Platform::DebugHandler>(collectionPath_)) {}
  // A map whose debug handler has its own name; the path is set later.
  PloomMapBase(std::string collectionPath, const char* debugHandlerName)
      : collectionPath_(std::move(collectionPath)),
        dh_(std::make_unique<Orvel::Platform::DebugHandler>(debugHandlerName)) {}
  virtual ~PloomMapBase() = default;

  const std::string& collName() const noexcept { return collectionPath_; }
  // Renames the collection; only before init (the endpoint keeps its own name).
  void collectionPathIs(std::string path) { collectionPath_ = std::move(path); }
  const MapDescriptor& descriptor() const noexcept { return descriptor_; }
  MapMode mode() const noexcept { return descriptor_.mode; }
  bool localMem() const noexcept { return descriptor_.local; }
  bool initialized() const noexcept { return initialized_; }
  bool notifying() const noexcept { return notifying_; }
  std::string rootPath() const { return Mem::OrlRootPath(collectionPath_).path(); }
  const Orvel::Platform::DebugHandler& debugHandler() const noexcept { return *dh_; }

  void eventSinkIs(EventSink sink) { eventSink_ = std::move(sink); }
  void readyCallbackIs(Callback callback) { ready_ = std::move(callback); }
  void flushCompleteCallbackIs(Callback callback) { flushComplete_ = std::move(callback); }
  void notifyingCallbackIs(NotifyingCallback callback) { notifyingCallback_ = std::move(callback); }
  // Told when the writer's quiesced state changes.
  void quiescedCallbackIs(QuiescedCallback callback) { quiescedCallback_ = std::move(callback); }

  // A corruption found while operating on the mounted collection: the marker
  // file "corruption-detected" is written in the root directory (the next
  // writer removes it after a successful attach) and the text traced.
  void doCorruptionDetected(const std::string& text) const {
    if (!descriptor_.local) {
      std::ofstream(Mem::OrlRootPath(collectionPath_).file(kCorruptionFile)) << text << '\n';
    }
    ORVEL_TRACE(*dh_, 0, "PloomMap", "corruption detected in {}: {}", collectionPath_, text);
  }

 protected:
  std::string collectionPath_;
  std::unique_ptr<Orvel::Platform::DebugHandler> dh_;
  MapDescriptor descriptor_;
  bool initialized_ = false;
  bool notifying_ = false;
  double yieldTime_ = 0;
  EventSink eventSink_;
  Callback ready_;
  Callback flushComplete_;
  NotifyingCallback notifyingCallback_;
  QuiescedCallback quiescedCallback_;
};

template <CollectionValue V>
class PloomMap : public PloomMapBase {
 public:
  using Key = typename V::EntryKey;
  using KeyCallback = std::function<void(const Key&)>;

  explicit PloomMap(std::string collectionPath) : PloomMapBase(std::move(collectionPath)) {}
  PloomMap(std::string collectionPath, const char* debugHandlerName)
      : PloomMapBase(std::move(collectionPath), debugHandlerName) {}
  ~PloomMap() override {
    ORVEL_TRACE(*dh_, 5, "PloomMap", "deleting state");
    if (writer_) writer_->detach(false);
  }

  // Opens the collection as the descriptor says. Throws
  // Orvel::InvalidInitializeException with the reason when it cannot.
  void init(const MapDescriptor& descriptor) {
    if (initialized_) {
      if (descriptor_.supportsReinitWith(descriptor)) {
        ORVEL_TRACE(*dh_, 5, "PloomMap", "name:{} already initialized; current {}; incoming {}", collectionPath_,
                    descriptor_.toString(), descriptor.toString());
        return;
      }
      throw Orvel::InvalidInitializeException(
          fmt::format("name:{} failed subsequent initialize; old {}; new {}; reason: {}", collectionPath_,
                      descriptor_.toString(), descriptor.toString(), "the descriptors differ in layout"));
    }
    ORVEL_TRACE(*dh_, 1, "PloomMap", "name:{} {}", collectionPath_, descriptor.toString());
    if (descriptor.heapAllocation && !descriptor.local) {
      throw Orvel::InvalidInitializeException(fmt::format(
          "cannot initialize collection {} heap allocation in non-local mode not allowed", collectionPath_));
    }
    if (descriptor.mode == MapMode::writer && descriptor.capacity == 0) {
      throw Orvel::InvalidInitializeException(
          fmt::format("0 is not a valid initialization size for collection {} in writer mode", collectionPath_));
    }
    descriptor_ = descriptor;
    // A mounter left by an initialisation that failed half-way must be
    // detached first.
    if (sentry_) throw Orvel::InvalidInitializeException("Ploom mounter should not exist");
    if (descriptor.mode != MapMode::writer && !descriptor.local) {
      if (descriptor.mode > MapMode::shadow) {
        throw Orvel::InvalidInitializeException(
            fmt::format("not a valid reader type:{}", static_cast<std::uint32_t>(descriptor.mode)));
      }
      // Readers attach later (attach(name)); until then there is nothing to read.
      installDummy();
      startReaderSentry();
    } else {
      auto writer = std::make_unique<PloomWriter<V>>(*dh_, collectionPath_, descriptor, collectionPath_,
                                                     [this](bool quiesced) { writerQuiesced(quiesced); });
      bool ok = false;
      try {
        ok = writer->initialize(collectionPath_);
      } catch (const std::exception& e) {
        throw Orvel::InvalidInitializeException(
            fmt::format("failed to initialize collection {}: {}", collectionPath_, e.what()));
      }
      if (!ok)
        throw Orvel::InvalidInitializeException(fmt::format("failed to initialize collection {}", collectionPath_));
      writer_ = writer.get();
      impl_ = std::move(writer);
      if (!descriptor.local) Mem::Util::createControlFile(rootPath());
    }
    initialized_ = true;
    if (descriptor.mode == MapMode::writer) {
      if (notifyingCallback_) notifyingCallback_(true);
      if (ready_) ready_();
    }
  }

  // The attach of the reader modes: a reader on the writer's files, or the
  // placeholder while they cannot be read (the owner tries again later).
  bool attach(const std::string& name) {
    PLOOM_ASSERT(descriptor_.mode != MapMode::writer, "invoked for a writer");
    ORVEL_TRACE(*dh_, 5, "PloomMap", "attempting to attach {} as {}", name,
                static_cast<std::uint32_t>(descriptor_.mode));
    // Mode 2 reads the shared files directly; modes 1 and 3 keep a local index.
    std::unique_ptr<PloomInterface<V>> reader;
    if (descriptor_.mode == MapMode::reader) {
      reader = std::make_unique<PloomReader<V>>(*dh_, collectionPath_, name);
    } else {
      auto shadow = std::make_unique<PloomShadow<V>>(*dh_, collectionPath_, name);
      if (keyChanged_) {
        shadow->keyChangedIs(keyChanged_);
        shadow->keyRemovedIs(keyChanged_);
      }
      reader = std::move(shadow);
    }
    if (!reader->initialize(name)) {
      ORVEL_TRACE(*dh_, 5, "PloomMap", "initialize failed for {}", name);
      installDummy();
      return false;
    }
    writer_ = nullptr;
    impl_ = std::move(reader);
    ORVEL_TRACE(*dh_, 5, "PloomMap", "successful");
    return true;
  }

  void tryAttach() {
    if (mountStatus() != 0) {
      ORVEL_TRACE(*dh_, 5, "PloomMap", "{} is already mounted, mountStatus:{}", collectionPath_, mountStatus());
      return;
    }
    attach(collectionPath_);
    ORVEL_TRACE(*dh_, 5, "PloomMap", "mounted {} mountStatus:{}", collectionPath_, mountStatus());
  }

  // "<socket>:<pid>" of the owning writer when it is alive; empty otherwise.
  std::string owner() const {
    try {
      SharedMem::WirraInfo info;
      if (!Mem::ReaderSentry::liveOwner(Mem::OrlRootPath(collectionPath_), info)) return "";
      return fmt::format("{}:{}", info.socketName, info.pid);
    } catch (const std::exception& e) {
      ORVEL_TRACE(*dh_, 1, "PloomMap", "corruption detected: {}", e.what());
      return "";
    }
  }

  // Told of every key a local index sees change or go (reader modes 1 and 3).
  void keyChangedIs(KeyCallback callback) { keyChanged_ = std::move(callback); }

  void installDummy() {
    if (impl_ && writer_) impl_->detach(false);
    writer_ = nullptr;
    impl_ = std::make_unique<PloomDummy<V>>(collectionPath_, rootPath());
  }

  void installStrictDummy(const std::string& detail = "") {
    if (impl_ && writer_) impl_->detach(false);
    writer_ = nullptr;
    impl_ = std::make_unique<PloomStrictDummy<V>>(collectionPath_, rootPath(), detail);
  }

  // A private writer in process-local memory (capacity 100) named `name`,
  // initialised with the mount name "none".
  static std::unique_ptr<PloomWriter<V>> createDefaultLocalWriter(const Orvel::Platform::DebugHandler& dh,
                                                                  const std::string& name = "none") {
    MapDescriptor d;
    d.capacity = 100;
    d.local = true;
    auto writer = std::make_unique<PloomWriter<V>>(dh, name, d, name);
    try {
      writer->initialize("none");
    } catch (const std::exception& e) {
      ORVEL_TRACE(dh, 0, "PloomMap", "local writer {}: {}", name, e.what());
      PLOOM_ASSERT(false, "unable to initialize local PloomTemporary");
    }
    return writer;
  }

  // Makes `writer` (a local writer) the map's endpoint.
  void localWriterIs(std::unique_ptr<PloomWriter<V>> writer) {
    writer_ = writer.get();
    impl_ = std::move(writer);
  }

  void notifyingIs(bool notifying) {
    PLOOM_ASSERT(initialized_, "not allowed at this time, initialized:{} keyNotifications:{}", initialized_, true);
    ORVEL_TRACE(*dh_, 5, "PloomMap", "{} notifying:{}", collectionPath_, notifying);
    notifying_ = notifying;
    if (notifyingCallback_) notifyingCallback_(notifying);
  }

  void detach(bool force) {
    sentry_.reset();
    if (impl_) impl_->detach(force);
    impl_.reset();
    writer_ = nullptr;
    initialized_ = false;
  }

  void cleanupAndDetach() {
    if (!initialized_) {
      ORVEL_TRACE(*dh_, 5, "PloomMap", "detaching uninitialized ploom:{}", collectionPath_);
      return;
    }
    if (impl_) impl_->cleanup();
    detach(false);
  }

  bool validate() { return impl_ && impl_->validate(); }
  bool validateFiles(const std::string& name, std::uint32_t) {
    ORVEL_TRACE(*dh_, 5, "PloomMap", "{} validateFiles {}", rootPath(), name);
    return impl_ && impl_->validateFiles();
  }
  void removeFiles() {
    if (writer_) writer_->removeFiles();
  }

  // Forwarding operations.
  void yieldTimeIs(double seconds) {
    ORVEL_TRACE(*dh_, 5, "PloomMap", "{} yieldTime:{}", rootPath(), seconds);
    yieldTime_ = seconds;
    if (impl_) impl_->yieldTimeIs(seconds);
  }
  bool quiesced() const {
    ORVEL_TRACE(*dh_, 5, "PloomMap", "{} type:{}", rootPath(), impl_ ? static_cast<int>(impl_->type()) : -1);
    return impl_ ? impl_->quiesced() : true;
  }
  std::uint32_t mountStatus() const { return impl_ ? impl_->mountStatus() : 0; }
  bool clientQuiesced(const std::string& readerName) const {
    ORVEL_TRACE(*dh_, 5, "PloomMap", "{} readerName:{}", rootPath(), readerName);
    if (!writer_) throw Orvel::Exception("not implemented");
    return !readerName.empty();
  }
  // The endpoint was flushed: the placeholder takes over, then the owner hears of it.
  void flushComplete() {
    installDummy();
    if (eventSink_) eventSink_(eventFlushComplete_);
    if (flushComplete_) flushComplete_();
  }
  // Checks whether the collection's writer came or went (reader modes): a
  // writer that appears is attached to when nothing is mounted yet, one that
  // goes is a disconnect. A sentry that could not start at init tries again.
  // Returns whether a live writer owns the collection.
  bool pollWriter() {
    if (!sentry_) return false;
    if (sentry_->started()) return sentry_->poll();
    try {
      sentry_->start();
    } catch (const std::exception& e) {
      ORVEL_TRACE(*dh_, 9, "PloomMap", "{} reader sentry not started: {}", collectionPath_, e.what());
    }
    return sentry_->writerAlive();
  }

  // The collection's writer went away under a local index (reader modes 1
  // and 3; any other mode is a bug): the local shadow looks at everything
  // again when a writer is back.
  void handleDisconnect() {
    ORVEL_TRACE(*dh_, 1, "PloomMap", "{}", rootPath());
    if (descriptor_.mode != MapMode::keyShadow && descriptor_.mode != MapMode::shadow) {
      Orvel::fmassert("mode", __FILE__, __func__, __LINE__, "wrong type:{}",
                      static_cast<std::uint32_t>(descriptor_.mode));
    }
    if (auto* shadow = dynamic_cast<PloomShadow<V>*>(impl_.get())) shadow->handleDisconnect();
  }

  std::uint32_t capacity() const { return impl_ ? impl_->capacity() : 0; }
  std::uint32_t maxSize() const { return impl_ ? impl_->maxSize() : 0; }
  bool connected() const { return impl_ && impl_->connected(); }
  std::uint32_t palvoId() const { return impl_ ? impl_->palvoId() : 0; }
  bool criticalTaskCheck() const { return impl_ && impl_->criticalTaskCheck(); }
  void criticalTaskCheckIs(bool check) {
    if (impl_) impl_->criticalTaskCheckIs(check);
  }
  const Writer::Counters* writerCounters() const { return writer_ ? &writer_->counters() : nullptr; }

  // The endpoint all entry operations go through.
  PloomInterface<V>* endpoint() const noexcept { return impl_.get(); }
  PloomWriter<V>* writer() const noexcept { return writer_; }

 private:
  // What the reader sentry reports, forwarded to the map on the thread that polls.
  class SentryNotifiee final : public Mem::ReaderSentryNotifiee {
   public:
    explicit SentryNotifiee(PloomMap& map) : map_(map) {}
    void writerAppeared() override { map_.tryAttach(); }
    void writerGone() override { map_.writerGone(); }

   private:
    PloomMap& map_;
  };

  void writerQuiesced(bool quiesced) {
    if (quiescedCallback_) quiescedCallback_(quiesced);
  }

  // Watches for the writer from now on. A root directory that cannot be made
  // is an error, except inside a changed root (Q7_CHROOT set), where the
  // collection's directories may be provided later by the host.
  void startReaderSentry() {
    sentryNotifiee_ = std::make_unique<SentryNotifiee>(*this);
    sentry_ = std::make_unique<Mem::ReaderSentry>(Mem::OrlRootPath(collectionPath_), *sentryNotifiee_);
    try {
      sentry_->start();
    } catch (const std::exception& e) {
      if (std::getenv("Q7_CHROOT") == nullptr) throw;
      ORVEL_TRACE(*dh_, 1, "PloomMap", "{} reader sentry not started: {}", collectionPath_, e.what());
    }
  }

  // A local index keeps its contents and follows the next writer; the plain
  // reader keeps reading the files it has, and re-attaches when a new writer
  // replaces them.
  void writerGone() {
    if (descriptor_.mode == MapMode::keyShadow || descriptor_.mode == MapMode::shadow) {
      handleDisconnect();
    } else {
      ORVEL_TRACE(*dh_, 1, "PloomMap", "{} writer gone", collectionPath_);
    }
  }

  std::unique_ptr<PloomInterface<V>> impl_;
  PloomWriter<V>* writer_ = nullptr;
  KeyCallback keyChanged_;
  std::unique_ptr<SentryNotifiee> sentryNotifiee_;
  std::unique_ptr<Mem::ReaderSentry> sentry_;  // reader modes only
};

}  // namespace Ploom
