// Ploom::PloomMap: opening a collection in each mode, the placeholder
// endpoints, local writers, and the map-level operations.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "Mem/ReaderSentry.h"
#include "Ploom/PloomMap.h"
#include "Ploom/Util.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
namespace fs = std::filesystem;

class PloomMapTest : public test_shm::TempBaseDir {};

Ploom::MapDescriptor readerDescriptor(Ploom::MapMode mode = Ploom::MapMode::reader) { return {.mode = mode}; }

// A writer-mode map of the collection at `path`, initialised.
std::unique_ptr<Ploom::PloomMap<Value>> writerMap(const std::string& path) {
  auto map = std::make_unique<Ploom::PloomMap<Value>>(path);
  map->init(descriptor(64));
  return map;
}

// Verifies: writer mode creates the collection and its control file, tells
// the owner it is ready and notifying, takes the same descriptor only when
// initialised again, and refuses a second writer naming the collection, then
// the cause.
TEST_F(PloomMapTest, WriterMode) {
  Ploom::PloomMap<Value> map("/map/writer");
  int ready = 0, notifying = 0;
  map.readyCallbackIs([&] { ++ready; });
  map.notifyingCallbackIs([&](bool on) { notifying += on; });
  map.init(descriptor(512));
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(notifying, 1);
  ASSERT_NE(map.writer(), nullptr);
  EXPECT_EQ(map.endpoint()->type(), Ploom::EndpointType::writer);
  EXPECT_EQ(map.mountStatus(), 1u);
  EXPECT_TRUE(fs::exists(map.rootPath() + "/control"));
  map.endpoint()->write(Value{Key{1}, {1, 1}}, true);
  EXPECT_TRUE(map.validate());
  EXPECT_TRUE(map.validateFiles("writer", 0));
  EXPECT_TRUE(map.clientQuiesced("reader"));
  EXPECT_FALSE(map.clientQuiesced(""));
  EXPECT_NE(map.owner().find(std::to_string(getpid())), std::string::npos) << map.owner();
  map.init(descriptor(512));
  EXPECT_NE(errorOf([&] { map.init(descriptor(128)); }).find("name:/map/writer failed subsequent initialize"),
            std::string::npos);
  Ploom::PloomMap<Value> owned("/map/writer");
  const std::string refusal = errorOf<Orvel::InvalidInitializeException>([&] { owned.init(descriptor(512)); });
  const std::string cause = "collection " + map.rootPath() + " is owned by socket=";
  EXPECT_EQ(refusal.rfind("failed to initialize collection /map/writer: " + cause, 0), 0u) << refusal;
}

// Verifies: descriptors that cannot work are refused with their reason.
TEST_F(PloomMapTest, InitRefusals) {
  Ploom::PloomMap<Value> zero("/map/zero");
  EXPECT_EQ(errorOf([&] { zero.init(descriptor(0)); }),
            "0 is not a valid initialization size for collection /map/zero in writer mode");
  Ploom::PloomMap<Value> heap("/map/heap");
  EXPECT_EQ(errorOf([&] { heap.init({.capacity = 64, .heapAllocation = true}); }),
            "cannot initialize collection /map/heap heap allocation in non-local mode not allowed");
}

// What the sentry reported, in order: "+" a writer appeared, "-" it went;
// and what its polls returned: "1" a live writer, "0" none.
struct SeenWriters : Mem::ReaderSentryNotifiee {
  std::string log;
  void writerAppeared() override { log += '+'; }
  void writerGone() override { log += '-'; }
};

// Verifies: the sentry reports each writer's coming and going once, also a
// writer replaced by another between two polls, and nothing before start().
TEST_F(PloomMapTest, ReaderSentryReportsEachWriter) {
  SeenWriters seen;
  Mem::ReaderSentry sentry(Mem::OrlRootPath("/map/sentry"), seen);
  auto poll = [&] { seen.log += sentry.poll() ? '1' : '0'; };
  auto writer = writerMap("/map/sentry");
  poll();
  sentry.start();
  poll();
  writer.reset();
  writer = writerMap("/map/sentry");
  poll();
  writer.reset();
  poll();
  poll();
  EXPECT_EQ(seen.log, "0+1-+1-00");
}

// Verifies: reader-mode maps hold the placeholder until their writer
// appears, which finds nothing, iterates nothing and refuses every
// modification as read-only; they mount the collection when it appears
// (found by polling, or attached when asked: not before the files are there)
// and keep their contents when it goes; a local index takes the disconnect;
// a reader endpoint refuses writes.
TEST_F(PloomMapTest, ReaderModesFollowTheWriter) {
  Ploom::PloomMap<Value> reader("/map/followed"), shadow("/map/followed"), keyShadow("/map/followed");
  reader.init(readerDescriptor());
  shadow.init(readerDescriptor(Ploom::MapMode::shadow));
  keyShadow.init(readerDescriptor(Ploom::MapMode::keyShadow));
  EXPECT_FALSE(reader.pollWriter());
  EXPECT_FALSE(keyShadow.attach("/map/followed"));
  EXPECT_EQ(reader.endpoint()->type(), Ploom::EndpointType::dummy);
  EXPECT_EQ(keyShadow.endpoint()->type(), Ploom::EndpointType::dummy);
  auto* placeholder = reader.endpoint();
  bool found = true;
  EXPECT_EQ(*placeholder->lookup(Key{3}, found, nullptr), Value{});
  EXPECT_FALSE(found);
  EXPECT_TRUE(iterate(*placeholder).empty());
  Value out;
  const std::vector<std::pair<std::function<void()>, const char*>> refusals = {
      {[&] { placeholder->write(Value{}, true); }, "write to read-only Ploom table"},
      {[&] { placeholder->directWrite(Value{}); }, "write to read-only Ploom table"},
      {[&] { placeholder->directCommit(); }, "write to read-only Ploom table"},
      {[&] { placeholder->remove(Key{}, out); }, "remove to read-only Ploom table"},
  };
  for (const auto& [modify, message] : refusals) EXPECT_EQ(errorOf<Orvel::NoPermissionException>(modify), message);
  EXPECT_EQ(errorOf([&] { reader.clientQuiesced("x"); }), "not implemented");

  auto writer = writerMap("/map/followed");
  writer->endpoint()->write(Value{Key{7}, {7, 7}}, true);
  EXPECT_TRUE(reader.pollWriter());
  EXPECT_TRUE(shadow.pollWriter());
  EXPECT_TRUE(keyShadow.attach("/map/followed"));
  EXPECT_EQ(reader.endpoint()->type(), Ploom::EndpointType::reader);
  EXPECT_THROW(reader.endpoint()->write(Value{}, true), Orvel::NoPermissionException);
  for (auto* map : {&shadow, &keyShadow}) {
    ASSERT_EQ(map->endpoint()->type(), Ploom::EndpointType::shadow);
    static_cast<Ploom::PloomShadow<Value>*>(map->endpoint())->sync();
  }
  EXPECT_EQ(find(*keyShadow.endpoint(), Key{7}), (Value{Key{7}, {7, 7}}));
  writer.reset();

  EXPECT_FALSE(reader.pollWriter());
  EXPECT_FALSE(shadow.pollWriter());
  for (auto* map : {&reader, &shadow}) EXPECT_EQ(find(*map->endpoint(), Key{7}), (Value{Key{7}, {7, 7}}));
}

// Verifies: a reader whose root directory cannot be made fails to open,
// except in a changed root (Q7_CHROOT), where it keeps trying and follows a
// writer once the directory can be made.
TEST_F(PloomMapTest, ReaderSentryStartFailure) {
  std::ofstream(file("plain")) << "a file where a directory should be\n";
  Mem::baseDirIs(file("plain") + "/below");
  Ploom::PloomMap<Value> map("/map/nowhere");
  EXPECT_THROW(map.init(readerDescriptor()), Orvel::MemoryResourceException);
  // The failed initialisation left its mounter: it must be detached first.
  EXPECT_EQ(errorOf([&] { map.init(readerDescriptor()); }), "Ploom mounter should not exist");
  map.detach(false);
  EXPECT_THROW(map.init(readerDescriptor()), Orvel::MemoryResourceException);
  ::setenv("Q7_CHROOT", "/", 1);
  Ploom::PloomMap<Value> chrooted("/map/nowhere");
  EXPECT_NO_THROW(chrooted.init(readerDescriptor()));
  ::unsetenv("Q7_CHROOT");
  EXPECT_FALSE(chrooted.pollWriter());
  EXPECT_EQ(chrooted.endpoint()->type(), Ploom::EndpointType::dummy);

  fs::remove(file("plain"));
  EXPECT_FALSE(chrooted.pollWriter());
  EXPECT_TRUE(fs::is_directory(chrooted.rootPath()));
  auto writer = writerMap("/map/nowhere");
  EXPECT_TRUE(chrooted.pollWriter());
  EXPECT_EQ(chrooted.endpoint()->type(), Ploom::EndpointType::reader);
}

// Verifies: a local writer keeps its collection in process memory (no files)
// and takes its identity from the process id; the default local writer.
TEST_F(PloomMapTest, LocalWriters) {
  Ploom::PloomMap<Value> map("/map/local");
  map.init({.capacity = 64, .local = true});
  for (std::uint32_t i = 0; i < 500; ++i) map.endpoint()->write(Value{Key{i}, {i, i}}, true);
  EXPECT_EQ(map.endpoint()->members(), 500u);
  EXPECT_TRUE(map.validate());
  EXPECT_EQ(map.palvoId(), static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(map.endpoint()->type(), Ploom::EndpointType::temporary);
  EXPECT_FALSE(fs::exists(map.rootPath()));

  auto local = Ploom::PloomMap<Value>::createDefaultLocalWriter(map.debugHandler());
  EXPECT_EQ(local->maxSize(), 100u);
  EXPECT_EQ(local->ploomName(), "none");
  local->write(val(1, 2), true);
  EXPECT_EQ(find(*local, Key{1}), val(1, 2));
}

// Verifies: a flush installs the placeholder, then reports the event and
// calls the owner back; a corruption report leaves the marker file that the
// next writer removes.
TEST_F(PloomMapTest, FlushAndCorruptionReport) {
  auto map = writerMap("/map/flush");
  std::vector<std::string> events;
  map->eventSinkIs([&](Ploom::PloomMapBase::Event) { events.push_back("event"); });
  map->flushCompleteCallbackIs([&] { events.push_back("callback"); });
  map->doCorruptionDetected("test corruption");
  EXPECT_TRUE(fs::exists(map->rootPath() + "/corruption-detected"));
  map->flushComplete();
  EXPECT_EQ(map->endpoint()->type(), Ploom::EndpointType::dummy);
  EXPECT_EQ(events, (std::vector<std::string>{"event", "callback"}));
  map.reset();
  EXPECT_FALSE(fs::exists(writerMap("/map/flush")->rootPath() + "/corruption-detected"));
}

using PloomMapDeathTest = PloomMapTest;

// Verifies: on a physical switch with strict validation, a writer that finds
// files it cannot validate stops instead of re-formatting them, after
// removing the restart identity (so no writer trusts the files as its own).
TEST_F(PloomMapDeathTest, StrictValidationStopsTheWriter) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child removes files of this test's directory
  {
    auto map = writerMap("/map/strict");
    map->endpoint()->write(val(1, 1), true);
    // The header counts five entries where the chains hold one.
    Ploom::SlotHeader::wordIs(Access::slots(*map->writer()).base(), Ploom::SlotHeader::kOccupied, 5);
  }
  const std::string root = Mem::OrlRootPath("/map/strict").path();
  auto strictMap = [] {
    Ploom::Util::runningOnPhysicalDutIs(true);
    Ploom::Util::strictValidationIs(true);
    writerMap("/map/strict");
  };
  EXPECT_DEATH(strictMap(), "failed initial validation of .*map_strict after re-attaching");
  EXPECT_FALSE(fs::exists(root + "/palvo"));
  EXPECT_TRUE(fs::exists(root + "/slots")) << "the files stay for inspection";
  EXPECT_EQ(writerMap("/map/strict")->endpoint()->members(), 0u) << "not strict: re-formats";
}

// Verifies: the uses that are bugs end the process with their texts.
TEST_F(PloomMapDeathTest, Misuse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the writer's socket thread runs
  auto map = writerMap("/map/misuse");
  EXPECT_DEATH(map->attach("x"), "invoked for a writer");
  EXPECT_DEATH(map->handleDisconnect(), "wrong type:0");
  map->installStrictDummy();
  bool found = false;
  EXPECT_DEATH(map->endpoint()->lookup(Key{1}, found, nullptr), "invoked, name:/map/misuse rootpath:");
}

}  // namespace
