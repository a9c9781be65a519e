#include "Mem/ReaderSentry.h"

#include <unistd.h>

#include "Mem/Util.h"
#include "Mem/WriterLock.h"
#include "SharedMem/OwnerFile.h"

namespace Mem {

ReaderSentry::ReaderSentry(OrlRootPath root, ReaderSentryNotifiee& notifiee)
    : root_(std::move(root)), notifiee_(notifiee) {}

bool ReaderSentry::liveOwner(const OrlRootPath& root, SharedMem::WirraInfo& owner) {
  if (::access(root.file(Util::Clone::CONTROL_FILENAME).c_str(), F_OK) != 0) return false;
  SharedMem::OwnerFile ownerFile(root.file("owner"));
  std::string err;
  if (!ownerFile.read(err)) return false;
  const SharedMem::WirraInfo& info = ownerFile.wirraInfo();
  if (info.empty() || !WriterLock::ownerIsAlive(info)) return false;
  owner = info;
  return true;
}

void ReaderSentry::start() {
  root_.create();
  started_ = true;
  poll();
}

bool ReaderSentry::poll() {
  if (!started_) return false;
  SharedMem::WirraInfo owner;
  const bool alive = liveOwner(root_, owner);
  // A different live owner than last time is a writer that came after
  // another one died between two polls: the reader hears of both.
  if (alive_ && (!alive || owner != owner_)) {
    alive_ = false;
    notifiee_.writerGone();
  }
  if (alive && !alive_) {
    alive_ = true;
    owner_ = owner;
    notifiee_.writerAppeared();
  }
  return alive_;
}

}  // namespace Mem
