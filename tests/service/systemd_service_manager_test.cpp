// The systemd binding of the controller against a fake systemctl and a temporary unit folder:
// the command lines it runs, the unit it writes, and what it makes of systemctl's answers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "service/ControlSocket.h"
#include "service/SystemdServiceManager.h"
#include "service/SystemdUnit.h"
#include "tests/fakes/Bytes.h"
#include "tests/fakes/Files.h"
#include "tests/service/FakeSystemctl.h"

using testing_bytes::hex;

namespace Zarvo {
namespace {

using testing_files::readFile;
using testing_files::writeFile;

class SystemdManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(systemctl_.isValid());
    ASSERT_TRUE(units_.isValid());
    ASSERT_TRUE(runtime_.isValid());
    ASSERT_TRUE(sysusers_.isValid());
    ASSERT_TRUE(etc_.isValid());
  }

  SystemdServiceManager manager(const QString& name = "ZarvoPluginDSM") {
    SystemdServiceManager::Paths paths;
    paths.unitDirectory = units_.path();
    paths.systemctl = systemctl_.program();
    paths.runtimeRoot = runtime_.path();
    paths.sysusers = sysusers_.program();
    paths.configurationRoot = etc_.path();
    SystemdServiceManager::Limits limits;
    limits.stopPolls = 3;
    limits.stopPollMs = 10;
    limits.controlMs = 2000;
    return SystemdServiceManager(name, paths, limits);
  }

  ServiceSettings settings(const QString& exe = "/opt/zarvo/ZarvoPluginDSM") {
    ServiceSettings s;
    s.name = "ZarvoPluginDSM";
    s.executable = exe;
    s.description = "Storage manager";
    return s;
  }

  QString unitPath() const { return units_.filePath("ZarvoPluginDSM.service"); }

  FakeSystemctl systemctl_;
  FakeSystemctl sysusers_;  // records the systemd-sysusers command lines the same way
  QTemporaryDir units_;
  QTemporaryDir runtime_;
  QTemporaryDir etc_;
};

TEST_F(SystemdManagerTest, InstallWritesAnEnabledNotifyUnitForThisExecutable) {
  auto m = manager();
  ASSERT_TRUE(m.install(settings())) << m.errorString().toStdString();
  EXPECT_EQ(systemctl_.calls(), (QStringList{"daemon-reload", "enable ZarvoPluginDSM.service"}));
  const QByteArray unit = readFile(unitPath());
  // The same unit as the package's: unprivileged, sandboxed, state in /var/lib/zarvo.
  for (const char* line :
       {"Description=Storage manager\n", "Documentation=man:ZarvoPluginDSM(8)\n", "Type=notify\n",
        "ExecStart=\"/opt/zarvo/ZarvoPluginDSM\"\n", "User=zarvo\n", "StateDirectory=zarvo\n",
        "ConfigurationDirectory=zarvo\n", "RuntimeDirectory=ZarvoPluginDSM\n",
        "Restart=on-failure\n", "LimitNOFILE=65536\n", "ProtectSystem=strict\n",
        "ProtectHome=yes\n", "PrivateTmp=yes\n", "NoNewPrivileges=yes\n",
        "RestrictAddressFamilies=AF_INET AF_UNIX\n", "CapabilityBoundingSet=\n",
        "TimeoutStopSec=1200\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_TRUE(unit.contains(line)) << line << " missing from\n" << unit.toStdString();
  }
  EXPECT_FALSE(unit.contains("RefuseManualStop")) << "the service may be stopped";
  EXPECT_FALSE(unit.contains("AmbientCapabilities")) << "the storage manager needs no privilege";
  EXPECT_EQ(sysusers_.calls(), QStringList{"--inline " + serviceUserLine()})
      << "the service's user is made before the unit names it";
}

TEST_F(SystemdManagerTest, InstallRefusesExecutablesTheSandboxHides) {
  auto m = manager();
  for (const char* exe : {"/root/build/bin/ZarvoPluginDSM", "/home/ops/ZarvoPluginDSM",
                          "/run/user/0/ZarvoPluginDSM", "/opt/../root/ZarvoPluginDSM"}) {
    SCOPED_TRACE(exe);
    EXPECT_FALSE(m.install(settings(exe)));
    EXPECT_TRUE(m.errorString().contains("hides")) << m.errorString().toStdString();
  }
  EXPECT_FALSE(QFile::exists(unitPath()));
  EXPECT_EQ(systemctl_.calls(), QStringList());
  EXPECT_EQ(sysusers_.calls(), QStringList());
  EXPECT_TRUE(m.install(settings("/home2/ZarvoPluginDSM"))) << "only the folders themselves";
}

TEST_F(SystemdManagerTest, TheConfigurationBesideTheExecutableIsCopiedOnlyWhereNoneIsYet) {
  QTemporaryDir program;
  ASSERT_TRUE(program.isValid());
  const QString exe = program.filePath("ZarvoPluginDSM");
  writeFile(program.filePath("ZarvoPluginDSM.cfg"),
            "<ApplicationConfig>beside</ApplicationConfig>");
  const QString installed = QDir(etc_.path()).filePath("zarvo/ZarvoPluginDSM.cfg");
  auto m = manager();
  ASSERT_TRUE(m.install(settings(exe))) << m.errorString().toStdString();
  EXPECT_EQ(readFile(installed), "<ApplicationConfig>beside</ApplicationConfig>");

  SCOPED_TRACE("an administrator's edits are never overwritten");
  writeFile(installed, "<ApplicationConfig>edited</ApplicationConfig>");
  ASSERT_TRUE(m.install(settings(exe)));
  EXPECT_EQ(readFile(installed), "<ApplicationConfig>edited</ApplicationConfig>");
}

TEST_F(SystemdManagerTest, AUserThatCannotBeMadeStopsTheInstallWithTheReason) {
  sysusers_.set("fail---inline", "Failed to create zarvo: Read-only file system\n");
  auto m = manager();
  EXPECT_FALSE(m.install(settings()));
  EXPECT_TRUE(m.errorString().contains("cannot make the user zarvo"))
      << m.errorString().toStdString();
  EXPECT_TRUE(m.errorString().contains("Read-only file system")) << m.errorString().toStdString();
  EXPECT_FALSE(QFile::exists(unitPath()));
  EXPECT_EQ(systemctl_.calls(), QStringList());
}

TEST_F(SystemdManagerTest, ManualStartupIsNotEnabledAndUnstoppableRefusesManualStop) {
  ServiceSettings s = settings();
  s.autoStart = false;
  s.cannotBeStopped = true;
  auto m = manager();
  ASSERT_TRUE(m.install(s));
  EXPECT_EQ(systemctl_.calls(), QStringList{"daemon-reload"});
  EXPECT_TRUE(readFile(unitPath()).contains("RefuseManualStop=yes\n"));
}

TEST_F(SystemdManagerTest, InstallNeverOverwritesAUnitOfAnotherProgram) {
  const QByteArray theirs = "[Service]\nExecStart=/usr/bin/someone-else --flag\n";
  writeFile(unitPath(), theirs);
  auto m = manager();
  EXPECT_FALSE(m.install(settings()));
  EXPECT_TRUE(m.errorString().contains("/usr/bin/someone-else")) << m.errorString().toStdString();
  EXPECT_EQ(readFile(unitPath()), theirs);
  EXPECT_EQ(systemctl_.calls(), QStringList()) << "nothing may be reloaded or enabled";

  SCOPED_TRACE("a unit of our own program is rewritten");
  writeFile(unitPath(), systemdUnit(settings()));
  EXPECT_TRUE(m.install(settings()));
}

TEST_F(SystemdManagerTest, AFailedEnableLeavesNoUnitBehindAndReportsSystemctlsReason) {
  systemctl_.set("fail-enable", "Failed to enable unit: Access denied\n");
  auto m = manager();
  EXPECT_FALSE(m.install(settings()));
  EXPECT_EQ(m.errorString(), "Failed to enable unit: Access denied");
  EXPECT_FALSE(QFile::exists(unitPath()));
  EXPECT_EQ(systemctl_.calls(),
            (QStringList{"daemon-reload", "enable ZarvoPluginDSM.service", "daemon-reload"}));
}

TEST_F(SystemdManagerTest, InstalledAndRunningAreWhatSystemctlShows) {
  struct Case {
    const char* why;
    QByteArray loadState;
    QByteArray activeState;
    bool systemctlFails;
    bool installed;
    bool running;
  };
  const Case cases[] = {
      {"unknown unit", "not-found", "inactive", false, false, false},
      {"installed, stopped", "loaded", "inactive", false, true, false},
      {"installed, ended in failure", "loaded", "failed", false, true, false},
      {"running", "loaded", "active", false, true, true},
      {"starting counts as running", "loaded", "activating", false, true, true},
      {"stopping counts as running", "loaded", "deactivating", false, true, true},
      {"a unit file with errors is still installed", "error", "inactive", false, true, false},
      {"no service manager to ask: neither", "loaded", "active", true, false, false},
  };
  auto m = manager();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    systemctl_.set("LoadState", c.loadState + "\n");
    systemctl_.set("ActiveState", c.activeState + "\n");
    if (c.systemctlFails)
      systemctl_.set("fail-show", "System has not been booted with systemd\n");
    else
      systemctl_.remove("fail-show");
    systemctl_.clearCalls();
    EXPECT_EQ(m.isInstalled(), c.installed);
    EXPECT_EQ(m.isRunning(), c.running);
    EXPECT_EQ(systemctl_.calls(),
              (QStringList{"show --property=LoadState --value ZarvoPluginDSM.service",
                           "show --property=ActiveState --value ZarvoPluginDSM.service"}));
  }
}

TEST_F(SystemdManagerTest, InstalledExecutableComesFromTheExecStartProperty) {
  systemctl_.set("ExecStart",
                 "{ path=/opt/my dir/ZarvoPluginDSM ; argv[]=/opt/my dir/ZarvoPluginDSM ; "
                 "ignore_errors=no ; start_time=[n/a] ; pid=0 ; code=(null) ; status=0/0 }\n");
  auto m = manager();
  EXPECT_EQ(m.installedExecutable(), "/opt/my dir/ZarvoPluginDSM");
}

TEST_F(SystemdManagerTest, UninstallStopsDisablesAndRemovesOnlyItsOwnUnit) {
  auto m = manager();
  {
    SCOPED_TRACE("a unit another installer placed elsewhere is left to its owner");
    systemctl_.set("FragmentPath", "/lib/systemd/system/ZarvoPluginDSM.service\n");
    EXPECT_FALSE(m.uninstall());
    EXPECT_TRUE(m.errorString().contains("/lib/systemd/system/ZarvoPluginDSM.service"))
        << m.errorString().toStdString();
    EXPECT_EQ(systemctl_.calls(),
              QStringList{"show --property=FragmentPath --value ZarvoPluginDSM.service"});
  }
  systemctl_.clearCalls();
  writeFile(unitPath(), systemdUnit(settings()));
  ASSERT_TRUE(m.uninstall()) << m.errorString().toStdString();
  EXPECT_FALSE(QFile::exists(unitPath()));
  EXPECT_EQ(systemctl_.calls(), (QStringList{"stop --no-block ZarvoPluginDSM.service",
                                             "disable ZarvoPluginDSM.service", "daemon-reload"}));
}

TEST_F(SystemdManagerTest, StopAsksWithoutBlockingAndWatchesForTheStoppedState) {
  auto m = manager();
  const QString state = "show --property=ActiveState --value ZarvoPluginDSM.service";
  const QString request = "stop --no-block ZarvoPluginDSM.service";
  {
    SCOPED_TRACE("stops at once");
    systemctl_.set("ActiveState", "active\n");
    systemctl_.set("stop-sets", "inactive\n");
    EXPECT_TRUE(m.stop());
    EXPECT_EQ(systemctl_.calls(), (QStringList{state, request, state}));
  }
  {
    SCOPED_TRACE("still stopping after the last look: false, and says so");
    systemctl_.clearCalls();
    systemctl_.set("ActiveState", "active\n");
    systemctl_.set("stop-sets", "deactivating\n");
    EXPECT_FALSE(m.stop());
    EXPECT_EQ(systemctl_.calls(), (QStringList{state, request, state, state, state}));
    EXPECT_TRUE(m.errorString().contains("still stopping"));
  }
  {
    SCOPED_TRACE("a stopped service is not asked");
    systemctl_.clearCalls();
    systemctl_.set("ActiveState", "inactive\n");
    EXPECT_FALSE(m.stop());
    EXPECT_EQ(systemctl_.calls(), QStringList{state});
    EXPECT_TRUE(m.errorString().contains("not running"));
  }
}

TEST_F(SystemdManagerTest, StartRunsSystemctlStartAndControlNeedsTheServicesSocket) {
  auto m = manager();
  EXPECT_TRUE(m.start({"ignored"}));
  EXPECT_EQ(systemctl_.calls(), QStringList{"start ZarvoPluginDSM.service"});

  EXPECT_FALSE(m.control(kPauseControl));
  EXPECT_TRUE(m.errorString().contains(runtime_.filePath("ZarvoPluginDSM/control")))
      << m.errorString().toStdString();
}

TEST_F(SystemdManagerTest, NamesThatCannotBeUnitsAreRefusedBeforeAnythingIsWritten) {
  for (const QString& name :
       {QString("a b"), QString("x") + QChar(0) + "y", QString(), QString(250, QLatin1Char('n'))}) {
    SCOPED_TRACE(name.toStdString());
    auto m = manager(name);
    EXPECT_FALSE(m.install(settings()));
    EXPECT_FALSE(m.isInstalled());
    EXPECT_EQ(QDir(units_.path()).entryList(QDir::Files), QStringList());
  }
  EXPECT_EQ(systemctl_.calls(), QStringList());
}

}  // namespace

}  // namespace Zarvo
