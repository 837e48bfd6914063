#include "http/Listener.h"

#include <QElapsedTimer>
#include <algorithm>
#include <climits>
#include <QTcpServer>
#include <QTcpSocket>

#include "framework/Application.h"
#include "framework/Log.h"
#include "framework/Thread.h"
#include "http/HTTPParser.h"

namespace {

using Zarvo::Application;
using Zarvo::PacketPtr;
using Zarvo::ResponsePacket;

// A time budget shared by several waits.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds total) : total_(total.count()) { timer_.start(); }
  // What is left of the budget, at most `cap`; 0 when spent.
  int remaining(std::chrono::milliseconds cap) const {
    const qint64 left = std::min<qint64>(total_ - timer_.elapsed(), qint64(cap.count()));
    return int(std::clamp<qint64>(left, 0, INT_MAX));
  }

 private:
  qint64 total_;
  QElapsedTimer timer_;
};

// The request could not be read: the answer is 400.
struct ReadFailure {};

class Connection : public Zarvo::Thread {
 public:
  Connection(Application& app, qintptr descriptor, const ConnectionLimits& limits)
      : Thread(app.threadGroup()), app_(app), descriptor_(descriptor), limits_(limits) {}

 protected:
  void run() override {
    // The socket belongs to this thread: it is created and destroyed here.
    QTcpSocket socket;
    if (!socket.setSocketDescriptor(descriptor_)) return;  // nothing to answer on
    socket.setReadBufferSize(64 * 1024);
    QByteArray body;
    QString command;
    try {
      readRequest(socket, command, body);
    } catch (const ReadFailure&) {
      writeAll(socket, HTTPResponseHeader(400, QStringLiteral("Bad request")).toByteArray());
      waitForPeerClose(socket);
      return;
    } catch (const HTTPParser::ParsingError&) {
      writeAll(socket, HTTPResponseHeader(400, QStringLiteral("Bad request")).toByteArray());
      waitForPeerClose(socket);
      return;
    }
    answer(socket, command, body);
    waitForPeerClose(socket);
  }

 private:
  // Fills `command` and `body`; throws ReadFailure or HTTPParser::ParsingError.
  void readRequest(QTcpSocket& socket, QString& command, QByteArray& body) {
    HTTPRequestParser parser;
    const Deadline headDeadline(limits_.headTotal);
    char chunk[4096];
    while (parser.state() == HTTPParser::Incomplete) {
      waitForData(socket, headDeadline);
      const qint64 n = socket.read(chunk, sizeof chunk);
      if (n <= 0) throw ReadFailure();
      const qsizetype used = parser.parse(chunk, n);
      if (parser.state() == HTTPParser::Complete) body.append(chunk + used, n - used);
    }
    if (!parser.hasValue(kContentLength)) throw ReadFailure();
    const qint64 length = contentLength(parser);
    // A hostile length is refused before anything is allocated for it.
    if (length < 0 || length > limits_.maxBody) throw ReadFailure();
    if (body.size() > length) body.truncate(length);
    const Deadline bodyDeadline(limits_.bodyTotal);
    while (body.size() < length) {
      waitForData(socket, bodyDeadline);
      const QByteArray more = socket.read(length - body.size());
      if (more.isEmpty()) throw ReadFailure();
      body.append(more);
    }
    command = parser.path();
    command.remove(QLatin1Char('/'));
  }

  void waitForData(QTcpSocket& socket, const Deadline& deadline) {
    while (socket.bytesAvailable() < 1) {
      const int wait = deadline.remaining(limits_.readWait);
      if (wait <= 0 || !socket.waitForReadyRead(wait)) throw ReadFailure();
    }
  }

  void answer(QTcpSocket& socket, const QString& command, const QByteArray& body) {
    PacketPtr response;
    try {
      response = app_.processRequest(command, body);
    } catch (...) {
      response = std::make_unique<ResponsePacket>(
          -1, QStringLiteral("Command handler raised an exception"));
    }
    QByteArray bytes;
    if (response) {
      try {
        response->toByteArray(bytes);
      } catch (const Zarvo::WrongPacketFormat& e) {
        ResponsePacket(-1, e.message()).toByteArray(bytes);
      } catch (...) {
        ResponsePacket(-1, QStringLiteral("Command handler raised an exception"))
            .toByteArray(bytes);
      }
    } else {
      // A service that returns no packet: the default document, UTF-16LE without BOM.
      static const QString kDefault = QStringLiteral(
          "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?><OrxResponse/>");
      bytes.reserve(kDefault.size() * 2);
      for (QChar c : kDefault) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
      }
    }
    response.reset();
    HTTPResponseHeader head(200, QStringLiteral("OK"));
    head.setValue(kContentLength, QString::number(bytes.size()));
    // Head and body leave in one write: a separate head costs a system call, a TCP segment
    // and a wake-up of the peer on every request. The two writes each had their own wait, so
    // together they keep both budgets.
    writeAll(socket, head.toByteArray() + bytes, 2);
  }

  // Write failures and time-outs are not reported: the connection goes on to wait for the
  // peer to close. Each wait is bounded by the write wait, all of them by `budgets` of it.
  bool writeAll(QTcpSocket& socket, const QByteArray& bytes, int budgets = 1) {
    if (socket.write(bytes) != bytes.size()) return false;
    const Deadline deadline(limits_.writeWait * budgets);
    while (socket.bytesToWrite() > 0) {
      const int wait = deadline.remaining(limits_.writeWait);
      if (wait <= 0 || !socket.waitForBytesWritten(wait)) return false;
    }
    return true;
  }

  // One request per connection: the peer closes after reading the answer. A peer that never
  // does is cut off after the close wait, so it cannot hold a thread for ever.
  void waitForPeerClose(QTcpSocket& socket) {
    const Deadline deadline(limits_.closeWait);
    while (socket.state() == QAbstractSocket::ConnectedState) {
      const int wait = deadline.remaining(limits_.closeWait);
      if (wait <= 0) break;
      socket.waitForDisconnected(wait);
      socket.readAll();  // whatever the peer still sends is dropped
    }
    socket.abort();
  }

  Application& app_;
  qintptr descriptor_;
  ConnectionLimits limits_;
};

class Listener : public QTcpServer {
 public:
  Listener(Application& app, QObject* parent, quint16 port, const ConnectionLimits& limits)
      : QTcpServer(parent), app_(app), limits_(limits) {
    setListenBacklogSize(1024);  // bursts of new connections are the normal load here
    listen(QHostAddress::AnyIPv4, port);
  }

 protected:
  // Runs on the main thread: the group that owns the connection lives there.
  void incomingConnection(qintptr descriptor) override {
    auto* connection = new Connection(app_, descriptor, limits_);
    connection->setStackSize(limits_.stackSize);
    connection->start();
  }

 private:
  Application& app_;
  ConnectionLimits limits_;
};

}  // namespace

QTcpServer* createListener(Zarvo::Application& app, QObject* parent, quint16 port,
                           const ConnectionLimits& limits) {
  return new Listener(app, parent, port, limits);
}
