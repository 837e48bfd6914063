// Where a program reads its configuration and keeps its files, from systemd's variables.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "framework/ProcessFolders.h"

namespace Zarvo {
namespace {

TEST(ProcessFolders, SystemdsFoldersWinAndAnythingElseFallsBackToTheExecutables) {
  struct Case {
    const char* why;
    std::map<std::string, QString> env;
    QString configuration;
    QString working;
  };
  const Case cases[] = {
      {"a console run: both beside the executable", {}, "/opt/x", "/opt/x"},
      {"the installed unit",
       {{"CONFIGURATION_DIRECTORY", "/etc/zarvo"}, {"STATE_DIRECTORY", "/var/lib/zarvo"}},
       "/etc/zarvo",
       "/var/lib/zarvo"},
      {"a unit naming several folders: the first",
       {{"STATE_DIRECTORY", "/var/lib/zarvo:/var/lib/other"}},
       "/opt/x",
       "/var/lib/zarvo"},
      {"a relative value is no folder systemd gives: ignored",
       {{"STATE_DIRECTORY", "var/lib/zarvo"}, {"CONFIGURATION_DIRECTORY", ":"}},
       "/opt/x",
       "/opt/x"},
      {"trailing slashes and dots are cleaned",
       {{"STATE_DIRECTORY", "/var/lib/./zarvo/"}},
       "/opt/x",
       "/var/lib/zarvo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const ProcessFolders f = ProcessFolders::find("/opt/x", [&c](const char* name) {
      const auto it = c.env.find(name);
      return it == c.env.end() ? QString() : it->second;
    });
    EXPECT_EQ(f.configuration, c.configuration);
    EXPECT_EQ(f.working, c.working);
  }
}

TEST(ProcessFolders, OnlyRelativeConfigurationNamesAreTakenFromTheConfigurationFolder) {
  ProcessFolders f;
  f.configuration = "/etc/zarvo";
  EXPECT_EQ(f.configurationFile("ZarvoPluginDSM.cfg"), "/etc/zarvo/ZarvoPluginDSM.cfg");
  EXPECT_EQ(f.configurationFile("/srv/my.cfg"), "/srv/my.cfg") << "a named file is that file";
}

}  // namespace
}  // namespace Zarvo
