// Interleavings of a writer and a reader that end in a crash, a reader that
// never recovers or a key a reader cannot find, each driven step by step: the
// writer and the reader map the same files in this process, and a store hook
// or a reader hook (Ploom/StorePoint.h) runs one side's step at a chosen point
// of the other's. Nothing here depends on timing.
#include <gtest/gtest.h>

#include <set>

#include "Ploom/PloomReader.h"
#include "Ploom/PloomShadow.h"
#include "PloomTestSupport.h"

namespace {

using namespace ploom_test;
using Ploom::SlotLink;
using Stage = Ploom::Testing::ReaderStage;

class PloomInterleaving : public test_shm::TempBaseDir {};

Value val(std::uint32_t id, std::uint32_t payload = 0) { return Value{Key{id}, {payload, id}}; }

// Verifies that a poll never reads a slot's version past the mapping it reads
// through. Interleaving: the shadow's poll starts over a 512-slot table; at
// its first version read the writer removes most entries, which compacts the
// slot file to 64 slots; the poll's handler of the next changed slot reads it
// with getValue, which re-maps the file at 64 slots. The poll then goes on
// with the slots after it: each version it reads must lie inside the new
// mapping (reading them at the slot count the poll started with reads past
// the end of that mapping).
TEST_F(PloomInterleaving, PollReadsNoVersionPastTheMappingItsHandlerReplaced) {
  WriterHandle<Value> w("/i/poll", descriptor(512));
  for (std::uint32_t i = 0; i < 300; ++i) w->write(val(i, i), true);
  Orvel::Platform::DebugHandler dh("interleaving");
  Ploom::PloomShadow<Value> shadow(dh, "/i/poll", "/i/poll");
  ASSERT_TRUE(shadow.initialize("/i/poll"));
  shadow.sync();
  ASSERT_EQ(shadow.reader().capacity(), 512u);

  bool shrunk = false;
  std::uint32_t pastTheMapping = 0;
  {
    ReaderHook hook([&](Stage stage, std::uint32_t slot) {
      if (stage != Stage::pollVersionRead) return;
      if (slot >= shadow.reader().capacity()) ++pastTheMapping;
      if (shrunk) return;
      shrunk = true;
      Value out;
      for (std::uint32_t i = 0; i < 296; ++i) w->remove(Key{i}, out);
      ASSERT_EQ(w->capacity(), 64u) << "the removals compacted the slot file";
    });
    shadow.sync();
  }
  ASSERT_TRUE(shrunk);
  EXPECT_EQ(pastTheMapping, 0u) << "versions read past the end of the slot mapping";
  EXPECT_EQ(shadow.reader().capacity(), 64u);
  shadow.sync();
  EXPECT_EQ(shadow.members(), 4u);
  for (std::uint32_t i = 296; i < 300; ++i) {
    bool found = false;
    EXPECT_EQ(shadow.lookup(Key{i}, found, nullptr)->payload[0], i);
    EXPECT_TRUE(found) << i;
  }
}

}  // namespace
