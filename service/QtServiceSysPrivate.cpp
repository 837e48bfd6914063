#include "service/QtServiceSysPrivate.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <cstdlib>

#include "service/QtService.h"
#include "service/ServiceManager.h"

namespace Zarvo {

namespace {
constexpr int kControlEventBase = 1000;
}  // namespace

bool QtServiceSysPrivate::startedByServiceManager() {
  return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET") &&
         !qEnvironmentVariableIsEmpty("INVOCATION_ID");
}

QString QtServiceSysPrivate::runtimeDirectory(const QString& serviceName) {
  const QString given = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
  return given.isEmpty() ? QStringLiteral("/run/") + serviceName : given;
}

QtServiceSysPrivate::QtServiceSysPrivate(QtServiceBase& service, bool canBeSuspended)
    : service_(service), canBeSuspended_(canBeSuspended) {}

QtServiceSysPrivate::~QtServiceSysPrivate() { release(); }

bool QtServiceSysPrivate::prepare(QString* error) {
  if (!listener_.listen(controlSocketPath(runtimeDirectory(service_.serviceName())), error))
    return false;
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = QStringLiteral("cannot make a pipe");
    return false;
  }
  // systemd asks for the stop with SIGTERM; it must become the orderly stop, never an exit.
  signals_ = std::make_unique<SignalPipe>();
  thread_ = std::thread([this] { controlLoop(); });
  return true;
}

void QtServiceSysPrivate::notify(const char* state) {
  // Status reports are advice to the manager; a lost one changes nothing here.
  (void)sd_notify(0, state);
}

void QtServiceSysPrivate::reportStarted() { notify("READY=1\nSTATUS=Running"); }

void QtServiceSysPrivate::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_) return;
    ending_ = true;
  }
  handled_.notify_all();
  if (thread_.joinable()) {
    if (::write(wakeFds_[1], "e", 1) < 0) {
      // The pipe is non-blocking and nearly empty; a failed write leaves the thread to the
      // next wake-up, which is this one anyway.
    }
    thread_.join();
  }
  notify("STOPPING=1\nSTATUS=Stopped");
  signals_.reset();
  for (int& fd : wakeFds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void QtServiceSysPrivate::controlLoop() {
  for (;;) {
    pollfd fds[3] = {{wakeFds_[0], POLLIN, 0},
                     {signals_->isValid() ? signals_->readFd() : -1, POLLIN, 0},
                     {listener_.fd(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) continue;  // EINTR: the signal handler wrote to its pipe
    if (fds[0].revents) return;
    if (fds[1].revents) {
      signals_->drain();
      bool first = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        first = !stopping_;
      }
      if (first) {
        notify("STOPPING=1\nSTATUS=Stopping");
        handOver(kStopControl);
      }
      continue;
    }
    if (fds[2].revents & POLLIN) {
      ControlListener::Request request = listener_.accept(controlReadWaitMs_);
      const int code = request.code;
      const bool isUser = code >= kUserControlBase && code <= kUserControlBase + kMaxUserCommand;
      const bool isSuspend = code == kPauseControl || code == kResumeControl;
      // Pause and resume only when the service said it can; stop comes as a signal.
      const bool accepted = isUser || (isSuspend && canBeSuspended_);
      bool ok = false;
      if (accepted) {
        if (code == kPauseControl) notify("STATUS=Pausing");
        if (code == kResumeControl) notify("STATUS=Resuming");
        ok = handOver(code);
        if (ok && code == kPauseControl) notify("STATUS=Paused");
        if (ok && code == kResumeControl) notify("STATUS=Running");
      }
      ControlListener::reply(request, ok);
    }
  }
}

bool QtServiceSysPrivate::handOver(int code) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ending_ || stopping_) return false;
  if (code == kStopControl) stopping_ = true;
  done_ = false;
  QCoreApplication::postEvent(this, new QEvent(QEvent::Type(kControlEventBase + code)));
  handled_.wait(lock, [this] { return done_ || ending_; });
  return done_;
}

void QtServiceSysPrivate::customEvent(QEvent* event) {
  const int code = int(event->type()) - kControlEventBase;
  if (code == kStopControl) {
    service_.stop();
    QCoreApplication::quit();
  } else if (code == kPauseControl) {
    service_.pause();
  } else if (code == kResumeControl) {
    service_.resume();
  } else if (code >= kUserControlBase && code <= kUserControlBase + kMaxUserCommand) {
    service_.customCommand(code - kUserControlBase);
  }
  // Whatever the type, the control thread is waiting for this.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  handled_.notify_all();
}

}  // namespace Zarvo
