#include "plugin/TCP9100Sender.h"

#include "http/BoundedSocket.h"
#include "plugin/TCP9100File.h"

namespace Zarvo::dsm {

namespace {

// Content goes out in slices: the socket then never holds a second copy of a large file, and a
// stall is measured against each slice's progress.
constexpr qsizetype kWriteSlice = 4 << 20;

// The status text crosses threads (trap handler, session, job): each side gets its own bytes
// rather than a share of one reference-counted buffer, so no buffer is freed by one thread
// while another still counts it (and the thread checker, which cannot see inside Qt, agrees).
QString ownCopy(const QString& text) { return QString(text.constData(), text.size()); }

}  // namespace

// Keeps the session of an address in the map while one download uses it: users counts the
// downloads under way or queued, and the last one out removes the session.
class TCP9100Sender::Lease {
 public:
  Lease(TCP9100Sender& sender, const QString& address) : sender_(sender), address_(address) {
    std::lock_guard<std::mutex> lock(sender_.mutex_);
    std::shared_ptr<Session>& slot = sender_.sessions_[address_];
    if (!slot) slot = std::make_shared<Session>();
    ++slot->users;
    session_ = slot;
  }
  ~Lease() {
    std::lock_guard<std::mutex> lock(sender_.mutex_);
    if (--session_->users < 1) sender_.sessions_.erase(address_);
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Session& operator*() const { return *session_; }
  Session* operator->() const { return session_.get(); }

 private:
  TCP9100Sender& sender_;
  const QString address_;
  std::shared_ptr<Session> session_;
};

// The two stops a download obeys: its job's and the sender's own (shutdown). wake() registers a
// callback on both for the time of one wait; the callback may run at once, on this thread, so
// it must be made before the waiter takes the lock the callback takes.
class TCP9100Sender::Stops {
 public:
  Stops(Zarvo::StopToken job, Zarvo::StopToken shutdown)
      : job_(std::move(job)), shutdown_(std::move(shutdown)) {}

  [[nodiscard]] bool requested() const { return job_.stopRequested() || shutdown_.stopRequested(); }

  class Wake {
   public:
    Wake(const Stops& stops, const std::function<void()>& onStop)
        : job_(stops.job_, onStop), shutdown_(stops.shutdown_, onStop) {}

   private:
    Zarvo::StopCallback job_;
    Zarvo::StopCallback shutdown_;
  };

 private:
  Zarvo::StopToken job_;
  Zarvo::StopToken shutdown_;
};

TCP9100Sender::TCP9100Sender(RegistrationFactory registration)
    : TCP9100Sender(kDevicePort, Limits(), std::move(registration)) {}

TCP9100Sender::TCP9100Sender(quint16 port, const Limits& limits, RegistrationFactory registration,
                             DeviceAddressPolicy devices)
    : port_(port),
      limits_(limits),
      registration_(std::move(registration)),
      devices_(std::move(devices)) {}

TCP9100Sender::~TCP9100Sender() { stopAll(); }

void TCP9100Sender::stopAll() { shutdown_.requestStop(); }

int TCP9100Sender::sessionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(sessions_.size());
}

int TCP9100Sender::downloadsTo(const QString& address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(address);
  return it == sessions_.end() ? 0 : it->second->users;
}

bool TCP9100Sender::takeLine(Session& session, const Stops& stops) {
  const Stops::Wake wake(stops, [&session] {
    std::lock_guard<std::mutex> lock(session.lineMutex);
    session.lineFree.notify_all();
  });
  std::unique_lock<std::mutex> lock(session.lineMutex);
  // No time limit of its own: the download ahead is bounded by its own limits.
  session.lineFree.wait(lock, [&] { return !session.lineTaken || stops.requested(); });
  if (session.lineTaken) return false;  // woken by the stop, still someone else's turn
  session.lineTaken = true;
  return true;
}

void TCP9100Sender::releaseLine(Session& session) {
  {
    std::lock_guard<std::mutex> lock(session.lineMutex);
    session.lineTaken = false;
  }
  // All waiters: one of them may be leaving on its stop and would swallow a single wake-up.
  session.lineFree.notify_all();
}

FileOutcome TCP9100Sender::send(const QString& address, const TCP9100File& file,
                                const Zarvo::StopToken& stop) {
  const Stops stops(stop, shutdown_.token());
  if (stops.requested()) return FileOutcome::deviceDosntResponse();
  if (!devices_.connectable(address)) return FileOutcome::deviceDosntResponse();

  Lease session(*this, address);
  if (!takeLine(*session, stops)) return FileOutcome::deviceDosntResponse();
  struct LineGuard {
    Session& session;
    ~LineGuard() { releaseLine(session); }
  } line{*session};
  // A stop that came while the line was being handed over: the download has still not begun.
  if (stops.requested()) return FileOutcome::deviceDosntResponse();

  FileOutcome result = FileOutcome::deviceDosntResponse();
  {
    std::unique_ptr<Registration> registration;
    if (registration_) registration = registration_(address);

    {
      // A confirmation before this point belongs to an earlier download.
      std::lock_guard<std::mutex> lock(mutex_);
      session->confirmed = false;
    }
    if (transfer(address, file, stops)) {
      const Stops::Wake wake(stops, [this, &session] {
        std::lock_guard<std::mutex> lock(mutex_);
        session->confirmation.notify_all();
      });
      std::unique_lock<std::mutex> lock(mutex_);
      // The flag, not the wake-up, tells that the confirmation came: it may have come during
      // the close already, and a spurious wake-up carries nothing.
      const bool confirmed = session->confirmation.wait_for(
          lock, limits_.confirm, [&] { return session->confirmed || stops.requested(); });
      if (confirmed && session->confirmed) {
        const FileOutcome& c = session->confirmedOutcome;
        result = FileOutcome::confirmed(c.succeeded, ownCopy(c.text));
      } else {
        result = FileOutcome::timeout();
      }
    }
    // The registration is undone here, still holding the line: the next download to this
    // device registers only after this one's row is restored.
  }
  return result;
}

bool TCP9100Sender::transfer(const QString& address, const TCP9100File& file, const Stops& stops) {
  Zarvo::BoundedSocket socket(Zarvo::BoundedSocket::Interrupt::kFromAnyThread);
  // A stop does not wait out a device that takes its time over the bytes or the close: it cuts
  // the socket's waits short, which then end at once. Declared after the socket: gone before it.
  const Stops::Wake cut(stops, [&socket] { socket.interrupt(); });
  if (!socket.connectTo(address, port_, limits_.connect)) return false;

  // Every byte must have gone to the system before the download counts as sent: a device that
  // stops taking bytes for the stall limit, or goes away, fails the download.
  bool written = socket.writeAll(file.header(), limits_.writeStall);
  const QByteArray& content = file.content();
  for (qsizetype offset = 0; written && offset < content.size(); offset += kWriteSlice) {
    const qsizetype n = std::min(kWriteSlice, content.size() - offset);
    written = socket.writeAll(QByteArray::fromRawData(content.constData() + offset, n),
                              limits_.writeStall);
  }
  if (written) written = socket.writeAll(file.trailer(), limits_.writeStall);

  // The graceful close: our end of the stream first, then the device's. Closing the descriptor
  // at once would reset the connection if the device had sent anything unread, and a reset drops
  // whatever of the file the system has not delivered yet. How the close ends does not change
  // the outcome.
  if (socket.shutdownWrite()) (void)socket.waitForPeerClose(QDeadlineTimer(limits_.close));
  socket.abort();
  return written;
}

void TCP9100Sender::notify(const QString& address, bool ok, const QString& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(address);
  if (it == sessions_.end()) return;  // no download to that device: nothing to confirm
  Session& session = *it->second;
  session.confirmed = true;
  session.confirmedOutcome = FileOutcome::confirmed(ok, ownCopy(text));
  session.confirmation.notify_all();
}

}  // namespace Zarvo::dsm
