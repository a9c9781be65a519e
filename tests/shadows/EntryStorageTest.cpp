// The entry storage of a shadow: counts, publication, control, parenting, iteration and the mount in shared memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <vector>

#include "IppaVsiToRoutingProfileMapHwDirect.h"
#include "ShadowTestSupport.h"
#include "ZevSharedMem/EntityManager.h"

namespace {

using Table = bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect;
using Storage = Table::Shadow::EntryStorage;
using Entry = Table::Entry;
using EntryKey = Table::EntryKey;

constexpr const char* kStorageType = "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::Shadow::EntryStorage";

Entry entry(std::uint8_t arrayIndex, std::uint32_t entryIndex, std::uint8_t profile) {
  Entry e{EntryKey(arrayIndex, entryIndex)};
  e.routingProfile0Is(profile);
  return e;
}

// Records every attribute change `storage` publishes while the recorder lives.
struct Recorder final : Orvel::Subscriber {
  explicit Recorder(Orvel::Ptr<Storage> watched) : storage(std::move(watched)) {
    storage->publisher().subscriberIs(this);
  }
  ~Recorder() override { storage->publisher().subscriberDel(this); }
  void onAttribute(std::uint32_t attribute, const void* key) override {
    attributes.push_back(attribute);
    keys.push_back(key ? *static_cast<const EntryKey*>(key) : EntryKey());
  }
  Orvel::Ptr<Storage> storage;
  std::vector<std::uint32_t> attributes;
  std::vector<EntryKey> keys;
};

class EntryStorageTest : public test_shadows::ShadowTest {
 protected:
  // A storage of `type` that the entity manager mounts at `path`, its collection in shared memory.
  Orvel::Ptr<Storage> mount(const std::string& path, const char* type = kStorageType) {
    ZevPloom::MountInfo info(0);
    info.collectionInfoIs({"entryColl", 512, false});
    entities_->getMountGroup().mount(path, type, info);
    return Orvel::dynamicPtrCast<Storage>(entities_->getEntity(path));
  }

  // {stored, removed, published} so far.
  using Counts = std::array<std::uint64_t, 3>;
  Counts counts() const {
    return {storage_->entryCollIsCount(), storage_->entryCollDelCount(), storage_->entryCollNotifyCount()};
  }

  Orvel::Ptr<Storage> storage_ = Table::Shadow::entryStorageFactory("storage");
  Orvel::Ptr<ZevSharedMem::EntityManager> entities_ =
      ZevSharedMem::EntityManager::getEntityManager("entry-storage-test", false);
};

// Verifies: every operation and every collection event counts and publishes its real changes once, per key; a commit
// without an entry is refused before anything is committed, counted or published.
TEST_F(EntryStorageTest, OperationsAndNotificationsCountAndPublish) {
  Recorder recorder(storage_);
  const Entry pending = entry(2, 4, 6);
  storage_->map().writer().directWrite(pending);
  EXPECT_EQ(test_shadows::errorOf<Orvel::RangeException>([&] { storage_->entryCollCommit(nullptr); }),
            "storage/entryColl: entryCollCommit without an entry not allowed");
  EXPECT_TRUE(recorder.keys.empty());
  EXPECT_EQ(counts(), (Counts{0, 0, 0}));
  storage_->entryCollCommit(&pending);  // the pending direct write waited for the commit naming its entry
  EXPECT_EQ(storage_->entryColl(pending.entryKey()), pending);

  EXPECT_EQ(storage_->entryColl(EntryKey(2, 7)), Entry());
  const Entry e = entry(2, 7, 5);
  storage_->entryCollIs(e);
  EXPECT_EQ(storage_->entryColl(EntryKey(2, 7)), e);
  EXPECT_EQ(storage_->entryCollDel(EntryKey(2, 7)), e);
  EXPECT_EQ(storage_->entryCollDel(EntryKey(2, 7)), Entry());
  EXPECT_EQ(counts(), (Counts{1, 2, 3}));
  EXPECT_EQ(recorder.attributes, std::vector<std::uint32_t>(3, ZevPloom::kEntryCollAttribute));
  EXPECT_EQ(recorder.keys, (std::vector<EntryKey>{EntryKey(2, 4), EntryKey(2, 7), EntryKey(2, 7)}));

  recorder.keys.clear();
  const auto& notify = storage_->map().notify();
  notify.valueChanged(entry(2, 9, 3), nullptr);
  notify.keyChanged(EntryKey(3, 1));
  notify.keyChangedWithOld(EntryKey(3, 2), &e);
  EXPECT_EQ(recorder.keys, (std::vector<EntryKey>{EntryKey(2, 9), EntryKey(3, 1), EntryKey(3, 2)}));
  EXPECT_EQ(storage_->entryCollNotifyCount(), 3u + 3u);
  notify.quiescedChanged(true);
  EXPECT_TRUE(storage_->control()->quiesced());
}

// Verifies: delete-all counts and publishes each removal only to subscribers; it empties the collection either way.
TEST_F(EntryStorageTest, DeleteAllPublishesOnlyToSubscribers) {
  const auto fill = [&] {
    for (std::uint32_t i = 0; i < 40; ++i) storage_->entryCollIs(entry(3, i, 1));
  };
  {
    Recorder recorder(storage_);
    storage_->entryCollDelAll();
    EXPECT_TRUE(recorder.keys.empty());
    fill();
    recorder.keys.clear();
    storage_->entryCollDelAll();
    EXPECT_EQ(recorder.keys.size(), 40u);
    EXPECT_EQ(counts(), (Counts{40, 40, 80}));
    EXPECT_FALSE(Storage::IteratorConst(storage_->map()).valid());
  }
  EXPECT_FALSE(storage_->publisher().hasSubscribers());  // its own zero-references subscriber does not count
  fill();
  storage_->entryCollDelAll();
  EXPECT_EQ(counts(), (Counts{80, 40, 120})) << "the stores publish, the removals neither count nor publish";
  EXPECT_FALSE(Storage::IteratorConst(storage_->map()).valid());
}

// Verifies: a new control is published once and takes over; the last user hands the storage to its control.
TEST_F(EntryStorageTest, ControlReplacementAndHandOver) {
  const std::uint64_t liveBefore = Storage::allocTracker().live();
  Orvel::Ptr<ZevPloom::CollectionControl> other(new ZevPloom::CollectionControl);
  {
    Recorder recorder(storage_);
    storage_->entryCollControlIs(storage_->entryCollControl());
    EXPECT_TRUE(recorder.keys.empty());
    storage_->entryCollControlIs(other);
    EXPECT_EQ(recorder.attributes, std::vector<std::uint32_t>{ZevPloom::kEntryCollControlAttribute});
    EXPECT_EQ(storage_->entryCollControl(), other);
  }
  storage_->entryCollNotifyQuiesced(true);
  EXPECT_TRUE(other->quiesced());
  Storage* raw = storage_.ptr();
  storage_ = nullptr;
  EXPECT_EQ(other->entityRef().ptr(), raw);
  EXPECT_EQ(Storage::allocTracker().live(), liveBefore);
  EXPECT_FALSE(raw->publisher().hasZeroReferenceSubscribers());
  other = nullptr;
  EXPECT_EQ(Storage::allocTracker().live(), liveBefore - 1);

  // A user who takes a storage back from its original control and outlives that control reports to no control.
  Orvel::Ptr<Storage> again = Table::Shadow::entryStorageFactory("again");
  Orvel::Ptr<ZevPloom::CollectionControl> control = again->entryCollControl();
  again = nullptr;
  again = Orvel::dynamicPtrCast<Storage>(control->entityRef());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->control(), nullptr);
  control = nullptr;
  again->entryCollNotifyQuiesced(true);
  again->entryCollNotifyMountStatus();
  again = nullptr;
  EXPECT_EQ(Storage::allocTracker().live(), liveBefore - 1);

  Table::Shadow::entryStorageFactory("lone");
  EXPECT_EQ(Storage::allocTracker().live(), liveBefore - 1);
}

// Verifies: the first parent re-forms the path and replaces the writer; a second is refused; an orphan reads nothing.
TEST_F(EntryStorageTest, ParentingAndOrphaning) {
  EXPECT_EQ(storage_->map().path(), "storage/entryColl");
  ASSERT_NE(storage_->map().endpoint(), nullptr);
  EXPECT_EQ(storage_->map().endpoint()->type(), Ploom::EndpointType::temporary);
  EXPECT_EQ(storage_->map().endpoint()->ploomName(), "storage/entryColl");
  storage_->entryCollIs(entry(2, 1, 1));
  storage_->parentIs(Orvel::Ptr<Zev::Entity>(new Zev::Entity("a/b")));
  EXPECT_EQ(storage_->map().path(), "a/b/storage/entryColl");
  EXPECT_EQ(storage_->map().endpoint()->ploomName(), "a/b/storage/entryColl");
  EXPECT_EQ(storage_->entryColl(EntryKey(2, 1)), Entry());
  storage_->entryCollIs(entry(2, 1, 1));

  EXPECT_EQ(test_shadows::errorOf<Orvel::InvalidInitializeException>(
                [&] { storage_->parentIs(Orvel::Ptr<Zev::Entity>(new Zev::Entity("c"))); }),
            "Entity storage already initialized");
  EXPECT_EQ(storage_->map().path(), "c/storage/entryColl");

  storage_->parentIs(nullptr);
  EXPECT_EQ(storage_->map().path(), "storage/entryColl");
  EXPECT_EQ(storage_->entryColl(EntryKey(2, 1)), Entry());
  EXPECT_THROW(storage_->entryCollIs(entry(2, 1, 1)), Orvel::NoPermissionException);
  EXPECT_THROW(storage_->entryCollDel(EntryKey(2, 1)), Orvel::NoPermissionException);
}

// Verifies: an iterator started at an absent key begins at the entry that follows it in iteration order.
TEST_F(EntryStorageTest, IterationFromAnAbsentKey) {
  for (std::uint32_t i = 0; i < 30; i += 2) storage_->entryCollIs(entry(2, i, 1));
  const auto walk = [&](Storage::IteratorConst it) {
    std::vector<EntryKey> keys;
    for (; it.valid(); it.advance()) keys.push_back(it.value().entryKey());
    return keys;
  };
  const std::vector<EntryKey> order = walk(Storage::IteratorConst(storage_->map()));
  ASSERT_EQ(order.size(), 15u);

  // Where an absent key stands in the order: insert it, note what follows it, remove it; an iterator started at it must
  // give exactly that.
  for (std::uint32_t odd = 1; odd < 30; odd += 2) {
    SCOPED_TRACE(odd);
    const EntryKey absent(2, odd);
    storage_->entryCollIs(entry(2, odd, 1));
    std::vector<EntryKey> following = walk(Storage::IteratorConst(storage_->map(), absent));
    ASSERT_FALSE(following.empty());
    following.erase(following.begin());
    storage_->entryCollDel(absent);
    EXPECT_EQ(walk(Storage::IteratorConst(storage_->map(), absent)), following);
  }
  EXPECT_EQ(walk(Storage::IteratorConst(storage_->map(), order.back())), std::vector<EntryKey>{order.back()});
}

// Verifies: a mount puts the collection in shared memory, where a local shadow follows it; an unmount orphans it.
TEST_F(EntryStorageTest, MountPutsTheCollectionInSharedMemory) {
  const std::string path = "ShadowTbl/test/x/0-0";
  auto mounted = mount(path);
  ASSERT_TRUE(mounted);
  EXPECT_EQ(std::tuple(mounted->map().path(), mounted->map().writer().type(), mounted->control()->mountStatus()),
            std::tuple(path + "/entryColl", Ploom::EndpointType::writer, 1));
  EXPECT_TRUE(std::filesystem::exists(Mem::OrlRootPath(path + "/entryColl").file("slots")));
  EXPECT_THROW(mount(path), Orvel::InvalidInitializeException);
  EXPECT_THROW(mount("other", "no::such::Type"), Orvel::InvalidInitializeException);

  Orvel::Ptr<Storage> follower = Table::Shadow::entryStorageFactory("0-0");
  follower->parentIs(Orvel::Ptr<Zev::Entity>(new Zev::Entity("ShadowTbl/test/x")));
  Mem::CollectionDescriptor shadowMode;
  shadowMode.mode = 3;
  follower->collectionInit("entryColl", shadowMode);
  ASSERT_TRUE(follower->map().attach(path + "/entryColl"));
  auto* local = dynamic_cast<Ploom::PloomShadow<Entry>*>(follower->map().endpoint());
  ASSERT_NE(local, nullptr);
  {
    Recorder recorder(follower);
    mounted->entryCollIs(entry(2, 5, 1));
    mounted->entryCollIs(entry(3, 6, 2));
    local->sync();
    mounted->entryCollDel(EntryKey(2, 5));
    local->sync();
    ASSERT_EQ(recorder.keys.size(), 3u);
    EXPECT_EQ(recorder.keys[2], EntryKey(2, 5));
  }
  EXPECT_EQ(follower->entryCollNotifyCount(), 3u);
  EXPECT_EQ(follower->entryColl(EntryKey(3, 6)), entry(3, 6, 2));
  EXPECT_EQ(mounted->entryColl(EntryKey(3, 6)), entry(3, 6, 2));

  entities_->doUnmount(path);
  EXPECT_FALSE(entities_->getEntity(path));
  EXPECT_FALSE(mounted->parent());
  EXPECT_EQ(mounted->entryColl(EntryKey(3, 6)), Entry());
}

// Verifies: corruption is reported, never thrown at a reader; a write that meets it ends the process.
TEST_F(EntryStorageTest, CorruptionIsReportedNotThrown) {
  const std::string path = "ShadowTbl/test/z/0-0";
  auto storage = mount(path);
  ASSERT_TRUE(storage);
  for (std::uint32_t i = 0; i < 20; ++i) storage->entryCollIs(entry(2, i, 1));

  // Every bucket link after the file's header now points far past the slots.
  const Mem::OrlRootPath root(path + "/entryColl");
  const int fd = ::open(root.file("buckets").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::vector<std::uint32_t> garbage((std::filesystem::file_size(root.file("buckets")) - 16) / 4, 0x00ABCDEF);
  ASSERT_EQ(::pwrite(fd, garbage.data(), garbage.size() * 4, 16), static_cast<ssize_t>(garbage.size() * 4));
  ::close(fd);

  EXPECT_EQ(storage->entryColl(EntryKey(2, 3)), Entry());
  EXPECT_TRUE(std::filesystem::exists(root.file("corruption-detected")));
  EXPECT_FALSE(Storage::IteratorConst(storage->map()).valid());
  EXPECT_DEATH(storage->entryCollIs(entry(2, 3, 2)), "in no man's land");
  entities_->doUnmount(path);
}

}  // namespace
