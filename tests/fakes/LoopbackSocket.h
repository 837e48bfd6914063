// Socket plumbing shared by the loopback fakes: a listening socket on 127.0.0.1 with a port
// chosen by the system, and an accept that gives up after a slice of time so a serving loop
// can notice that it should stop.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <atomic>
#include <chrono>

namespace testing_net {

// Listens on 127.0.0.1:0; returns the descriptor and sets `port`. Aborts the test process
// when the socket cannot be set up (nothing can be tested then).
int listenOnLoopback(int backlog, quint16& port);

// The next connection, or -1 when none arrived within `ms` milliseconds.
int acceptWithin(int listenFd, int ms);

// One HTTP request as a fake server read it.
struct RawRequest {
  QByteArray data;          // every byte read: the head, then the body (or what came of them)
  qsizetype headSize = -1;  // the head with its blank line; -1 when no whole head came
  bool complete = false;    // the head and all the body its Content-Length announces are here
  bool peerClosed = false;  // the client hung up before that

  QByteArray head() const { return headSize < 0 ? QByteArray() : data.left(headSize); }
  QByteArray body() const { return headSize < 0 ? QByteArray() : data.mid(headSize); }
  // The request target of the start line ("/DSMGetFiles.cgi"), empty when malformed.
  QByteArray target() const;
};

// Reads one request from `fd`: the head, then the body its Content-Length (any letter case)
// announces. Gives up when `stop` is set, the client hangs up, or nothing comes for `idleLimit`.
RawRequest readRequest(int fd, const std::atomic<bool>& stop,
                       std::chrono::milliseconds idleLimit = std::chrono::seconds(60));

// Connects to 127.0.0.1:port, writes `bytes` and closes, as the print-port sender does. False
// when the connection is refused or a write fails.
bool sendAndClose(quint16 port, const QByteArray& bytes);

// Holds a connection open without a word, swallowing what the client sends, until the client
// hangs up, `stop` is set or `limit` has passed.
void holdSilently(int fd, const std::atomic<bool>& stop,
                  std::chrono::milliseconds limit = std::chrono::hours(1));

}  // namespace testing_net
