// The process's side of the service manager while it runs as a systemd service: reports
// readiness and stopping (sd_notify), turns the stop signal and the control socket's requests
// into events handled on the main thread, and answers each request once it is handled.
//
// Two threads meet here: the control thread, which waits for the stop signal and for control
// requests, and the main thread, which runs the event loop. The control thread never calls the
// service itself; it posts an event (1000 + control code) to this object, which lives in the
// main thread, and waits until the main thread has run the service's operation:
//   1001 stop, then quit the loop;  1002 pause;  1003 resume;  1128..1255 customCommand(0..127).
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "service/ControlSocket.h"
#include "service/SignalPipe.h"

namespace Zarvo {

class QtServiceBase;

class QtServiceSysPrivate : public QObject {
 public:
  // True when systemd started this process as a notify service (it then names the socket for
  // status reports, NOTIFY_SOCKET, and the invocation, INVOCATION_ID).
  static bool startedByServiceManager();
  // Where the control socket goes: the first of systemd's RUNTIME_DIRECTORY entries, else
  // /run/<service name>.
  static QString runtimeDirectory(const QString& serviceName);

  QtServiceSysPrivate(QtServiceBase& service, bool canBeSuspended);
  ~QtServiceSysPrivate() override;

  // Listens on the control socket and starts the control thread. False (with `error`) when the
  // socket cannot be made.
  [[nodiscard]] bool prepare(QString* error);
  // Called once start() has run in the event loop: the service is ready.
  void reportStarted();
  // Tells systemd the service is stopping, ends the control thread and closes the socket. Safe
  // to call more than once.
  void release();

  // How long a control request's line may take to arrive (default 30000 ms).
  void setControlReadWait(int ms) { controlReadWaitMs_ = ms; }

 protected:
  void customEvent(QEvent* event) override;

 private:
  void controlLoop();
  // Posts the event for `code` and waits until the main thread has handled it (or the run is
  // over). Returns false when the run ended first.
  bool handOver(int code);
  void notify(const char* state);

  QtServiceBase& service_;
  const bool canBeSuspended_;
  int controlReadWaitMs_ = 30'000;
  ControlListener listener_;
  std::unique_ptr<SignalPipe> signals_;
  int wakeFds_[2] = {-1, -1};  // release() wakes the control thread through this pipe
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable handled_;
  bool done_ = false;      // the request in flight has been handled
  bool ending_ = false;    // the run is over: nobody will handle requests any more
  bool stopping_ = false;  // a stop was handed over; later requests are refused
};

}  // namespace Zarvo
