// Ploom::PloomInterface: the endpoint of a collection, whatever owns it (the
// writer, a reader, a local shadow or a placeholder). Reads have no default;
// modifying operations default to Orvel::NoPermissionException, which is what
// every endpoint but the writer keeps.
#pragma once

#include <cstdint>
#include <string>

#include "Orvel/Exception.h"
#include "PloomCore/SharedWords.h"
#include "PloomCore/ValueTraits.h"

namespace Ploom {

enum class MarkAndSweepOperation : std::uint32_t { read = 0, clear = 1, set = 2 };

// The endpoint kinds type() reports (a local writer is a temporary).
enum class EndpointType : std::uint32_t { writer = 0, reader = 1, dummy = 2, shadow = 3, temporary = 4 };

template <CollectionValue V>
class PloomInterface {
 public:
  using Key = typename V::EntryKey;

  virtual ~PloomInterface() = default;

  virtual bool initialize(const std::string& name) = 0;
  virtual void detach(bool force) = 0;
  virtual bool validate() = 0;
  virtual bool validateFiles() = 0;
  virtual void cleanup() = 0;
  virtual std::uint32_t members() const = 0;
  virtual std::uint32_t buckets() const = 0;
  virtual std::uint32_t minSize() const = 0;
  virtual std::uint32_t maxSize() const = 0;
  virtual std::uint32_t capacity() const = 0;
  virtual EndpointType type() const = 0;
  virtual bool quiesced() const { return true; }
  virtual bool connected() const { return false; }
  // The host's yield time: long passes of the endpoints yield by their own
  // clock (WriterHashMap::Yield), so there is nothing to keep.
  virtual void yieldTimeIs(double /*seconds*/) {}
  virtual std::string rootPath() const = 0;
  virtual std::string ploomName() const = 0;
  virtual std::uint32_t mountStatus() const = 0;
  virtual std::uint32_t palvoId() const { return 0; }
  virtual void criticalTaskCheckIs(bool check) { criticalTaskCheck_ = check; }
  virtual bool criticalTaskCheck() const { return criticalTaskCheck_; }

  virtual const V* write(const V&, bool /*overwrite*/) {
    throw Orvel::NoPermissionException("write to read-only Ploom table");
  }
  virtual bool remove(const Key&, V&) { throw Orvel::NoPermissionException("remove to read-only Ploom table"); }
  virtual const V* lookup(const Key& key, bool& found, void* buffer) const = 0;
  virtual bool first(V& valueOut, IterHint& hint) const = 0;
  virtual bool next(const Key& key, V& valueOut, IterHint& hint) const = 0;
  virtual void directWrite(const V&) { throw Orvel::NoPermissionException("write to read-only Ploom table"); }
  virtual void directCommit() { throw Orvel::NoPermissionException("write to read-only Ploom table"); }
  virtual bool markAndSweepFlag(const Key&, MarkAndSweepOperation) {
    throw Orvel::NoPermissionException("write to read-only Ploom table");
  }

 protected:
  bool criticalTaskCheck_ = false;
};

}  // namespace Ploom
