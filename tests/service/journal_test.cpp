// The journal entries of the shell's logMessage: fields, and the syslog priority of each kind.
#include "service/Journal.h"

#include <gtest/gtest.h>

namespace Zarvo {
namespace {

TEST(Journal, EntriesCarryTheSyslogPriorityOfTheirKind) {
  struct Case {
    const char* why;
    int type;
    QByteArray priority;
  };
  const Case cases[] = {
      {"error", 1, "PRIORITY=3"},
      {"warning", 2, "PRIORITY=4"},
      {"information", 3, "PRIORITY=6"},
      {"success is worth a notice", 0, "PRIORITY=5"},
      {"an unknown kind is not raised to an error", 9, "PRIORITY=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const QList<QByteArray> fields =
        journalFields("ZarvoPluginDSM", QString::fromUtf8("Zähler\nzwei"), c.type, 7, 2, "");
    EXPECT_EQ(fields, (QList<QByteArray>{"MESSAGE=" + QString::fromUtf8("Zähler\nzwei").toUtf8(),
                                         c.priority, "SYSLOG_IDENTIFIER=ZarvoPluginDSM",
                                         "EVENT_ID=7", "EVENT_CATEGORY=2"}));
  }
  const QByteArray data("\x00\x01\xff", 3);
  EXPECT_EQ(journalFields("x", "m", 1, 0, 0, data).last(), "EVENT_DATA=" + data)
      << "data bytes are kept as bytes";
}

}  // namespace
}  // namespace Zarvo
