#include "tests/fakes/RunningHost.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>

#include "tests/fakes/QtApp.h"

namespace testing_exe {

RunningHost::RunningHost(const QString& executable, const QByteArray& config) {
  testing_qt::coreApp();
  const QString exe = dir_.filePath(QStringLiteral("ZarvoPluginDSM"));
  QFile::copy(executable, exe);
  QFile cfg(dir_.filePath(QStringLiteral("ZarvoPluginDSM.cfg")));
  if (cfg.open(QIODevice::WriteOnly)) cfg.write(config);
  process_.setProgram(exe);
  process_.setArguments({QStringLiteral("-exec")});
  process_.setProcessChannelMode(QProcess::MergedChannels);
}

RunningHost::~RunningHost() {
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(5000);
  }
}

void RunningHost::runAs(uint uid, uint gid) {
  uid_ = int(uid);
  gid_ = int(gid);
  const QString exe = process_.program();
  process_.setProgram(QStringLiteral("setpriv"));
  process_.setArguments({QStringLiteral("--reuid=%1").arg(uid),
                         QStringLiteral("--regid=%1").arg(gid), QStringLiteral("--clear-groups"),
                         QStringLiteral("--"), exe, QStringLiteral("-exec")});
}

bool RunningHost::start() {
  if (uid_ >= 0) {
    const auto give = [this](const QString& path) {
      return ::lchown(QFile::encodeName(path).constData(), uid_t(uid_), gid_t(gid_)) == 0;
    };
    if (!give(dir_.path())) return false;
    QDirIterator it(dir_.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
      if (!give(it.next())) return false;
    }
  }
  process_.start();
  if (!process_.waitForStarted(10000)) return false;
  static const QRegularExpression listening(
      QStringLiteral("Listening incomming requests on port: (\\d+)"));
  for (int i = 0; i < 200 && port_ == 0; ++i) {
    process_.waitForReadyRead(50);
    output_ += process_.readAll();
    const auto m = listening.match(QString::fromUtf8(output_));
    if (m.hasMatch()) port_ = quint16(m.captured(1).toUInt());
  }
  return port_ != 0;
}

QByteArray RunningHost::output() {
  output_ += process_.readAll();
  return output_;
}

bool RunningHost::waitForOutput(const QByteArray& text, int times, int ms) {
  QDeadlineTimer deadline(ms);
  while (output().count(text) < times) {
    if (deadline.hasExpired()) return false;
    process_.waitForReadyRead(int(std::min<qint64>(50, deadline.remainingTime())));
  }
  return true;
}

}  // namespace testing_exe
