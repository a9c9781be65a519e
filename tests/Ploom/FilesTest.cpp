// The writer's files: creation, re-attaching, and what it does with files it
// cannot trust (short, cut, of another writer, wrongly sized, garbage, left in
// a critical section), the one-writer rule, and the validator's reports of
// damage no writer makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <tuple>

#include "PloomTestSupport.h"
#include "support/ChildProcess.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;
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

// Verifies: while a writer owns a collection, a writer in another process is
// refused with a message naming the owner (in this process: PloomMapTest); after
// the first detaches, a writer of the same process attaches again with every
// entry, and removeFiles leaves none of the files behind.
TEST_F(PloomFiles, OneWriterAtATimeAndRemoveFiles) {
  auto first = std::make_unique<WriterHandle<Value>>(kPath, descriptor(64), 100);
  auto child = testing_support::runInChild([] {
    WriterHandle<Value> other(kPath, descriptor(64));
    return std::string("attached");
  });
  EXPECT_EQ(child.exitCode, 2) << child.output;
  const std::string owner = fmt::format("collection {} is owned by socket=vovu-{}-[0-9]+ pid={} start=[0-9]+",
                                        Mem::OrlRootPath(kPath).path(), getpid(), getpid());
  EXPECT_TRUE(std::regex_match(child.output, std::regex(owner))) << child.output;
  first.reset();
  WriterHandle<Value> w(kPath, descriptor(64));
  EXPECT_EQ(w->members(), 100u);
  for (const char* name : {"slots", "buckets", "owner", "palvo"}) EXPECT_TRUE(fs::exists(file(name))) << name;
  w->removeFiles();
  for (const char* name : {"slots", "buckets", "owner", "palvo", "corruption-detected", "control"}) {
    EXPECT_FALSE(fs::exists(file(name))) << name;
  }
}

using W = Ploom::PloomWriter<Value>;

// Damage to a collection: slot `s` links to `link`, or gains `bits` in its
// version, or the header counts `n` occupied slots.
void successorIs(W& w, std::uint32_t s, std::uint32_t link) { linkIs(w, s, {linkOf(w, s).version, link}); }
void versionBitsAdd(W& w, std::uint32_t s, std::uint32_t bits) {
  linkIs(w, s, {linkOf(w, s).version | bits, linkOf(w, s).link});
}
void occupiedIs(W& w, std::uint32_t n) {
  Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kOccupied, n);
}

// Verifies: each damage fails validation with a report of what was found.
TEST_F(PloomFiles, ValidatorReportsDamage) {
  // Each damage by name, and a part of the error text it must produce.
  const std::vector<std::tuple<const char*, std::function<void(W&)>, const char*>> damages = {
      {"slot reachable from two chains",
       [](W& w) {
         // One entry's slot gains a successor that is not its own: the entries
         // between are cut off, or the chain loops back on itself.
         const std::uint32_t a = slotOf(w, Key{1});
         std::uint32_t b = slotOf(w, Key{2});
         if ((linkOf(w, a).link & ~SlotLink::kMark) == b) b = slotOf(w, Key{3});
         successorIs(w, a, b);
       },
       ""},
      {"free slot also reachable", [](W& w) { successorIs(w, freeList(w).back(), slotOf(w, Key{3})); }, "seen twice"},
      {"free list past the last slot", [](W& w) { successorIs(w, freeList(w).back(), w.capacity()); }, "out of bounds"},
      {"value write left unfinished", [](W& w) { versionBitsAdd(w, slotOf(w, Key{4}), SlotLink::kWriting); },
       "unfinished value write"},
      {"occupied count one low", [](W& w) { occupiedIs(w, w.members() - 1); }, "more entries reachable"},
      {"occupied count one high", [](W& w) { occupiedIs(w, w.members() + 1); }, "header says occupied"},
      {"free slot lost",
       [](W& w) {
         const std::uint32_t second = linkOf(w, Access::slots(w).freeHead()).link & ~SlotLink::kMark;
         Ploom::SlotHeader::wordIs(Access::slots(w).base(), Ploom::SlotHeader::kFreeHead, second);
       },
       "slots found"},
      {"stored reversed hash wrong",
       [](W& w) {
         std::uint8_t* at = Access::slots(w)[slotOf(w, Key{5})] + Ploom::SlotLayout<Value>::kRhashOffset;
         Ploom::detail::Words::store<std::uint32_t>(at, Ploom::detail::Words::load<std::uint32_t>(at) ^ 1);
       },
       ""},
      {"occupied slot on no chain", [](W& w) { versionBitsAdd(w, Access::slots(w).freeHead(), SlotLink::kOccupied); },
       "is occupied"},
  };
  for (const auto& [name, damage, report] : damages) {
    SCOPED_TRACE(name);
    WriterHandle<Value> w(std::string("/v/") + name, descriptor(64), 40);
    ASSERT_TRUE(w->validate()) << w->lastValidationError();
    damage(*w.writer);
    EXPECT_FALSE(w->validate());
    EXPECT_FALSE(w->lastValidationError().empty());
    EXPECT_PRED_FORMAT2(testing::IsSubstring, report, w->lastValidationError());
  }
}

}  // namespace
