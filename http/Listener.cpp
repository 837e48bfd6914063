#include "http/Listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QTcpServer>

#include "http/BoundedSocket.h"
#include "http/HTTPParser.h"

namespace Zarvo {

namespace {

// The request could not be read: the answer is 400.
struct ReadFailure {};

// One connection's body; runs on the thread the starter made, which owns the socket.
class Connection {
 public:
  Connection(RequestDispatcher& dispatcher, qintptr descriptor, const QHostAddress& peer,
             const ConnectionLimits& limits)
      : dispatcher_(dispatcher), descriptor_(descriptor), peer_(peer), limits_(limits) {}

  void serve() {
    BoundedSocket socket;
    if (!socket.adopt(descriptor_)) return;  // nothing to answer on
    socket.socket().setReadBufferSize(64 * 1024);
    QByteArray body;
    QString command;
    bool readable = true;
    try {
      readRequest(socket, command, body);
    } catch (const ReadFailure&) {
      readable = false;
    } catch (const HTTPParser::ParsingError&) {
      readable = false;
    }
    QByteArray reply;
    if (readable) {
      const QByteArray answer = dispatcher_.answerRequest(command, body, peer_);
      HTTPResponseHeader head(200, QStringLiteral("OK"));
      head.setValue(kContentLength, QString::number(answer.size()));
      // Head and body leave in one write: a separate head costs a system call, a TCP segment
      // and a wake-up of the peer on every request. The two writes each had their own wait,
      // so together they keep both budgets.
      reply = head.toByteArray() + answer;
    } else {
      reply = HTTPResponseHeader(400, QStringLiteral("Bad request")).toByteArray();
    }
    // A failed or timed-out write is not reported: the connection goes on to wait for the
    // peer to close.
    (void)socket.writeAll(reply, limits_.writeWait,
                          QDeadlineTimer(limits_.writeWait * (readable ? 2 : 1)));
    // One request per connection: the peer closes after reading the answer. A peer that never
    // does is cut off after the close wait, so it cannot hold a thread for ever.
    socket.waitForPeerClose(QDeadlineTimer(limits_.closeWait));
  }

 private:
  // Fills `command` and `body`; throws ReadFailure or HTTPParser::ParsingError.
  void readRequest(BoundedSocket& socket, QString& command, QByteArray& body) {
    HTTPRequestParser parser;
    const QDeadlineTimer headDeadline(limits_.headTotal);
    char chunk[4096];
    while (parser.state() == HTTPParser::State::Incomplete) {
      const qint64 n = socket.readSome(chunk, sizeof chunk,
                                       BoundedSocket::nextWait(headDeadline, limits_.readWait));
      if (n <= 0) throw ReadFailure();
      const qsizetype used = parser.parse(chunk, n);
      if (parser.state() == HTTPParser::State::Complete) body.append(chunk + used, n - used);
    }
    if (!parser.hasValue(kContentLength)) throw ReadFailure();
    const qint64 length = contentLength(parser);
    // A hostile length is refused before anything is allocated for it.
    if (length < 0 || length > limits_.maxBody) throw ReadFailure();
    if (body.size() > length) body.truncate(length);
    const QDeadlineTimer bodyDeadline(limits_.bodyTotal);
    // Grown as bytes arrive past the first MiB: idle peers announcing large bodies hold no
    // memory they have not sent.
    body.reserve(qsizetype(std::min<qint64>(length, qint64(1) << 20)));
    while (body.size() < length) {
      const qint64 wanted = std::min<qint64>(qint64(sizeof chunk), length - body.size());
      const qint64 n =
          socket.readSome(chunk, wanted, BoundedSocket::nextWait(bodyDeadline, limits_.readWait));
      if (n <= 0) throw ReadFailure();
      body.append(chunk, n);
    }
    command = parser.path();
    command.remove(QLatin1Char('/'));
  }

  RequestDispatcher& dispatcher_;
  qintptr descriptor_;
  QHostAddress peer_;
  ConnectionLimits limits_;
};

// The address of an accepted connection's peer; null when the system cannot tell.
QHostAddress peerOf(qintptr descriptor) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return QHostAddress();
  }
  return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

class Listener : public QTcpServer {
 public:
  Listener(RequestDispatcher& dispatcher, ConnectionStarter starter, QObject* parent,
           const QHostAddress& address, quint16 port, const ConnectionLimits& limits,
           PeerFilter admit)
      : QTcpServer(parent),
        dispatcher_(dispatcher),
        starter_(std::move(starter)),
        limits_(limits),
        admit_(std::move(admit)) {
    setListenBacklogSize(1024);  // bursts of new connections are the normal load here
    listen(address, port);
  }

 protected:
  // Runs on the listener's thread; the body runs on the thread the starter makes.
  void incomingConnection(qintptr descriptor) override {
    const QHostAddress peer = peerOf(descriptor);
    if (admit_ && !admit_(peer)) {
      ::close(int(descriptor));  // unread: a refused peer costs no thread and no buffer
      return;
    }
    starter_([connection = Connection(dispatcher_, descriptor, peer,
                                      limits_)]() mutable { connection.serve(); },
             limits_.stackSize);
  }

 private:
  RequestDispatcher& dispatcher_;
  ConnectionStarter starter_;
  ConnectionLimits limits_;
  PeerFilter admit_;
};

}  // namespace

QTcpServer* createListener(RequestDispatcher& dispatcher, ConnectionStarter starter,
                           QObject* parent, const QHostAddress& address, quint16 port,
                           const ConnectionLimits& limits, PeerFilter admit) {
  return new Listener(dispatcher, std::move(starter), parent, address, port, limits,
                      std::move(admit));
}

}  // namespace Zarvo
