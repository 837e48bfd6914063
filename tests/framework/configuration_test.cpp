// The configuration file: the host's exactly-one rules, the optional elements' defaults, and a
// malformed optional value logged with its element name and replaced by the default.
#include "framework/Configuration.h"

#include <gtest/gtest.h>

#include "tests/fakes/LogLines.h"

namespace Zarvo {
namespace {

TEST(Configuration, ElementsTheirRulesAndDefaults) {
  const QString arc = kDefaultDeviceEnterpriseArc;
  struct Case {
    const char* why;
    QByteArray xml;
    QString dispatcher, name, service, arc;
    bool read;
    QString err;  // the "err" line it writes, if any
  };
  const Case kCases[] = {
      {"every element",
       "<c><DispatcherURL>http://ns:1/</DispatcherURL><Name>n</Name>"
       "<ServiceURL>http://h:8080/</ServiceURL>"
       "<DeviceEnterpriseArc> .1.3.6.1.4.1.99 </DeviceEnterpriseArc></c>",
       "http://ns:1/", "n", "http://h:8080/", ".1.3.6.1.4.1.99", true, ""},
      {"two DispatcherURL: none taken",
       "<c><DispatcherURL>a</DispatcherURL><x><DispatcherURL>b</DispatcherURL></x></c>", "", "", "",
       arc, true, ""},
      {"first Name wins, deep elements count", "<c><a><Name>1</Name></a><Name>2</Name></c>", "",
       "1", "", arc, true, ""},
      {"any root name", "<Whatever><ServiceURL></ServiceURL></Whatever>", "", "", "", arc, true,
       ""},
      {"an arc without the leading dot is logged and the default kept",
       "<c><DeviceEnterpriseArc>1.3.6</DeviceEnterpriseArc></c>", "", "", "", arc, true,
       "DeviceEnterpriseArc is no object identifier, using .1.3.6.1.4.1.32473: 1.3.6"},
      {"the first arc counts",
       "<c><DeviceEnterpriseArc>x</DeviceEnterpriseArc>"
       "<DeviceEnterpriseArc>.1.2</DeviceEnterpriseArc></c>",
       "", "", "", arc, true, "DeviceEnterpriseArc is no object identifier, using " + arc + ": x"},
      {"malformed: nothing read, every default", "<c><DeviceEnterpriseArc>.1.2", "", "", "", arc,
       false, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const qsizetype from = testing_log::LogLines::get().mark();
    const Configuration config = Configuration::fromBytes(c.xml);
    EXPECT_EQ(config.read, c.read);
    EXPECT_EQ(config.error.isEmpty(), c.read);
    EXPECT_EQ(config.dispatcherUrl, c.dispatcher);
    EXPECT_EQ(config.name, c.name);
    EXPECT_EQ(config.serviceUrl, c.service);
    EXPECT_EQ(config.deviceEnterpriseArc, c.arc);
    const QStringList logged = testing_log::LogLines::get().since(from, "err");
    ASSERT_EQ(logged.size(), c.err.isEmpty() ? 0 : 1);
    if (!c.err.isEmpty()) {
      EXPECT_TRUE(logged[0].endsWith(c.err)) << logged[0].toStdString();
    }
  }
  EXPECT_EQ(Configuration().deviceEnterpriseArc, arc) << "without a file";
  const auto missing = Configuration::fromFile("/nonexistent/ZarvoPluginDSM.cfg");
  EXPECT_FALSE(missing.read);
  EXPECT_TRUE(missing.error.contains("/nonexistent/ZarvoPluginDSM.cfg"));
  EXPECT_EQ(missing.deviceEnterpriseArc, arc);
}

TEST(Configuration, ParallelDownloadsIsAWholeNumberFrom1To256) {
  struct Case {
    const char* why;
    QByteArray text;
    int value;
    bool logged;
  };
  const Case kCases[] = {
      {"1: one download after another", "1", 1, false},
      {"the bound itself", " 256 ", 256, false},
      {"0 would never download", "0", 16, true},
      {"a thread per download: thousands are a typing error", "2000", 16, true},
      {"not a number", "many", 16, true},
      {"no fraction", "2.5", 16, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const qsizetype from = testing_log::LogLines::get().mark();
    const Configuration config =
        Configuration::fromBytes("<c><ParallelDownloads>" + c.text + "</ParallelDownloads></c>");
    EXPECT_EQ(config.parallelDownloads, c.value);
    const QStringList logged = testing_log::LogLines::get().since(from, "err");
    ASSERT_EQ(logged.size(), c.logged ? 1 : 0);
    if (c.logged) {
      EXPECT_TRUE(
          logged[0].endsWith("ParallelDownloads is no whole number from 1 to 256, using 16: " +
                             QString::fromLatin1(c.text.trimmed())))
          << logged[0].toStdString();
    }
  }
  EXPECT_EQ(Configuration().parallelDownloads, 16) << "without the element";
}

}  // namespace
}  // namespace Zarvo
