// The server side of the transport: a listener that accepts connections on the process's port
// and, per connection, a body (run on a thread the host starts) that reads one request, hands its
// body to the host's dispatcher, writes one response and waits for the peer to close.
//
// The listener knows nothing of services or packets: the host gives it a RequestDispatcher for
// the answers and a ConnectionStarter that runs each connection's body on a thread of its own.
//
// What a connection may cost is bounded: at most `maxConnections` are in progress (at the bound
// the listener stops accepting and the system's backlog holds the rest until one ends), and the
// request bodies held at once are capped (`maxBodiesInFlight`; a request waits for room within
// its body time limit, then gets 400). A connection that cannot be accepted (no descriptor left)
// or given a thread is closed at once, and the listener goes on.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <functional>

#include "http/TimeLimits.h"

class QObject;
class QTcpServer;

namespace Zarvo {

// Every wait of a connection is bounded; tests pass shorter values in.
struct ConnectionLimits {
  std::chrono::milliseconds readWait = limits::kServerReadWait;    // one wait for bytes
  std::chrono::milliseconds headTotal = limits::kServerHeadTotal;  // the whole head
  std::chrono::milliseconds bodyTotal = limits::kServerBodyTotal;  // room for the body + the body
  std::chrono::milliseconds writeWait = limits::kWriteWait;        // each write wait of the answer
  std::chrono::milliseconds closeWait = limits::kServerCloseWait;  // the peer closing
  qint64 maxBody = 16 * 1024 * 1024;  // larger announced bodies are refused at once
  uint stackSize = 256 * 1024;        // per connection thread
  int maxConnections = 1024;          // connections in progress at once
  qint64 maxBodiesInFlight = 64 * 1024 * 1024;  // announced body bytes held at once
};

// The host's side of a connection: the answer to one well-formed request.
class RequestDispatcher {
 public:
  virtual ~RequestDispatcher() = default;
  // The response body for `body` sent to `command` (the request path without slashes) by the
  // peer at `peer`. Called on the connection's thread, concurrently for several connections.
  // Must not throw: every request gets an answer.
  virtual QByteArray answerRequest(const QString& command, const QByteArray& body,
                                   const QHostAddress& peer) = 0;
};

// Decides, when a connection is accepted, whether its peer is served at all; a refused
// connection is closed before anything of it is read. Called on the listener's thread.
using PeerFilter = std::function<bool(const QHostAddress& peer)>;

// Runs `serve` on a thread of its own with a stack of `stackSize` bytes (0: the default); false
// when no thread could be had for it (`serve` is then dropped unrun and the listener closes the
// connection). Called on the listener's thread, once per accepted connection.
using ConnectionStarter = std::function<bool(std::function<void()> serve, uint stackSize)>;

// Listens on `address` (QHostAddress::AnyIPv4 for every IPv4 address) and `port` (0: chosen by
// the system). The returned server is a child of `parent`; ask it isListening() and
// serverPort(). It emits acceptError() when a connection could not be accepted (that connection
// is then closed). The dispatcher must outlive it and every connection it started. Without
// `admit`, every peer is served.
QTcpServer* createListener(RequestDispatcher& dispatcher, ConnectionStarter starter,
                           QObject* parent, const QHostAddress& address, quint16 port,
                           const ConnectionLimits& limits = ConnectionLimits(),
                           PeerFilter admit = PeerFilter());

}  // namespace Zarvo
