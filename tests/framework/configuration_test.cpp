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

TEST(Configuration, AddressListsAndUploadDirectories) {
  struct Case {
    const char* why;
    QByteArray xml;
    const char* allowed;  // null: absent, the default of its user
    QStringList uploads;
    QStringList err;  // the "err" lines, in order
  };
  const Case kCases[] = {
      {"absent: defaults everywhere", "<c/>", nullptr, {}, {}},
      {"blanks and commas separate",
       "<c><AllowedClients> 127.0.0.0/8,10.1.2.0/24 10.9.9.9 "
       "</AllowedClients></c>",
       "127.0.0.0/8 10.1.2.0/24 10.9.9.9/32",
       {},
       {}},
      {"a malformed entry is reported, the rest applies",
       "<c><AllowedClients>10.9.9.9 printer.local 10.0.0.0/40</AllowedClients></c>",
       "10.9.9.9/32",
       {},
       {"AllowedClients entry is no IPv4 address or range, ignored: printer.local",
        "AllowedClients entry is no IPv4 address or range, ignored: 10.0.0.0/40"}},
      {"nothing left: the default, not an empty list that would shut everyone out",
       "<c><AllowedClients>x</AllowedClients></c>",
       nullptr,
       {},
       {"AllowedClients entry is no IPv4 address or range, ignored: x",
        "AllowedClients is no list of IPv4 addresses or ranges, using 127.0.0.0/8 and the hosts "
        "of DispatcherURL and ServiceURL: x"}},
      {"every UploadDirectory counts, an empty one is reported",
       "<c><UploadDirectory>/srv/up</UploadDirectory><UploadDirectory> </UploadDirectory>"
       "<UploadDirectory>in</UploadDirectory></c>",
       nullptr,
       {"/srv/up", "in"},
       {"UploadDirectory is no directory path, ignored: "}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const qsizetype from = testing_log::LogLines::get().mark();
    const Configuration config = Configuration::fromBytes(c.xml);
    EXPECT_EQ(config.allowedClients.has_value(), c.allowed != nullptr);
    if (config.allowedClients && c.allowed) {
      EXPECT_EQ(config.allowedClients->toString(), c.allowed);
    }
    EXPECT_EQ(config.uploadDirectories, c.uploads);
    const QStringList logged = testing_log::LogLines::get().since(from, "err");
    ASSERT_EQ(logged.size(), c.err.size()) << logged.join('\n').toStdString();
    for (qsizetype i = 0; i < logged.size(); ++i) {
      EXPECT_TRUE(logged[i].endsWith(c.err[i])) << logged[i].toStdString();
    }
  }
  const Configuration all = Configuration::fromBytes(
      "<c><TrapSources>10.0.0.9</TrapSources><DeviceNetworks>10.8.0.0/16</DeviceNetworks></c>");
  EXPECT_EQ(all.trapSources->toString(), "10.0.0.9/32");
  EXPECT_EQ(all.deviceNetworks->toString(), "10.8.0.0/16");
}

TEST(Configuration, CountsArePositiveWholeNumbersWithinTheirBounds) {
  struct Counts {
    int maxConnections = 1024;
    qint64 maxBodies = 64 * 1024 * 1024;
    int interval = 30;
    int parallel = 16;
  };
  const Counts defaults;
  struct Case {
    const char* why;
    QByteArray xml;
    Counts expected;
    const char* err;  // the start of the "err" line it writes, if any
  };
  const Case kCases[] = {
      {"absent: the defaults", "<c/>", defaults, ""},
      {"every one given",
       "<c><MaxConnections> 10 </MaxConnections>"
       "<MaxBodiesInFlight>1048576</MaxBodiesInFlight>"
       "<RegistrationInterval>5</RegistrationInterval><ParallelDownloads> 256 "
       "</ParallelDownloads></c>",
       {10, 1048576, 5, 256},
       ""},
      {"zero connections would serve nobody", "<c><MaxConnections>0</MaxConnections></c>", defaults,
       "MaxConnections is no count from 1 to 1000000, using 1024: 0"},
      {"a sign is no count", "<c><RegistrationInterval>-5</RegistrationInterval></c>", defaults,
       "RegistrationInterval is no count of seconds"},
      {"beyond a day is refused", "<c><RegistrationInterval>86401</RegistrationInterval></c>",
       defaults, "RegistrationInterval is no count of seconds"},
      {"no unit suffix", "<c><MaxBodiesInFlight>64M</MaxBodiesInFlight></c>", defaults,
       "MaxBodiesInFlight is no byte count"},
      {"one download after another",
       "<c><ParallelDownloads>1</ParallelDownloads></c>",
       {1024, 64 * 1024 * 1024, 30, 1},
       ""},
      {"a thread per download: thousands are a typing error",
       "<c><ParallelDownloads>2000</ParallelDownloads></c>", defaults,
       "ParallelDownloads is no whole number from 1 to 256, using 16: 2000"},
      {"no fraction", "<c><ParallelDownloads>2.5</ParallelDownloads></c>", defaults,
       "ParallelDownloads is no whole number from 1 to 256, using 16: 2.5"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.why);
    const qsizetype from = testing_log::LogLines::get().mark();
    const Configuration config = Configuration::fromBytes(c.xml);
    EXPECT_EQ(config.maxConnections, c.expected.maxConnections);
    EXPECT_EQ(config.maxBodiesInFlight, c.expected.maxBodies);
    EXPECT_EQ(config.registrationInterval, c.expected.interval);
    EXPECT_EQ(config.parallelDownloads, c.expected.parallel);
    const QStringList logged = testing_log::LogLines::get().since(from, "err");
    ASSERT_EQ(logged.size(), *c.err ? 1 : 0);
    if (*c.err) {
      EXPECT_TRUE(logged[0].contains(c.err)) << logged[0].toStdString();
    }
  }
}

}  // namespace
}  // namespace Zarvo
