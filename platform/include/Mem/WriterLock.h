// Mem::WriterLock: one writer per collection, and the owner's socket.
//
// acquireWriterLock takes an exclusive, non-blocking flock on the file
// "writer.lock" in the collection's root directory and holds it until
// release() or destruction; a second writer, in this or another process, is
// refused with Orvel::InvalidInitializeException "collection {} is owned by
// {}" (the root path and the owner's WirraInfo read from the owner file, or
// "an unknown process"). The lock file is separate from the owner file, so
// locking and unlocking the owner file never drops the writer lock.
//
// The lock also opens the owner's socket: an abstract-namespace Unix socket
// named "vovu-<pid>-<n>" (n counts sockets of this process) that listens and
// accepts in the background, so that ownerIsAlive() of another process can
// connect to it.
#pragma once

#include <memory>
#include <string>

#include "SharedMem/WirraInfo.h"

namespace Mem {

class WriterLock {
 public:
  explicit WriterLock(std::string rootPath);
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  // Takes the lock and opens the socket; `ownerFilePath` names the owner file
  // whose record the refusal message quotes.
  void acquireWriterLock(const std::string& ownerFilePath);
  void release();
  bool held() const noexcept;
  // This process's socket information while the lock is held; empty otherwise.
  SharedMem::WirraInfo wirraInfo() const;

  // True when `info` names this process (pid and start time match).
  static bool ownerIsMe(const SharedMem::WirraInfo& info);
  // True when a process accepts connections on `info`'s socket.
  static bool ownerIsAlive(const SharedMem::WirraInfo& info);

 private:
  struct Impl;
  std::string rootPath_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Mem
