// Tables with shadows in a private shared-memory base directory.
//
// ShadowTest gives each test its own base directory (TempBaseDir), a table
// manager and a helper that builds a table through its free factory for a
// revision; tables and shadows made through it are dropped before the
// directory is removed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Hardware/Vovu/FapRevision.h"
#include "Orvel/Ptr.h"
#include "VovuAsicUtils/TableManager.h"
#include "support/TempBaseDir.h"

namespace test_shadows {

inline const Hardware::Vovu::FapRevision kRev25 = Hardware::Vovu::FapRevision::of(Hardware::ChipType::bcm88490_a0, 0);
inline const Hardware::Vovu::FapRevision kRev12 = Hardware::Vovu::FapRevision::of(static_cast<Hardware::ChipType>(12), 0);

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
