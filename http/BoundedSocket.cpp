#include "http/BoundedSocket.h"

#include <algorithm>
#include <climits>

namespace Zarvo {

namespace {

// Qt's socket waits take int milliseconds; -1 would mean "for ever", so a spent deadline is 0.
int msecsLeft(QDeadlineTimer deadline) {
  if (deadline.isForever()) return INT_MAX;
  return int(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

}  // namespace

BoundedSocket::BoundedSocket() = default;

BoundedSocket::~BoundedSocket() { socket_.abort(); }

bool BoundedSocket::adopt(qintptr descriptor) { return socket_.setSocketDescriptor(descriptor); }

bool BoundedSocket::connectTo(const QString& host, quint16 port, std::chrono::milliseconds limit) {
  const QDeadlineTimer deadline(limit);
  socket_.connectToHost(host, port);
  if (socket_.waitForConnected(msecsLeft(deadline))) return true;
  socket_.abort();
  return false;
}

bool BoundedSocket::writeAll(const QByteArray& bytes, std::chrono::milliseconds stallLimit,
                             QDeadlineTimer total) {
  if (socket_.state() != QAbstractSocket::ConnectedState) return false;
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
  while (!closed) {
    const int wait = msecsLeft(deadline);
    if (wait <= 0) break;
    socket_.waitForDisconnected(wait);
    socket_.readAll();  // whatever the peer still sends is dropped
    closed = socket_.state() != QAbstractSocket::ConnectedState;
  }
  socket_.abort();
  return closed;
}

void BoundedSocket::abort() { socket_.abort(); }

bool BoundedSocket::isConnected() const {
  return socket_.state() == QAbstractSocket::ConnectedState;
}

QDeadlineTimer BoundedSocket::nextWait(QDeadlineTimer total, std::chrono::milliseconds step) {
  const QDeadlineTimer stepEnd(step);
  return stepEnd < total ? stepEnd : total;
}

}  // namespace Zarvo
