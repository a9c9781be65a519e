#include "StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace shadowctl {
namespace {

// The pipe the handler writes into: [0] read end, [1] write end; -1 when no
// StopSignals lives.
int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
  errno = saved;
}

// Whether the pipe holds a byte within `timeoutMs` (-1: however long it takes).
bool arrivedWithin(int timeoutMs) {
  pollfd fd{stopPipe[0], POLLIN, 0};
  return ::poll(&fd, 1, timeoutMs) > 0;
}

}  // namespace

StopSignals::StopSignals() {
  if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create the stop-signal pipe");
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
}

StopSignals::~StopSignals() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  ::close(stopPipe[0]);
  ::close(stopPipe[1]);
  stopPipe[0] = stopPipe[1] = -1;
}

bool StopSignals::requested() const { return arrivedWithin(0); }

void StopSignals::throwIfRequested() const {
  if (requested()) throw Interrupted();
}

void StopSignals::wait() const {
  // poll() returns early when another signal interrupts it; look again.
  while (!arrivedWithin(-1)) {
  }
}

IgnoreBrokenPipe::IgnoreBrokenPipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &previous_);
}

IgnoreBrokenPipe::~IgnoreBrokenPipe() { ::sigaction(SIGPIPE, &previous_, nullptr); }

}  // namespace shadowctl
