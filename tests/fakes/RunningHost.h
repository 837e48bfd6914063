// The built executable run with "-exec" from a temporary directory that holds a copy of it and
// its configuration, as a peer of the suite sees it over loopback. The directory outlives the
// process, so a test can put files beside it first (the store "Files") and look at them after.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

namespace testing_exe {

class RunningHost {
 public:
  // Copies `executable` into a new temporary directory beside `config`; dir() may be filled
  // before start().
  RunningHost(const QString& executable, const QByteArray& config);
  ~RunningHost();  // kills the process if it still runs
  RunningHost(const RunningHost&) = delete;
  RunningHost& operator=(const RunningHost&) = delete;

  // Runs the process as `uid`:`gid` without supplementary groups (through setpriv; the caller
  // must be root); start() then gives the directory and everything in it to that user.
  void runAs(uint uid, uint gid);

  // Starts the process; false when it did not announce its port within 10 s.
  bool start();
  quint16 port() const { return port_; }
  QDir dir() const { return QDir(dir_.path()); }
  QProcess& process() { return process_; }
  QByteArray output();  // everything the process wrote so far
  // Waits up to `ms` until the output holds `text` at least `times` times; false when it did not
  // come.
  bool waitForOutput(const QByteArray& text, int times = 1, int ms = 5000);

 private:
  QTemporaryDir dir_;
  QProcess process_;
  QByteArray output_;
  quint16 port_ = 0;
  int uid_ = -1;  // -1: as the test itself
  int gid_ = -1;
};

}  // namespace testing_exe
