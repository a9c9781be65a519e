// Brask::BraskReader: the sequence transport's reader, as a poller.
//
// The writers of this system publish no change notifications, so the reader
// finds changes itself: poll() reads every slot's version word through the
// given source and delivers one notification (slot, sequence, flag) for each
// slot whose version differs from the one it saw last, including slots that
// disappeared because the slot table shrank (they are reported once, as
// changed, and then forgotten).
//
// What it guarantees:
//   - every slot whose version word changed since the previous poll is
//     notified in this poll, once; several changes between two polls
//     coalesce into one notification;
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
    std::function<std::uint32_t()> numSlots;               // slots in the shared table now
    std::function<std::uint32_t(std::uint32_t)> version;   // a slot's version word
  };
  using Handler = std::function<bool(std::uint32_t slot, std::uint64_t sequence, std::uint32_t flag)>;

  bool initialize(Source source);
  // Delivers the changes since the last poll; returns how many were consumed.
  std::uint32_t poll(const Handler& handler);
  bool sequenceHeld(std::uint64_t sequence) const;
  std::uint64_t sequence() const noexcept { return next_; }

 private:
  Source source_;
  std::vector<std::uint32_t> seen_;       // version last delivered per slot
  std::vector<std::uint64_t> delivered_;  // latest sequence delivered per slot
  std::uint64_t next_ = 1;
  bool initialized_ = false;
};

}  // namespace Brask
