// The built executable under the real systemd: install, start, status, stop and uninstall.
// Runs only where systemd is the running service manager and the tests run as root; it never
// touches a service of that name that was installed before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "tests/fakes/QtApp.h"

namespace Zarvo {
namespace {

constexpr int kWaitMs = 120'000;  // a start waits for readiness, a stop for the orderly end

struct ProgramRun {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

ProgramRun run(const QString& program, const QStringList& args) {
  QProcess p;
  // A test runner that is itself a systemd service must not make the tool think systemd
  // started it.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("NOTIFY_SOCKET");
  env.remove("INVOCATION_ID");
  p.setProcessEnvironment(env);
  p.start(program, args);
  ProgramRun r;
  if (!p.waitForFinished(kWaitMs)) {
    p.kill();
    p.waitForFinished(kWaitMs);
    return r;
  }
  r.exitCode = p.exitCode();
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

// The executable as installed: a copy outside the folders the unit's sandbox hides (a build
// tree is often under /root or /home), readable by the service's user, with the build's sample
// configuration beside it for "-install" to put into /etc/zarvo.
const QString& installedCopy() {
  static QTemporaryDir dir(QStringLiteral("/opt/zarvo-real-test-XXXXXX"));
  static const QString exe = [] {
    const QString path = dir.filePath(QStringLiteral("ZarvoPluginDSM"));
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther);
    QFile::copy(ZARVO_EXECUTABLE_PATH, path);
    QFile::copy(QFileInfo(QStringLiteral(ZARVO_EXECUTABLE_PATH)).dir().filePath("ZarvoPluginDSM.cfg"),
                dir.filePath(QStringLiteral("ZarvoPluginDSM.cfg")));
    return path;
  }();
  return exe;
}

ProgramRun dsm(const QStringList& args) { return run(installedCopy(), args); }

const QString kInstalledConfig = QStringLiteral("/etc/zarvo/ZarvoPluginDSM.cfg");

class RealSystemdTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_qt::coreApp();
    if (::access("/run/systemd/system", F_OK) != 0)
      GTEST_SKIP() << "this machine does not run systemd (no /run/systemd/system): the real "
                      "systemctl cannot install or start anything here";
    if (::geteuid() != 0) GTEST_SKIP() << "installing a system service needs root";
    if (dsm({"-v"}).out.contains("is installed"))
      GTEST_SKIP() << "a ZarvoPluginDSM service is already installed here; it is left alone";
    installedHere_ = true;
    configWasThere_ = QFile::exists(kInstalledConfig);
  }
  void TearDown() override {
    if (installedHere_ && dsm({"-v"}).out.contains("is installed")) (void)dsm({"-u"});
    if (installedHere_ && !configWasThere_) QFile::remove(kInstalledConfig);
  }

  bool installedHere_ = false;
  bool configWasThere_ = false;
};

TEST_F(RealSystemdTest, InstallStartStatusStopUninstall) {
  ProgramRun r = dsm({"-install"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(run("systemctl", {"is-enabled", "ZarvoPluginDSM.service"}).out.trimmed(), "enabled");

  r = dsm({});  // from a console: asks systemd to start the installed service, waits until ready
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(dsm({"-v"}).out.contains("is installed and running\n"));
  EXPECT_EQ(run("systemctl", {"show", "--property=User", "--value", "ZarvoPluginDSM.service"})
                .out.trimmed(),
            "zarvo");
  EXPECT_TRUE(QFileInfo(QStringLiteral("/var/lib/zarvo/Files")).isDir())
      << "the store is kept in the state folder";
  EXPECT_EQ(run("systemctl", {"show", "--property=StatusText", "--value", "ZarvoPluginDSM.service"})
                .out.trimmed(),
            "Running");

  r = dsm({"-terminate"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "") << "the orderly stop of an idle service ends well within the tool's look";
  EXPECT_TRUE(dsm({"-v"}).out.contains("is installed and not running\n"));

  r = dsm({"-uninstall"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(dsm({"-v"}).out.contains("is not installed and not running\n"));
}

}  // namespace

}  // namespace Zarvo
