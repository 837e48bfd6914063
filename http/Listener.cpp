#include "http/Listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <mutex>

#include "http/BodyBudget.h"
#include "http/BoundedSocket.h"
#include "http/HTTPParser.h"

namespace Zarvo {

namespace {

// The request could not be read: the answer is 400.
struct ReadFailure {};

// Posted to the listener when a connection ended below the bound.
const QEvent::Type kAcceptAgainEvent = QEvent::Type(QEvent::registerEventType());

class Listener;

// What the listener and its connections share: how many connections are in progress and the
// room for request bodies. Connection threads may end after the listener is gone (the host joins
// them after its event loop), so this is shared, and the listener clears its pointer here (under
// the lock) when it goes.
struct ListenerShared {
  ListenerShared(int bound, qint64 bodyRoom) : bound(bound), bodies(bodyRoom) {}

  const int bound;
  BodyBudget bodies;
  std::mutex mutex;
  int inProgress = 0;            // guarded by mutex
  bool pausedAtBound = false;    // guarded by mutex: accepting stopped until one ends
  Listener* listener = nullptr;  // guarded by mutex
};

// One connection's body; runs on the thread the starter made, which owns the socket.
class Connection {
 public:
  Connection(RequestDispatcher& dispatcher, qintptr descriptor, const QHostAddress& peer,
             const ConnectionLimits& limits, BodyBudget& bodies)
      : dispatcher_(dispatcher),
        descriptor_(descriptor),
        peer_(peer),
        limits_(limits),
        bodies_(bodies) {}

  void serve() {
    BoundedSocket socket;
    if (!socket.adopt(descriptor_)) return;  // nothing to answer on
    socket.socket().setReadBufferSize(64 * 1024);
    int parts = 1;
    QByteArray reply = answer(socket, parts);
    // A failed or timed-out write is not reported: the connection goes on to wait for the
    // peer to close.
    (void)socket.writeAll(reply, limits_.writeWait, QDeadlineTimer(limits_.writeWait * parts));
    reply = QByteArray();  // not held while the peer takes its time to close
    // One request per connection: the peer closes after reading the answer. A peer that never
    // does is cut off after the close wait, so it cannot hold a thread for ever.
    socket.waitForPeerClose(QDeadlineTimer(limits_.closeWait));
  }

 private:
  // The whole answer, head and body: 200 with the dispatcher's answer, or 400 when the request
  // could not be read; `parts` is how many writes (each with its own wait) it stands for. The
  // request's body and its room in the budget are given up before this returns.
  QByteArray answer(BoundedSocket& socket, int& parts) {
    QByteArray body;
    QString command;
    BodyBudget::Lease room;
    try {
      readRequest(socket, command, body, room);
    } catch (const ReadFailure&) {
      return HTTPResponseHeader(400, QStringLiteral("Bad request")).toByteArray();
    } catch (const HTTPParser::ParsingError&) {
      return HTTPResponseHeader(400, QStringLiteral("Bad request")).toByteArray();
    }
    const QByteArray answer = dispatcher_.answerRequest(command, body, peer_);
    body = QByteArray();
    HTTPResponseHeader head(200, QStringLiteral("OK"));
    head.setValue(kContentLength, QString::number(answer.size()));
    // Head and body leave in one write: a separate head costs a system call, a TCP segment and
    // a wake-up of the peer on every request. The two writes each had their own wait, so
    // together they keep both budgets.
    parts = 2;
    return head.toByteArray() + answer;
  }

  // Fills `command` and `body`, holding `room` for the body; throws ReadFailure or
  // HTTPParser::ParsingError.
  void readRequest(BoundedSocket& socket, QString& command, QByteArray& body,
                   BodyBudget::Lease& room) {
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
    // Waiting for room counts against the body's time: a request never waits longer in all.
    room = bodies_.reserve(length, bodyDeadline);
    if (!room) throw ReadFailure();
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
  BodyBudget& bodies_;
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
        admit_(std::move(admit)),
        shared_(std::make_shared<ListenerShared>(std::max(1, limits.maxConnections),
                                                 limits.maxBodiesInFlight)),
        spare_(openSpare()) {
    shared_->listener = this;
    setListenBacklogSize(1024);  // bursts of new connections are the normal load here
    connect(this, &QTcpServer::acceptError, this, &Listener::recoverFromAcceptError);
    listen(address, port);
  }

  ~Listener() override {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->listener = nullptr;
    }
    if (spare_ >= 0) ::close(spare_);
  }

 protected:
  // Runs on the listener's thread; the body runs on the thread the starter makes.
  void incomingConnection(qintptr descriptor) override {
    const QHostAddress peer = peerOf(descriptor);
    if (admit_ && !admit_(peer)) {
      ::close(int(descriptor));  // unread: a refused peer costs no thread and no buffer
      return;
    }
    if (!startConnection(descriptor, peer)) ::close(int(descriptor));
  }

 private:
  // Counts the connection in and hands its body to a thread; false when no thread could be had.
  bool startConnection(qintptr descriptor, const QHostAddress& peer) {
    countIn();
    std::shared_ptr<ListenerShared> shared = shared_;
    Connection connection(dispatcher_, descriptor, peer, limits_, shared->bodies);
    const bool started = starter_(
        [shared, connection]() mutable {
          connection.serve();
          countOut(*shared);
        },
        limits_.stackSize);
    if (!started) countOut(*shared_);
    return started;
  }

  // One more connection in progress; at the bound, accepting stops until one ends.
  void countIn() {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      if (++shared_->inProgress < shared_->bound) return;
      shared_->pausedAtBound = true;
    }
    // Qt's accept loop does not look at the pause; it stops taking connections only when its
    // pending ones reach their limit, so a limit of 0 ends it with this connection.
    setMaxPendingConnections(0);
    pauseAccepting();
  }

  // A connection ended (on its own thread, or here when it never started). Below the bound
  // again, the listener is told to accept again by a data-less event posted under the shared
  // lock, which the listener takes before anything else: a hand-over the thread sanitizer sees
  // (it does not see Qt's own queue lock).
  static void countOut(ListenerShared& shared) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    --shared.inProgress;
    if (!shared.pausedAtBound || shared.listener == nullptr) return;
    shared.pausedAtBound = false;
    QCoreApplication::postEvent(shared.listener, new QEvent(kAcceptAgainEvent));
  }

  void customEvent(QEvent* event) override {
    { std::lock_guard<std::mutex> handover(shared_->mutex); }  // see countOut
    if (event->type() == kAcceptAgainEvent) acceptAgain();
  }

  bool pausedAtBound() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->pausedAtBound;
  }

  void acceptAgain() {
    if (pausedAtBound()) return;  // the bound was reached again meanwhile
    setMaxPendingConnections(kQtPendingDefault);
    resumeAccepting();
  }

  // Qt stops accepting after any failed accept (and would never start again by itself). When
  // the system is out of descriptors the connection stays queued and the next try fails at once,
  // so one connection is taken with the room of the spare descriptor and closed.
  void recoverFromAcceptError(QAbstractSocket::SocketError error) {
    int dropped = -1;
    if (error == QAbstractSocket::SocketResourceError) {
      if (spare_ >= 0) ::close(spare_);
      dropped = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
      if (dropped >= 0) ::close(dropped);
      spare_ = openSpare();
    }
    if (pausedAtBound()) return;  // accepting starts again when a connection ends
    const bool nothingFreed = error == QAbstractSocket::SocketResourceError && dropped < 0;
    if (!nothingFreed) {
      acceptAgain();
      return;
    }
    // Nothing could be closed to make room: try again shortly rather than spin on it.
    QTimer::singleShot(kRetryAfterExhaustion, this, [this] {
      if (!pausedAtBound()) acceptAgain();
    });
  }

  static int openSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

  static constexpr int kQtPendingDefault = 30;  // QTcpServer's own default
  static constexpr std::chrono::milliseconds kRetryAfterExhaustion{100};

  RequestDispatcher& dispatcher_;
  ConnectionStarter starter_;
  ConnectionLimits limits_;
  PeerFilter admit_;
  std::shared_ptr<ListenerShared> shared_;
  int spare_;  // a descriptor held back for when the system has none left
};

}  // namespace

QTcpServer* createListener(RequestDispatcher& dispatcher, ConnectionStarter starter,
                           QObject* parent, const QHostAddress& address, quint16 port,
                           const ConnectionLimits& limits, PeerFilter admit) {
  return new Listener(dispatcher, std::move(starter), parent, address, port, limits,
                      std::move(admit));
}

}  // namespace Zarvo
