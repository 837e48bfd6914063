// Socket plumbing shared by the loopback fakes: a listening socket on 127.0.0.1 with a port
// chosen by the system, and an accept that gives up after a slice of time so a serving loop
// can notice that it should stop.
#pragma once

#include <QtGlobal>

namespace testing_net {

// Listens on 127.0.0.1:0; returns the descriptor and sets `port`. Aborts the test process
// when the socket cannot be set up (nothing can be tested then).
int listenOnLoopback(int backlog, quint16& port);

// The next connection, or -1 when none arrived within `ms` milliseconds.
int acceptWithin(int listenFd, int ms);

}  // namespace testing_net
