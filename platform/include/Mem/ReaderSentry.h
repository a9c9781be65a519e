// Mem::ReaderSentry: tells a reader of a shared collection when the
// collection's writer comes and goes.
//
// A collection has a live writer when its root directory holds the control
// file (written by a writer that shares its collection with other processes),
// the owner record names a process, and that process accepts connections on
// the socket the record names. The sentry samples that state each time its
// owner calls poll() and tells the notifiee of every change, on the caller's
// thread: a reader is touched only by the thread that owns it.
#pragma once

#include <string>

#include "Mem/OrlRootPath.h"
#include "SharedMem/WirraInfo.h"

namespace Mem {

class ReaderSentryNotifiee {
 public:
  virtual ~ReaderSentryNotifiee() = default;
  // A live writer now owns the collection (also a new writer after another).
  virtual void writerAppeared() = 0;
  // The writer last seen alive is gone.
  virtual void writerGone() = 0;
};

class ReaderSentry {
 public:
  ReaderSentry(OrlRootPath root, ReaderSentryNotifiee& notifiee);

  // Makes sure the root directory exists (a reader may come before its
  // writer), then samples once. Throws Orvel::MemoryResourceException when the
  // directory cannot be created.
  void start();
  // Samples the writer's state and notifies a change; returns whether a live
  // writer owns the collection. Does nothing before start().
  bool poll();

  bool started() const noexcept { return started_; }
  bool writerAlive() const noexcept { return alive_; }

  // The owner record of the collection's writer when that writer is alive.
  static bool liveOwner(const OrlRootPath& root, SharedMem::WirraInfo& owner);

 private:
  OrlRootPath root_;
  ReaderSentryNotifiee& notifiee_;
  bool started_ = false;
  bool alive_ = false;
  SharedMem::WirraInfo owner_;
};

}  // namespace Mem
