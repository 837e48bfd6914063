// While it exists, SIGINT and SIGTERM do not kill the process: each writes a byte to a pipe
// whose read end the owner watches (a signal handler may do almost nothing itself). Destroying
// it gives both signals back their previous handlers. One at a time per process.
#pragma once

#include <signal.h>

namespace Zarvo {

class SignalPipe {
 public:
  SignalPipe();
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // False when the pipe or the handlers could not be set up (signals then act as before).
  bool isValid() const { return installed_; }
  // Readable once a signal arrived; non-blocking.
  int readFd() const { return fds_[0]; }
  // Empties the pipe after a wake-up.
  void drain();

 private:
  int fds_[2] = {-1, -1};
  bool installed_ = false;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

}  // namespace Zarvo
