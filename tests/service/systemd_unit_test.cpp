// The unit file "-install" writes: values that survive systemd's quoting and specifiers, and a
// value that would add lines refused.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace Zarvo
