#include "service/SignalPipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace Zarvo {

namespace {

// Write end of the live pipe, or -1. Atomic because a signal may be delivered on any thread.
std::atomic<int> gSignalPipeWrite{-1};

extern "C" void onStopSignal(int) {
  const int savedErrno = errno;  // the interrupted code may be about to read errno
  const int fd = gSignalPipeWrite.load();
  if (fd >= 0 && ::write(fd, "s", 1) < 0) {
    // A full pipe already holds a pending request; nothing else is safe to do here.
  }
  errno = savedErrno;
}

}  // namespace

SignalPipe::SignalPipe() {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  gSignalPipeWrite.store(fds_[1]);
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  installed_ =
      ::sigaction(SIGINT, &action, &oldInt_) == 0 && ::sigaction(SIGTERM, &action, &oldTerm_) == 0;
  // The signal mask survives exec: a parent that had these signals blocked when it started us
  // (seen from a test process under the thread sanitizer) would leave the stop request pending
  // for ever. This thread takes them from now on.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

SignalPipe::~SignalPipe() {
  if (installed_) {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  gSignalPipeWrite.store(-1);
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

void SignalPipe::drain() {
  char buf[64];
  while (::read(fds_[0], buf, sizeof buf) > 0) {
  }
}

}  // namespace Zarvo
