// A small blocking TCP server for one port of a simulated device. Servers of a fleet share one
// ConnectionHub: one thread accepts for every listening port, and a bounded pool of threads
// serves the connections, each to its end, so a fleet of hundreds of devices costs a handful of
// threads when idle and never more than the pool's bound when busy. A device that is told to
// hang on one connection holds one pool thread, never another device. Every wait polls in short
// slices and watches the stop flag, so closing a server ends its connections in bounded time.
//
// Only 127.0.0.0/8 addresses are ever bound.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

// The threads behind every LoopbackServer of a fleet.
class ConnectionHub {
 public:
  // Runs on a pool thread; the descriptor is closed afterwards unless the handler returns true
  // (it closed it itself).
  using Handler = std::function<bool(int fd, const std::atomic<bool>& stop)>;

  // At most `maxWorkers` connections are served at once; later ones wait, accepted, in arrival
  // order, until a thread is free (at most kMaxWaiting of them; beyond, new ones are closed).
  explicit ConnectionHub(int maxWorkers);
  ~ConnectionHub();  // every server must be closed first
  ConnectionHub(const ConnectionHub&) = delete;
  ConnectionHub& operator=(const ConnectionHub&) = delete;

  static constexpr int kMaxWaiting = 4096;
  // A pool thread without work for this long ends.
  static constexpr std::chrono::seconds kIdleExit{30};

  // Threads of the pool right now, and the most there ever were (for the fleet's listing).
  int workers() const;
  int peakWorkers() const;

 private:
  friend class LoopbackServer;
  struct Port;
  struct Job {
    std::shared_ptr<Port> port;
    int fd;
  };
  // Starts accepting on `fd` (listening, non-blocking). Connections run `handler`.
  std::shared_ptr<Port> add(int fd, Handler handler);
  // Stops accepting on the port, and returns once the accepting thread no longer polls it and
  // every connection of the port has ended (they see the port's stop flag).
  void remove(const std::shared_ptr<Port>& port);

  void acceptLoop();
  void workerLoop();
  void dispatch(Job job);
  void wake();

  const int maxWorkers_;
  int wakeFd_ = -1;
  std::thread acceptThread_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::shared_ptr<Port>> ports_;
  quint64 generation_ = 0;      // bumped by every add/remove
  quint64 seenGeneration_ = 0;  // the last one the accepting thread polls with
  std::deque<Job> waiting_;
  int workers_ = 0;
  int idle_ = 0;
  int peak_ = 0;
  std::list<std::thread> threads_;      // pool threads, running or ended
  std::vector<std::thread::id> ended_;  // those of them that ended, to be joined
};

class LoopbackServer {
 public:
  // Runs on a pool thread of `hub`; the server closes the descriptor afterwards unless the
  // handler returns true (it closed it itself).
  using Handler = ConnectionHub::Handler;

  LoopbackServer(ConnectionHub& hub, Handler handler);
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
  ConnectionHub& hub_;
  Handler handler_;
  int listenFd_ = -1;
  quint16 port_ = 0;
  std::shared_ptr<ConnectionHub::Port> registered_;
};

}  // namespace Zarvo::suite
