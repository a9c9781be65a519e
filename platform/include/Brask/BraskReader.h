// Brask::BraskReader: the sequence transport's reader, as a poller.
//
// The writers of this system publish no change notifications, so the reader
// finds changes itself: poll() reads every slot's version word through the
// given source and delivers one notification (slot, sequence, flag) for each
// slot whose version differs from the one it saw last, including slots that
// disappeared because the slot table shrank (they are reported once, as
// changed, and then forgotten).
//
// A version word tells changes apart only while its slot lives: slots that
// are cut and added again start over at version 0, so a slot reused for
// another key can come back to the version seen before the cut. The source's
// generation advances whenever slots are cut or added; a poll that finds it
// changed delivers every slot.
//
// What it guarantees:
//   - every slot whose version word changed since the previous poll is
//     notified in this poll, once; several changes between two polls
//     coalesce into one notification; after a change of generation every
//     slot is notified;
//   - a version is read only for a slot below the source's slot count at that
//     moment: the count is read again before every slot, because a handler
//     may re-map the table (a slot past it is reported as gone);
//   - sequences increase by one per notification, across polls;
//   - a notification the handler does not consume (returns false) is
//     delivered again at the next poll;
//   - sequenceHeld(s) is true for the latest sequence delivered for a slot
//     (nothing older is kept: the newest notification supersedes it).
// It is single-threaded and keeps one version word per slot.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace Brask {

class BraskReader {
 public:
  static constexpr std::uint64_t kNoSequence = ~std::uint64_t{0};

  struct Source {
    std::function<std::uint32_t()> numSlots;              // slots readable now
    std::function<std::uint32_t(std::uint32_t)> version;  // a slot's version word
    std::function<std::uint32_t()> generation;            // advances when slots are cut or added
  };
  using Handler = std::function<bool(std::uint32_t slot, std::uint64_t sequence, std::uint32_t flag)>;

  bool initialize(Source source);
  // Delivers the changes since the last poll; returns how many were consumed.
  std::uint32_t poll(const Handler& handler);
  // Makes the next poll deliver every slot.
  void resync();
  bool sequenceHeld(std::uint64_t sequence) const;
  std::uint64_t sequence() const noexcept { return next_; }

 private:
  Source source_;
  std::vector<std::uint32_t> seen_;       // version last delivered per slot
  std::vector<std::uint64_t> delivered_;  // latest sequence delivered per slot
  std::uint32_t generation_ = 0;
  std::uint64_t next_ = 1;
  bool initialized_ = false;
};

}  // namespace Brask
