// Placeholder endpoints of a collection.
//
// Ploom::PloomDummy stands in while there is nothing to read yet (a reader
// not attached, a flushed shadow): look-ups find nothing and yield the
// default value, iteration yields nothing, and modifications keep the
// read-only defaults of Ploom::PloomInterface (Orvel::NoPermissionException).
// Ploom::PloomStrictDummy is installed where any use is a bug: every
// operation is a fatal assertion naming the collection.
#pragma once

#include <string>

#include "Ploom/PloomInterface.h"
#include "PloomCore/Errors.h"

namespace Ploom {

template <CollectionValue V>
class PloomDummy final : public PloomInterface<V> {
 public:
  using Key = typename V::EntryKey;

  PloomDummy(std::string name, std::string rootPath) : name_(std::move(name)), rootPath_(std::move(rootPath)) {}

  bool initialize(const std::string&) override { return true; }
  void detach(bool) override {}
  bool validate() override { return true; }
  bool validateFiles() override { return true; }
  void cleanup() override {}
  std::uint32_t members() const override { return 0; }
  std::uint32_t buckets() const override { return 0; }
  std::uint32_t minSize() const override { return 0; }
  std::uint32_t maxSize() const override { return 0; }
  std::uint32_t capacity() const override { return 0; }
  EndpointType type() const override { return EndpointType::dummy; }
  std::string rootPath() const override { return rootPath_; }
  std::string ploomName() const override { return name_; }
  std::uint32_t mountStatus() const override { return 0; }

  const V* lookup(const Key&, bool& found, void*) const override {
    found = false;
    return &defaultValue_;
  }
  bool first(V&, IterHint&) const override { return false; }
  bool next(const Key&, V&, IterHint&) const override { return false; }

 private:
  std::string name_;
  std::string rootPath_;
  V defaultValue_{};
};

// What a strict placeholder knows, and its one answer to every call. Kept out
// of the class template so that the compiler sees that fail() does not
// return where the template's members call it.
class StrictDummyIdentity {
 protected:
  StrictDummyIdentity(std::string name, std::string rootPath, std::string detail)
      : name_(std::move(name)), rootPath_(std::move(rootPath)), detail_(std::move(detail)) {}

  [[noreturn]] void fail() const {
    Orvel::fmassert("false", __FILE__, "PloomStrictDummy", __LINE__, "invoked, name:{} rootpath:{}{}", name_, rootPath_,
                    detail_);
  }

  std::string name_;
  std::string rootPath_;
  std::string detail_;
};

template <CollectionValue V>
class PloomStrictDummy final : public PloomInterface<V>, private StrictDummyIdentity {
 public:
  using Key = typename V::EntryKey;

  PloomStrictDummy(std::string name, std::string rootPath, std::string detail = "")
      : StrictDummyIdentity(std::move(name), std::move(rootPath), std::move(detail)) {}

  bool initialize(const std::string&) override { fail(); }
  void detach(bool) override { fail(); }
  bool validate() override { fail(); }
  bool validateFiles() override { fail(); }
  void cleanup() override { fail(); }
  std::uint32_t members() const override { fail(); }
  std::uint32_t buckets() const override { fail(); }
  std::uint32_t minSize() const override { fail(); }
  std::uint32_t maxSize() const override { fail(); }
  std::uint32_t capacity() const override { fail(); }
  EndpointType type() const override { return EndpointType::dummy; }
  std::string rootPath() const override { return rootPath_; }
  std::string ploomName() const override { return name_; }
  std::uint32_t mountStatus() const override { fail(); }
  const V* write(const V&, bool) override { fail(); }
  bool remove(const Key&, V&) override { fail(); }
  const V* lookup(const Key&, bool&, void*) const override { fail(); }
  bool first(V&, IterHint&) const override { fail(); }
  bool next(const Key&, V&, IterHint&) const override { fail(); }
  void directWrite(const V&) override { fail(); }
  void directCommit() override { fail(); }
  bool markAndSweepFlag(const Key&, MarkAndSweepOperation) override { fail(); }
};

}  // namespace Ploom
