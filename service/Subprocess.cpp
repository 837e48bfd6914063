#include "service/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace Zarvo {

namespace {

// Closes its descriptors however the run ends.
struct Pipe {
  int fds[2] = {-1, -1};
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  bool open() { return ::pipe2(fds, O_CLOEXEC) == 0; }
  void closeEnd(int i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
};

QString errnoText(const char* what, int error) {
  return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                      QString::fromLocal8Bit(std::strerror(error)));
}

}  // namespace

QString ProgramResult::describe(const QString& program) const {
  if (!ran) return failure;
  const QByteArray firstLine = err.trimmed().split('\n').value(0).trimmed();
  if (!firstLine.isEmpty()) return QString::fromLocal8Bit(firstLine);
  return QStringLiteral("%1 ended with exit code %2").arg(program).arg(exitCode);
}

ProgramResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs) {
  ProgramResult result;
  Pipe out, err;
  if (!out.open() || !err.open()) {
    result.failure = errnoText("pipe", errno);
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);

  QByteArrayList storage{program.toLocal8Bit()};
  for (const QString& a : arguments) storage << a.toLocal8Bit();
  std::vector<char*> argv;
  for (QByteArray& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawnError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), ::environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    result.failure = QStringLiteral("cannot run %1: %2")
                         .arg(program, QString::fromLocal8Bit(std::strerror(spawnError)));
    return result;
  }
  out.closeEnd(1);
  err.closeEnd(1);

  const QDeadlineTimer deadline(timeoutMs);
  bool timedOut = false;
  int open = 2;
  while (open > 0) {
    pollfd fds[2] = {{out.fds[0], POLLIN, 0}, {err.fds[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, int(qMax<qint64>(0, deadline.remainingTime())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, n);
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? out : err).closeEnd(0);
        --open;
      }
    }
  }

  int status = 0;
  if (open > 0) {
    // Out of time (or poll failed): the child is ours, so end it rather than wait on.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.failure =
        timedOut ? QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMs)
                 : errnoText("poll", errno);
    return result;
  }
  // Both streams are closed; a child that closed them early still gets the rest of the time.
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      result.failure = errnoText("waitpid", errno);
      return result;
    }
    if (deadline.hasExpired()) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.failure = QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMs);
      return result;
    }
    ::usleep(2000);
  }
  if (WIFEXITED(status)) {
    result.ran = true;
    result.exitCode = WEXITSTATUS(status);
  } else {
    result.failure = QStringLiteral("%1 was ended by signal %2").arg(program).arg(WTERMSIG(status));
  }
  return result;
}

}  // namespace Zarvo
