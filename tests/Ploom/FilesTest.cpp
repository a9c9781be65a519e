// The writer's files: creation, re-attaching, and what it does with files it
// cannot trust (short, cut, of another writer, wrongly sized, garbage, left in
// a critical section), and the one-writer rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "PloomTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace ploom_test;
namespace fs = std::filesystem;

constexpr const char* kPath = "/files/collection";

class PloomFiles : public test_shm::TempBaseDir {
 public:
  std::string file(const char* name) const { return Mem::OrlRootPath(kPath).file(name); }

  void fill(std::uint32_t entries) { WriterHandle<Value>(kPath, descriptor(64), entries); }

  std::uint32_t membersAfterAttach() {
    WriterHandle<Value> w(kPath, descriptor(64));
    EXPECT_TRUE(w->validate()) << w->lastValidationError();
    return w->members();
  }

  // Overwrites the bytes of `value` at `offset` of a file.
  template <class T>
  void poke(const char* name, std::size_t offset, T value) {
    std::fstream f(file(name), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(&value), sizeof value);
  }
};

// Verifies: files the writer cannot trust are re-formatted, each for its own
// reason.
TEST_F(PloomFiles, UntrustedFilesAreReformatted) {
  const std::vector<std::pair<const char*, std::function<void(PloomFiles&)>>> cases = {
      {"other identity", [](PloomFiles& t) { SharedMem::PalvoFile(t.file("palvo")).write(0x12345678); }},
      {"slot file cut short", [](PloomFiles& t) { fs::resize_file(t.file("slots"), 100); }},
      {"count past the file",
       [](PloomFiles& t) { t.poke("slots", Ploom::SlotHeader::kCountPair, std::uint64_t{100000} << 32 | 7); }},
      {"critical section",
       [](PloomFiles& t) { t.poke("slots", Ploom::SlotHeader::kRuntimeFlags, Ploom::SlotHeader::kInCriticalSection); }},
      {"bucket count not a power of two", [](PloomFiles& t) { t.poke("buckets", 20, std::uint32_t{3}); }},
      {"buckets missing", [](PloomFiles& t) { fs::remove(t.file("buckets")); }},
      {"owner missing", [](PloomFiles& t) { fs::remove(t.file("owner")); }},
  };
  for (const auto& [name, damage] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(Mem::OrlRootPath(kPath).path());
    fill(30);
    damage(*this);
    EXPECT_EQ(membersAfterAttach(), 0u);
    fill(5);  // and the collection is usable again
    EXPECT_EQ(membersAfterAttach(), 35u - 30u);
  }
}

// Verifies: the writer's own check names what it found: a file left inside a
// critical section, a retired file (its writer died before unlinking it), a
// file whose format was never finished, another writer's file, a slot file
// shorter than its header.
TEST_F(PloomFiles, ValidationReasons) {
  WriterHandle<Value> w(kPath, descriptor(64), 2);
  using namespace Ploom::SlotHeader;
  const std::vector<std::pair<std::uint16_t, std::string>> flags = {
      {kFormatted | kInCriticalSection, "bad critical section runtimeFlags:5"},
      {kFormatted | kRetired, "retired file runtimeFlags:6"},
      {0, "unfinished format runtimeFlags:0"},
  };
  auto& slots = Access::slots(*w);
  std::string err;
  for (const auto& [value, reason] : flags) {
    runtimeFlagsIs(slots.base(), value);
    EXPECT_FALSE(slots.validate(w->palvoId(), err));
    EXPECT_EQ(err, reason);
  }
  runtimeFlagsIs(slots.base(), kFormatted);
  EXPECT_TRUE(slots.validate(w->palvoId(), err)) << err;
  EXPECT_FALSE(slots.validate(w->palvoId() + 1, err));
  EXPECT_EQ(err, fmt::format("mismatching palvo:{}, oldPalvo:{}", w->palvoId() + 1, w->palvoId()));
  EXPECT_FALSE(Ploom::SlotWriterTable<Value>::validateHeader(w.dh, slots.base(), 100, w->palvoId(), err));
  EXPECT_EQ(err, "bad header file size: 100 wanted:640");
}

// Verifies: garbage of any size in either file never crashes the writer: it
// re-formats and works.
TEST_F(PloomFiles, GarbageFiles) {
  std::mt19937 random(99);
  for (int round = 0; round < 40; ++round) {
    fs::remove_all(Mem::OrlRootPath(kPath).path());
    fill(20);
    const char* name = round % 2 ? "slots" : "buckets";
    const std::size_t size = random() % 5000;
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(random());
    // Sometimes keep the valid header and scramble only the rest.
    const std::size_t keep = round % 3 == 0 ? std::min<std::size_t>(size, round % 2 ? 640 : 24) : 0;
    std::ifstream(file(name), std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(keep));
    std::ofstream(file(name), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(size));
    WriterHandle<Value> w(kPath, descriptor(64));
    EXPECT_TRUE(w->validate()) << "round " << round << ": " << w->lastValidationError();
    w->write(Value{Key{7}, {7, 7}}, true);
  }
}

// Verifies: while a writer owns a collection, a second writer in this
// process or in another is refused with a message naming the owner; after
// the first detaches, a writer of the same process can attach again.
TEST_F(PloomFiles, OneWriterAtATime) {
  auto first = std::make_unique<WriterHandle<Value>>(kPath, descriptor(64));
  EXPECT_THROW(WriterHandle<Value>(kPath, descriptor(64)), Orvel::InvalidInitializeException);
  const std::string refusal = errorOf([] { WriterHandle<Value>(kPath, descriptor(64)); });
  EXPECT_NE(refusal.find("is owned by"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find(std::to_string(getpid())), std::string::npos) << refusal;
  auto child = testing_support::runInChild([] {
    WriterHandle<Value> other(kPath, descriptor(64));
    return std::string("attached");
  });
  EXPECT_EQ(child.exitCode, 2) << child.output;
  EXPECT_NE(child.output.find("is owned by"), std::string::npos) << child.output;
  first.reset();
  EXPECT_NO_THROW(WriterHandle<Value>(kPath, descriptor(64)));
}

// Verifies: a restarted writer re-attaches its files with every entry, and
// removeFiles leaves none of them behind.
TEST_F(PloomFiles, CreateReattachRemove) {
  fill(100);
  WriterHandle<Value> w(kPath, descriptor(64));
  EXPECT_EQ(w->members(), 100u);
  EXPECT_TRUE(w->validate()) << w->lastValidationError();
  for (const char* name : {"slots", "buckets", "owner", "palvo"}) EXPECT_TRUE(fs::exists(file(name))) << name;
  w->removeFiles();
  for (const char* name : {"slots", "buckets", "owner", "palvo", "corruption-detected", "control"}) {
    EXPECT_FALSE(fs::exists(file(name))) << name;
  }
}

}  // namespace
