// Tables with shadows in a private shared-memory base directory.
//
// ShadowTest gives each test its own base directory (TempBaseDir), a table manager and a helper that builds a table
// through its free factory for a revision; tables and shadows made through it are dropped before the directory is
// removed. Beside it: helpers for command batches and a capture of trace lines.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Hardware/Vovu/FapRevision.h"
#include "Lumlog/Sink.h"
#include "Orvel/Ptr.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/TableManager.h"
#include "Zev/TraceHandle.h"
#include "support/TempBaseDir.h"

namespace test_shadows {

inline const Hardware::Vovu::FapRevision kRev25 = Hardware::Vovu::FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
inline const Hardware::Vovu::FapRevision kRev12 =
    Hardware::Vovu::FapRevision::of(static_cast<Hardware::ChipType>(12), 0);

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

// The text of the exception of type E that `operation` throws, or "no exception"; other exceptions pass through.
template <class E, class Operation>
std::string errorOf(Operation&& operation) {
  try {
    operation();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

// The trace lines that `rule` selects while the capture lives (every other handle off); traces go back to off and to
// the default sink afterwards.
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
  void clear() { sink_.clear(); }

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
    Orvel::Ptr<T> table(new T(T::tableName(), VovuAsicUtils::HwTableKey(T::tableName(), rev), manager_));
    tables_.push_back(table);
    return table;
  }

  Orvel::Ptr<VovuAsicUtils::TableManager> manager_{new VovuAsicUtils::TableManager("test")};
  std::vector<Orvel::Ptr<VovuAsicUtils::HwCommonTableBase>> tables_;
};

}  // namespace test_shadows
