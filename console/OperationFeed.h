// OperationFeed: live updates of the operation list for every open page, from one poll.
//
// While at least one page listens, a thread of its own asks for the list's summary once per
// interval (one storage-manager question per interval, however many pages are open) and hands
// each change to the listeners; with no listener it asks nothing, and while the answer fails it
// asks ten times less often. A listener waits for a summary
// newer than the last it saw, or for the keep-alive time to pass, or for the feed to close.
//
//   OperationFeed feed([&] { return ConsoleApi::summaryOf(services.operations()); });
//   auto listener = feed.listen();              // null when kMaxListeners already listen
//   while (auto event = listener->next(15s)) ...  // nullopt: closed; empty bytes: keep-alive
#pragma once

#include <QByteArray>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace Zarvo::console {

class OperationFeed {
 public:
  static constexpr int kMaxListeners = 8;

  // `poll` gives the current summary, or throws when it cannot (the listeners keep the last one).
  using Poll = std::function<QByteArray()>;

  explicit OperationFeed(Poll poll,
                         std::chrono::milliseconds interval = std::chrono::milliseconds(1000));
  ~OperationFeed();  // close(), then the poller is joined
  OperationFeed(const OperationFeed&) = delete;
  OperationFeed& operator=(const OperationFeed&) = delete;

  class Listener {
   public:
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // The next summary this listener has not seen; empty bytes when `keepAlive` passed without
    // one; nullopt once the feed is closed.
    std::optional<QByteArray> next(std::chrono::milliseconds keepAlive);

   private:
    friend class OperationFeed;
    explicit Listener(OperationFeed& feed) : feed_(feed) {}
    OperationFeed& feed_;
    quint64 seen_ = 0;
  };

  // A new listener, or null when kMaxListeners listen already or the feed is closed.
  std::unique_ptr<Listener> listen();
  // Ends every wait of the listeners and the poller; later listen() calls get null.
  void close();

  int listeners() const;

 private:
  void run();

  Poll poll_;
  const std::chrono::milliseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a new summary, a listener came or went, or closing
  int listeners_ = 0;
  bool closed_ = false;
  quint64 version_ = 0;  // of summary_; 0 before the first poll
  QByteArray summary_;
  std::thread poller_;
};

}  // namespace Zarvo::console
