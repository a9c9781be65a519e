// Stop signals: SIGINT, SIGTERM and SIGHUP turned into a request that a long
// command looks at between steps or waits for.
//
// The handler only writes one byte into a pipe (async-signal-safe); the byte
// stays there, so a signal that arrives before the command looks is still
// seen, and a command that waits sleeps in poll() until one arrives. One
// instance may exist at a time; it restores the previous handlers when it goes.
#pragma once

#include <csignal>
#include <iterator>
#include <stdexcept>

namespace shadowctl {

// Thrown by StopSignals::throwIfRequested: the command was asked to stop.
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

class StopSignals {
 public:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

  // Installs the handlers. Throws std::system_error when the pipe cannot be made.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Whether a stop signal has arrived; does not consume it.
  bool requested() const;
  // Throws Interrupted when a stop signal has arrived.
  void throwIfRequested() const;
  // Returns once a stop signal has arrived (at once if one already has).
  void wait() const;

 private:
  struct sigaction previous_[std::size(kSignals)]{};
};

// While it lives, a reader of the output that goes away (`shadowctl run |
// head`) makes writes fail instead of ending the process, so that a command
// still removes what it made.
class IgnoreBrokenPipe {
 public:
  IgnoreBrokenPipe();
  ~IgnoreBrokenPipe();
  IgnoreBrokenPipe(const IgnoreBrokenPipe&) = delete;
  IgnoreBrokenPipe& operator=(const IgnoreBrokenPipe&) = delete;

 private:
  struct sigaction previous_ {};
};

}  // namespace shadowctl
