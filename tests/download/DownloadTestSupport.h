// Shadows downloaded to simulated chips.
//
// DownloadTest is a ShadowTest with a simulator of chips 0 and 1 built from the catalogue, the table manager's DMA pool
// at hand, and helpers that download a shadow through the host's interface and compare a chip with a shadow.
#pragma once

#include <gtest/gtest.h>

#include <array>

#include "DmaMemPoolManager/DmaMemPoolManager.h"
#include "SchanAccel/SchanCmds.h"
#include "VovuAsicUtils/TableDescription.h"
#include "shadows/ShadowTestSupport.h"
#include "sim/CatalogueMap.h"
#include "sim/ChipSimulator.h"
#include "sim/ShadowImage.h"

namespace test_download {

using namespace test_shadows;

inline constexpr std::array<std::uint8_t, 2> kChips = {0, 1};

class DownloadTest : public test_shadows::ShadowTest {
 protected:
  DmaMemPoolManager::DmaMemPoolManager& pool() { return *manager_->dmaMemPoolManager(); }

  // The shadow of `key` in `table`, downloaded to the chips of `mask` through the host's untyped interface.
  static Orvel::Ptr<SchanAccel::SchanCmds> download(const VovuAsicUtils::HwCommonTableBase& table,
                                                    const VovuAsicUtils::HwShadowKey& key,
                                                    const SchanAccel::Fapmask& mask) {
    return table.hwShadowColl(key)->download("bcm88490_a0", table.fapRevision(), mask);
  }

  // Compares chip `key.fapId()` with the shadow of `key` in `table`; a failure names the first differing entries.
  ::testing::AssertionResult chipMatches(const VovuAsicUtils::HwCommonTableBase& table,
                                         const VovuAsicUtils::HwShadowKey& key) {
    const auto* t = bcm88490_a0::catalogue::table(table.name().view());
    if (!t) return ::testing::AssertionFailure() << "no catalogue entry for " << table.name().view();
    const sim::ImageComparison c = sim::compareChipWithShadow(*t, table, key, *simulator_.chip(key.fapId()));
    if (c.matches()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    failure << t->name << " chip " << int(key.fapId()) << ": " << c.mismatches << " of " << c.entriesCompared
            << " entries differ;";
    for (const sim::ImageMismatch& m : c.first) {
      failure << " " << m.memory << "[" << int(m.instance) << "](" << m.arrayIndex << "," << m.entryIndex << ")";
    }
    return failure;
  }

  sim::ChipSimulator simulator_{sim::memoryMapOf(bcm88490_a0::catalogue::tables()), kChips};
};

}  // namespace test_download
