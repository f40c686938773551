#include "platform/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace lumbrella {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t received = 0;
volatile std::sig_atomic_t notify = -1;  // the pipe's end to write to

void Caught(int number) {
  const int saved = errno;
  if (received == 0) received = number;
  if (notify >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(notify, &byte, 1);
  }
  errno = saved;
}

}  // namespace

TStopSignals::TStopSignals() {
  received = 0;
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == 0) notify = pipe_[1];
  struct sigaction action {};
  action.sa_handler = Caught;
  sigemptyset(&action.sa_mask);
  // Calls in progress go on; the second signal finds the default action back in place.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int number : kStopSignals) {
    struct sigaction old {};
    // One ignored from the start (nohup, a background job) stays ignored.
    if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(number, &action, nullptr);
    }
  }
}

TStopSignals::~TStopSignals() {
  for (int number : kStopSignals) {
    struct sigaction now {};
    if (sigaction(number, nullptr, &now) == 0 && now.sa_handler == Caught) {
      std::signal(number, SIG_DFL);
    }
  }
  notify = -1;
  for (int fd : pipe_) {
    if (fd >= 0) close(fd);
  }
}

int TStopSignals::Received() {
  return received;
}

}  // namespace lumbrella
