// The unit file "-install" writes: values that survive systemd's quoting and specifiers, and a
// value that would add lines refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "service/SystemdUnit.h"

namespace Zarvo {
namespace {

TEST(SystemdUnit, ValuesSurviveSystemdQuotingAndSpecifiers) {
  struct Case {
    const char* why;
    QString path;
  };
  const Case cases[] = {
      {"plain", "/opt/zarvo/ZarvoPluginDSM"},
      {"space would split the command", "/opt/my zarvo/ZarvoPluginDSM"},
      {"percent is a specifier", "/opt/100%/ZarvoPluginDSM"},
      {"dollar is a variable", "/opt/$HOME/ZarvoPluginDSM"},
      {"quote and backslash", "/opt/a\"b\\c/ZarvoPluginDSM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ServiceSettings s;
    s.name = "ZarvoPluginDSM";
    s.executable = c.path;
    const QByteArray unit = systemdUnit(s);
    EXPECT_EQ(unitExecutable(unit), c.path) << unit.toStdString();
  }
  ServiceSettings s;
  s.name = "ZarvoPluginDSM";
  s.executable = "/opt/x\n[Service]\nExecStartPre=/bin/evil";
  EXPECT_EQ(systemdUnit(s), QByteArray()) << "a line break must not add lines to the unit";
  s.executable = "/opt/x";
  s.description = "two\nlines 50%";
  EXPECT_TRUE(systemdUnit(s).contains("\nDescription=two lines 50%%\n"));
  EXPECT_EQ(unitExecutable("[Service]\nExecStart=-/usr/bin/tool --arg\n"), "/usr/bin/tool");
}

QStringList linesOf(const QByteArray& unit) {
  return QString::fromUtf8(unit).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

TEST(SystemdUnit, EveryVariantRunsInTheSameSandboxAndOnlyTheSuiteMayBindLowPorts) {
  ServiceSettings s;
  s.name = "zarvo-suite";
  s.executable = "/usr/sbin/zarvo-suite";
  UnitOptions lowPorts;
  lowPorts.bindsLowPorts = true;
  lowPorts.arguments = {"-exec", "--config", "/etc/zarvo/my suite.cfg"};
  UnitOptions simple;
  simple.notifiesReady = false;
  const QStringList plain = linesOf(systemdUnit(s));
  struct Case {
    const char* why;
    UnitOptions options;
    QStringList expected;  // lines the variant has that the plain unit lacks
  };
  const Case cases[] = {
      {"arguments are quoted words; low ports by the one capability",
       lowPorts,
       {"ExecStart=\"/usr/sbin/zarvo-suite\" \"-exec\" \"--config\" \"/etc/zarvo/my suite.cfg\"",
        "AmbientCapabilities=CAP_NET_BIND_SERVICE", "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"}},
      {"a program that does not notify is started as Type=exec", simple, {"Type=exec"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const QStringList lines = linesOf(systemdUnit(s, "origin", c.options));
    QStringList added, dropped;
    for (const QString& line : lines)
      if (!plain.contains(line) && !line.startsWith('#')) added << line;
    for (const QString& line : plain)
      if (!lines.contains(line) && !line.startsWith('#')) dropped << line;
    std::sort(added.begin(), added.end());
    QStringList expected = c.expected;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
    // What a variant may drop is what it replaces, never a line of the sandbox.
    for (const QString& line : dropped)
      EXPECT_TRUE(line.startsWith("ExecStart=") || line.startsWith("Type=") ||
                  line.startsWith("NotifyAccess=") || line == "CapabilityBoundingSet=")
          << line.toStdString();
  }
  UnitOptions broken;
  broken.arguments = {"ok", "two\nlines"};
  EXPECT_EQ(systemdUnit(s, "origin", broken), QByteArray()) << "an argument must not add lines";
}

TEST(SystemdUnit, OnlyTheFoldersProtectHomeHidesAreHidden) {
  const struct {
    const char* path;
    bool hidden;
  } cases[] = {
      {"/root/build/bin/x", true}, {"/home/a/x", true}, {"/run/user/0/x", true},
      {"/usr/sbin/x", false},      {"/homework/x", false}, {"/srv/../home/x", true},
      {"/run/zarvo/x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isHiddenFromServices(c.path), c.hidden) << c.path;
}

}  // namespace
}  // namespace Zarvo
