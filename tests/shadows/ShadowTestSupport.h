// ShadowTest: a private shared-memory base directory per test, a table manager and tables made through the free
// factories, dropped before the directory goes. Beside it: helpers for command batches, errors and trace lines.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "Hardware/Vovu/FapRevision.h"
#include "Lumlog/Sink.h"
#include "Orvel/Ptr.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/TableDescription.h"
#include "VovuAsicUtils/TableManager.h"
#include "Zev/TraceHandle.h"
#include "support/ErrorOf.h"
#include "support/TempBaseDir.h"

namespace test_shadows {

inline const Hardware::Vovu::FapRevision kRev25 = Hardware::Vovu::FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
inline const Hardware::Vovu::FapRevision kRev12 =
    Hardware::Vovu::FapRevision::of(static_cast<Hardware::ChipType>(12), 0);

using KeyParts = std::array<std::uint64_t, 2>;  // {arrayIndex, entryIndex}, or {value, 0}

// The key parts of the trap table's ten default entries.
inline const std::set<KeyParts> kTarSnifDefaults = {{1, 0},  {2, 0},  {3, 0},  {7, 0},  {8, 0},
                                                    {11, 0}, {12, 0}, {16, 0}, {17, 0}, {19, 0}};

// The keys that the shadow of `key` in `table` holds.
inline std::set<KeyParts> keysHeld(const VovuAsicUtils::HwCommonTableBase& table,
                                   const VovuAsicUtils::HwShadowKey& key) {
  const bcm88490_a0::catalogue::TableDescription& t = *bcm88490_a0::catalogue::table(table.name().view());
  std::set<KeyParts> keys;
  t.shadows->forEachEntry(table, key, [&](const void* e) { keys.insert(t.values->keyParts(e)); });
  return keys;
}

inline SchanAccel::Fapmask maskOf(std::initializer_list<std::uint8_t> ids) {
  SchanAccel::Fapmask mask;
  for (std::uint8_t id : ids) mask.fapIdIs(id);
  return mask;
}

// The commands of `batch`, front first; none for a null batch.
inline std::vector<Orvel::Ptr<SchanAccel::SchanCmd>> cmdsOf(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  if (!batch) return {};
  return {batch->cmds().begin(), batch->cmds().end()};
}

// The one command of `batch`; a failure, and a blank command, when it holds none or several.
inline Orvel::Ptr<SchanAccel::SchanCmd> onlyCmd(const Orvel::Ptr<SchanAccel::SchanCmds>& batch) {
  const std::size_t n = batch ? batch->size() : 0;
  EXPECT_EQ(n, 1u) << "commands in the batch";
  return n == 1 ? batch->cmds().front() : SchanAccel::schanCmdFactory();
}

using testing_support::errorOf;

// The trace lines that `rule` selects while the capture lives; afterwards every handle is off, the sink the default.
class TraceCapture {
 public:
  explicit TraceCapture(const std::string& rule) {
    Zev::TraceHandle::disableAll();
    Zev::TraceHandle::enable(rule);
    Lumlog::currentSinkIs(&sink_);
  }
  ~TraceCapture() {
    Lumlog::currentSinkIs(nullptr);
    Zev::TraceHandle::disableAll();
  }
  std::vector<Lumlog::Record> records() const { return sink_.records(); }
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const Lumlog::Record& r : sink_.records()) texts.push_back(r.message);
    return texts;
  }

 private:
  Lumlog::CaptureSink sink_;
};

class ShadowTest : public test_shm::TempBaseDir {
 protected:
  void TearDown() override {
    tables_.clear();
    manager_ = nullptr;
    test_shm::TempBaseDir::TearDown();
  }

  // A new table of type T for `rev`, held until the test ends.
  template <class T>
  Orvel::Ptr<T> make(const Hardware::Vovu::FapRevision& rev = kRev25) {
    return Orvel::dynamicPtrCast<T>(make(T::description(), rev));
  }
  // A new table that `t` describes, for `rev`, held until the test ends.
  Orvel::Ptr<VovuAsicUtils::HwCommonTableBase> make(const bcm88490_a0::catalogue::TableDescription& t,
                                                    const Hardware::Vovu::FapRevision& rev = kRev25) {
    auto table = t.freeFactory(t.name, VovuAsicUtils::HwTableKey(t.name, rev), manager_);
    tables_.push_back(table);
    return table;
  }

  Orvel::Ptr<VovuAsicUtils::TableManager> manager_{new VovuAsicUtils::TableManager("test")};
  std::vector<Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>> tables_;
};

}  // namespace test_shadows
