// VovuAsicUtils::SupportedFapRevList: the chip revisions this host supports.
//
// The list is an ordered set of FapRevision. Its default holds chip type 25
// minor 0 and minor 1 and chip type 12 minor 0; the environment variable
// VOVU_FAP_REVISIONS ("CHIPTYPE.MINOR[,CHIPTYPE.MINOR...]", e.g. "25.0,25.1")
// replaces the default when the list is first used (a malformed value is
// reported on stderr and the default kept), and the setters below
// replace it at any time. Plug-ins read it while they register, so a process
// that wants another list sets it before it loads them.
#pragma once

#include <set>

#include "Hardware/Vovu/FapRevision.h"

namespace VovuAsicUtils {

using Hardware::Vovu::FapRevision;

class SupportedFapRevList {
 public:
  static const std::set<FapRevision>& fapRevisionList();
  static void fapRevisionListIs(std::set<FapRevision> revisions);
  static void fapRevisionIs(const FapRevision& revision);
  static void fapRevisionDel(const FapRevision& revision);
  static std::set<FapRevision> defaultList();
  // Parses the VOVU_FAP_REVISIONS syntax; throws Orvel::InvalidInitializeException.
  static std::set<FapRevision> parse(std::string_view text);

  // Calls fn(revision) for each supported revision of `chip`, ascending. The
  // list may change inside fn: after each revision the walk continues with the
  // first revision that compares greater than the one just handled.
  template <class Fn>
  static void forEachRevisionOf(Hardware::ChipType chip, Fn&& fn) {
    const auto& list = fapRevisionList();
    for (auto it = list.begin(); it != list.end();) {
      const FapRevision current = *it;
      if (current.chipType() == chip) fn(current);
      it = list.upper_bound(current);
    }
  }
};

}  // namespace VovuAsicUtils
