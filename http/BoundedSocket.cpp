#include "http/BoundedSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace Zarvo {

namespace {

// Qt's socket waits take int milliseconds; -1 would mean "for ever", so a spent deadline is 0.
int msecsLeft(QDeadlineTimer deadline) {
  if (deadline.isForever()) return INT_MAX;
  return int(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

}  // namespace

BoundedSocket::BoundedSocket(Interrupt interrupt)
    : interruptible_(interrupt == Interrupt::kFromAnyThread) {}

BoundedSocket::~BoundedSocket() { abort(); }

bool BoundedSocket::adopt(qintptr descriptor) {
  if (!socket_.setSocketDescriptor(descriptor)) return false;
  keepDescriptor();
  if (!interrupted()) return true;
  abort();
  return false;
}

bool BoundedSocket::connectTo(const QString& host, quint16 port, std::chrono::milliseconds limit) {
  const QDeadlineTimer deadline(limit);
  if (!interrupted()) {
    socket_.connectToHost(host, port);
    if (socket_.waitForConnected(msecsLeft(deadline))) {
      keepDescriptor();
      // Checked after the duplicate is in place: an interrupt from now on reaches the connection.
      if (!interrupted()) return true;
    }
  }
  abort();
  return false;
}

bool BoundedSocket::writeAll(const QByteArray& bytes, std::chrono::milliseconds stallLimit,
                             QDeadlineTimer total) {
  if (socket_.state() != QAbstractSocket::ConnectedState || interrupted()) return false;
  if (socket_.write(bytes) != bytes.size()) return false;
  // Each waitForBytesWritten() returns as soon as some bytes left: the stall limit is per
  // wait without progress, not for the whole payload.
  while (socket_.bytesToWrite() > 0) {
    const int wait = msecsLeft(nextWait(total, stallLimit));
    if (wait <= 0 || !socket_.waitForBytesWritten(wait)) return false;
  }
  return true;
}

bool BoundedSocket::waitForData(QDeadlineTimer deadline) {
  if (interrupted()) return false;
  while (socket_.bytesAvailable() < 1) {
    if (socket_.state() != QAbstractSocket::ConnectedState) return false;
    const int wait = msecsLeft(deadline);
    if (wait <= 0 || !socket_.waitForReadyRead(wait)) return socket_.bytesAvailable() > 0;
  }
  return true;
}

qint64 BoundedSocket::readSome(char* buffer, qint64 max, QDeadlineTimer deadline) {
  if (max <= 0) return 0;
  if (!waitForData(deadline)) return 0;
  return socket_.read(buffer, max);
}

qint64 BoundedSocket::bytesAvailable() const { return socket_.bytesAvailable(); }

bool BoundedSocket::closeGracefully(std::chrono::milliseconds limit) {
  const QDeadlineTimer deadline(limit);
  // While a duplicate is open, the socket's own close would not end the connection.
  dropDescriptor();
  if (socket_.state() == QAbstractSocket::UnconnectedState) return true;
  socket_.disconnectFromHost();  // sends what is queued, then our FIN
  bool closed = socket_.state() == QAbstractSocket::UnconnectedState;
  while (!closed) {
    const int wait = msecsLeft(deadline);
    if (wait <= 0) break;
    // After our FIN the peer may still send; what it sends is not ours to read any more.
    closed =
        socket_.waitForDisconnected(wait) || socket_.state() == QAbstractSocket::UnconnectedState;
    socket_.readAll();
  }
  socket_.abort();
  return closed;
}

bool BoundedSocket::waitForPeerClose(QDeadlineTimer deadline) {
  bool closed = socket_.state() != QAbstractSocket::ConnectedState;
  if (!closed && interrupted()) deadline = QDeadlineTimer(0);  // nothing to wait for any more
  // Whatever the peer still sends is dropped. It is read straight from the descriptor: Qt's own
  // wait stops reading once the socket's read buffer is full and then finds the descriptor
  // readable again at once, a loop that burns a core until the deadline and never sees the
  // peer's close queued behind the unread bytes.
  (void)socket_.readAll();
  const int fd = int(socket_.socketDescriptor());
  char scratch[16 * 1024];
  while (!closed && fd >= 0) {
    const int wait = msecsLeft(deadline);
    if (wait <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;  // the deadline passed, or the descriptor cannot be waited on
    const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    closed = true;  // the peer closed (0), or reset the connection: either way it is gone
  }
  // An interrupt ends the stream as a peer's close would; it says nothing about the peer.
  if (interrupted()) closed = false;
  abort();
  return closed;
}

bool BoundedSocket::shutdownWrite() {
  if (!isConnected() || socket_.bytesToWrite() > 0) return false;
  return ::shutdown(int(socket_.socketDescriptor()), SHUT_WR) == 0;
}

void BoundedSocket::abort() {
  socket_.abort();
  dropDescriptor();
}

void BoundedSocket::interrupt() {
  std::lock_guard<std::mutex> lock(cutMutex_);
  interrupted_ = true;
  // A shut-down connection wakes every wait on it with end of stream or an error, on whichever
  // thread waits; the descriptor itself stays valid for the owner.
  if (cutFd_ >= 0) (void)::shutdown(cutFd_, SHUT_RDWR);
}

bool BoundedSocket::interrupted() const {
  std::lock_guard<std::mutex> lock(cutMutex_);
  return interrupted_;
}

void BoundedSocket::keepDescriptor() {
  if (!interruptible_) return;
  const qintptr own = socket_.socketDescriptor();
  const int fd = own < 0 ? -1 : ::fcntl(int(own), F_DUPFD_CLOEXEC, 0);
  std::lock_guard<std::mutex> lock(cutMutex_);
  if (cutFd_ >= 0) ::close(cutFd_);
  cutFd_ = fd;
  if (interrupted_ && cutFd_ >= 0) (void)::shutdown(cutFd_, SHUT_RDWR);
}

void BoundedSocket::dropDescriptor() {
  std::lock_guard<std::mutex> lock(cutMutex_);
  if (cutFd_ >= 0) ::close(cutFd_);
  cutFd_ = -1;
}

bool BoundedSocket::isConnected() const {
  return socket_.state() == QAbstractSocket::ConnectedState;
}

QDeadlineTimer BoundedSocket::nextWait(QDeadlineTimer total, std::chrono::milliseconds step) {
  const QDeadlineTimer stepEnd(step);
  return stepEnd < total ? stepEnd : total;
}

}  // namespace Zarvo
