// A blocking TCP socket whose every wait is bounded, for threads without an event loop (the
// listener's connections, the inter-service client, the print-port sender).
//
// The QTcpSocket inside is created on the constructing thread and must only be used there (Qt
// thread affinity). Waits take a QDeadlineTimer (an absolute end) or a limit without progress;
// none of them waits past what it was given, and none reports a failure as success.
//
//   BoundedSocket s;
//   if (!s.connectTo(host, port, limits::kServiceConnect)) return fail();
//   if (!s.writeAll(request, limits::kWriteWait)) return fail();
//   const QDeadlineTimer total(limits::kClientReadTotal);
//   while (...) {
//     const qint64 n = s.readSome(buffer, sizeof buffer, s.nextWait(total,
//     limits::kClientReadWait)); if (n <= 0) return fail();   // nothing came in time, the peer
//     closed, or a read failed
//   }
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QTcpSocket>
#include <chrono>

namespace Zarvo {

class BoundedSocket {
 public:
  // An unconnected socket owned by the calling thread.
  BoundedSocket();
  // Aborts the connection if still open: no wait in a destructor.
  ~BoundedSocket();
  BoundedSocket(const BoundedSocket&) = delete;
  BoundedSocket& operator=(const BoundedSocket&) = delete;

  // Takes over a connected descriptor (as handed out by QTcpServer::incomingConnection).
  // Returns false when the descriptor is not a usable socket; it is then closed.
  [[nodiscard]] bool adopt(qintptr descriptor);

  // Connects to host:port (a name is resolved first, within the same limit). False when no
  // connection came within `limit` or the peer refused.
  [[nodiscard]] bool connectTo(const QString& host, quint16 port, std::chrono::milliseconds limit);

  // Queues `bytes` and waits until every byte has gone to the system. Each wait may last up to
  // `stallLimit` without progress, all of them together at most until `total`. False on a
  // failed write, a stall or the total running out: some bytes may then not have been sent.
  [[nodiscard]] bool writeAll(const QByteArray& bytes, std::chrono::milliseconds stallLimit,
                              QDeadlineTimer total = QDeadlineTimer(QDeadlineTimer::Forever));

  // Waits until at least one byte can be read, at most until `deadline`. False on time-out,
  // when the peer closed with nothing left to read, or on a socket error.
  [[nodiscard]] bool waitForData(QDeadlineTimer deadline);
  // Reads up to `max` bytes, waiting until `deadline` for the first one. Returns the count, or
  // 0 when nothing came in time or the peer closed, -1 on a read error.
  [[nodiscard]] qint64 readSome(char* buffer, qint64 max, QDeadlineTimer deadline);
  // Bytes already received and not yet read (no wait).
  [[nodiscard]] qint64 bytesAvailable() const;

  // Closes our side once every queued byte is sent, and waits up to `limit` for the connection
  // to be closed. True when it closed within the limit; the socket is closed either way.
  [[nodiscard]] bool closeGracefully(std::chrono::milliseconds limit);
  // For a server after its answer: drops whatever the peer still sends and waits until `deadline`
  // for it to close. True when the peer closed in time; the socket is aborted either way.
  bool waitForPeerClose(QDeadlineTimer deadline);
  // Drops the connection at once.
  void abort();

  [[nodiscard]] bool isConnected() const;
  // Direct access, e.g. for setReadBufferSize() or the peer address.
  QTcpSocket& socket() { return socket_; }

  // The earlier of `total` and `step` from now: one wait of a loop whose whole run is bounded.
  [[nodiscard]] static QDeadlineTimer nextWait(QDeadlineTimer total,
                                               std::chrono::milliseconds step);

 private:
  QTcpSocket socket_;
};

}  // namespace Zarvo
