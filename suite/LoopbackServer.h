// A small blocking TCP server for one port of a simulated device: an accept thread, and one
// thread per connection, so a device that is told to hang on one connection never holds up
// another connection or another device. Every wait polls in short slices and watches the stop
// flag, so closing the server ends every connection in bounded time.
//
// Only 127.0.0.0/8 addresses are ever bound.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace Zarvo::suite {

// Bounded socket operations on a connected descriptor. Each returns early (false or what it
// has) when `stop` is set.
namespace io {
using Clock = std::chrono::steady_clock;
// Reads what arrives within `wait` (at most `max` bytes); empty on timeout, close or error.
// `closed` tells a clean end of stream apart from a timeout.
QByteArray readSome(int fd, std::chrono::milliseconds wait, const std::atomic<bool>& stop,
                    qsizetype max, bool* closed);
bool writeAll(int fd, const QByteArray& bytes, std::chrono::milliseconds wait,
              const std::atomic<bool>& stop);
// Sleeps up to `duration`, ending at once when `stop` is set; false when stopped.
bool pause(std::chrono::milliseconds duration, const std::atomic<bool>& stop);
// Closes so the peer sees a reset rather than an orderly end (a device dropping the line).
void abortiveClose(int fd);
}  // namespace io

class LoopbackServer {
 public:
  // Runs on the connection's own thread; the server closes the descriptor afterwards unless
  // the handler returns true (it closed it itself).
  using Handler = std::function<bool(int fd, const std::atomic<bool>& stop)>;

  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Binds address:port (0: chosen by the system) and starts accepting. False with `error` set
  // when the address is outside 127.0.0.0/8 or cannot be bound.
  bool listen(const QString& address, quint16 port, QString* error);
  // Stops accepting, asks every connection to end and waits for them.
  void close();
  bool isListening() const { return listenFd_ >= 0; }
  quint16 port() const { return port_; }

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void acceptLoop();
  void reap(bool all);

  Handler handler_;
  int listenFd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::list<Connection> connections_;
};

}  // namespace Zarvo::suite
