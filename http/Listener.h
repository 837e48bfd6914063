// The server side of the transport: a listener that accepts connections on the process's port
// and, per connection, a thread that reads one request, hands its body to the service that
// handles the command named by the request path, writes one response and waits for the peer
// to close. The classes are private to this file pair; the application only opens the listener.
#pragma once

#include <QtGlobal>
#include <chrono>

class QObject;
class QTcpServer;

namespace Zarvo {
class Application;
}

// Every wait of a connection is bounded; tests pass shorter values in.
struct ConnectionLimits {
  std::chrono::milliseconds readWait{30'000};   // one wait for more request bytes
  std::chrono::milliseconds headTotal{30'000};  // the whole head, however it trickles in
  std::chrono::milliseconds bodyTotal{30'000};  // the whole body
  std::chrono::milliseconds writeWait{30'000};  // the head, then the body, of the answer
  std::chrono::milliseconds closeWait{30'000};  // the peer closing after the answer
  qint64 maxBody = 16 * 1024 * 1024;            // larger announced bodies are refused at once
  uint stackSize = 256 * 1024;                  // per connection thread
};

// Listens on every IPv4 address on `port` (0: chosen by the system). The returned server is a
// child of `parent`; ask it isListening() and serverPort().
QTcpServer* createListener(Zarvo::Application& app, QObject* parent, quint16 port,
                           const ConnectionLimits& limits = ConnectionLimits());
