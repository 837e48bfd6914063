// The control socket of a running service: the channel that carries pause, resume and user
// commands from the control tool to the service process (systemd itself has no such verbs).
// One request per connection: the client writes the control code as a decimal line, the
// service answers "ok" once its main thread has handled it, or "refused".
#pragma once

#include <QString>

namespace Zarvo {

// "<runtime directory>/control".
QString controlSocketPath(const QString& runtimeDirectory);

// Sends `code` and waits up to `timeoutMs` in all for the answer. Returns true on "ok"; on
// failure `error` says why.
bool sendControl(const QString& socketPath, int code, int timeoutMs, QString* error);

// The listening end, owned by the running service. Removes its socket file when destroyed.
class ControlListener {
 public:
  ControlListener() = default;
  ~ControlListener();
  ControlListener(const ControlListener&) = delete;
  ControlListener& operator=(const ControlListener&) = delete;

  // Creates the directory if needed (mode 0700) and listens on a socket only the owner can use.
  bool listen(const QString& socketPath, QString* error);
  int fd() const { return fd_; }

  // One pending request, accepted with accept(); fd is -1 when nothing could be read.
  struct Request {
    int fd = -1;
    int code = -1;  // -1 when the line was not a number
  };
  // Accepts one connection and reads its line, waiting at most `readWaitMs` for it. Callers
  // answer with reply() (which closes the connection).
  Request accept(int readWaitMs);
  static void reply(Request& request, bool ok);

 private:
  int fd_ = -1;
  QString path_;
};

}  // namespace Zarvo
