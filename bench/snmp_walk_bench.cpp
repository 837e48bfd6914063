// A walk of a 10,000-row file-storage table over loopback SNMPv2c, against net-snmp's own
// snmpbulkwalk of the same table of the same printer in the same run. The printer is one of a
// running zarvo-suite's simulated fleet (ports chosen by the system, so no root is needed).
// Timed, best of a few rounds each:
//   snmpbulkwalk            the tool as shipped (10 rows per GETBULK) and with -Cr25
//   SNMP walk               the suite's SnmpClient walking the table's six columns
//   SNMPGetValues           the SNMP service's whole answer over HTTP, XML included
// Printed as ratios against snmpbulkwalk (target: the walk within 1.5x).
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>

#include "suite/NetSnmp.h"
#include "suite/SnmpClient.h"
#include "suite/SnmpEngine.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/QtApp.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace snmp = Zarvo::suite::snmp;

constexpr int kRows = 10'000;
constexpr int kRounds = 3;
const char* const kTable = ".1.3.6.1.4.1.32473.11.5.11.84.1";

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Best time of `rounds` runs of `f`; negative when one failed.
template <class F>
double best(F f) {
  double out = 1e18;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    if (!f()) return -1;
    out = std::min(out, ms(Clock::now() - start));
  }
  return out;
}

bool bulkwalk(const QString& endpoint, const QStringList& extra, int* lines) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("MIBS", "");
  p.setProcessEnvironment(env);
  p.start("snmpbulkwalk", extra + QStringList{"-v2c", "-c", "public", "-On", endpoint, kTable});
  if (!p.waitForFinished(120000)) {
    p.kill();
    return false;
  }
  *lines = int(p.readAllStandardOutput().count('\n'));
  return p.exitCode() == 0;
}

}  // namespace

int main() {
  testing_qt::coreApp();
  QTemporaryDir dir;
  const QString address = QStringLiteral("127.25.%1.2").arg(::getpid() % 250 + 1);
  QFile cfg(dir.filePath("suite.cfg"));
  if (!cfg.open(QIODevice::WriteOnly)) return 1;
  QByteArray files;
  for (int i = 0; i < kRows; ++i) {
    files += "<File name=\"font " + QByteArray::number(i) + "\" kind=\"pclFont\" id=\"" +
             QByteArray::number(i + 1) + "\" size=\"16\"/>";
  }
  cfg.write(
      "<SuiteConfig><TrapPort>0</TrapPort><Fleet filesDir=\"fleet\" snmpPort=\"0\">"
      "<Device address=\"" +
      address.toLatin1() + "\" printPort=\"0\" webPort=\"0\">" + files +
      "</Device></Fleet></SuiteConfig>");
  cfg.close();

  QProcess suite;
  suite.setProgram(ZARVO_SUITE_EXE);
  suite.setArguments({"-exec", "--config", cfg.fileName()});
  suite.setWorkingDirectory(dir.path());
  suite.setProcessChannelMode(QProcess::MergedChannels);
  suite.start();
  QByteArray out;
  quint16 httpPort = 0, snmpPort = 0;
  const auto until = Clock::now() + std::chrono::seconds(60);
  static const QRegularExpression listening("Listening incomming requests on port: (\\d+)");
  static const QRegularExpression agent("SNMP port (\\d+)");
  while (Clock::now() < until && !out.contains("Fleet ready")) {
    suite.waitForReadyRead(50);
    out += suite.readAll();
  }
  if (const auto m = listening.match(QString::fromUtf8(out)); m.hasMatch()) {
    httpPort = quint16(m.captured(1).toUInt());
  }
  if (const auto m = agent.match(QString::fromUtf8(out)); m.hasMatch()) {
    snmpPort = quint16(m.captured(1).toUInt());
  }
  if (!httpPort || !snmpPort) {
    std::fprintf(stderr, "zarvo-suite did not start:\n%s\n", out.constData());
    return 1;
  }
  const QString endpoint = address + ':' + QString::number(snmpPort);

  int lines = 0;
  const double tool = best([&] { return bulkwalk(endpoint, {}, &lines); });
  const int toolLines = lines;
  const double tool25 = best([&] { return bulkwalk(endpoint, {"-Cr25"}, &lines); });

  snmp::SnmpEngine engine;
  snmp::SnmpLimits limits;  // the production defaults: 25 rows per GETBULK
  snmp::SnmpClient client(engine, limits);
  snmp::SnmpTarget target;
  target.address = address;
  target.port = snmpPort;
  target.version = 2;
  target.community = "public";
  QList<snmp::Oid> columns;
  for (snmp::OidPart c = 1; c <= 6; ++c)
    columns << *snmp::parseOid(QString(kTable) + ".1." + QString::number(c));
  std::size_t rows = 0;
  const double walk = best([&] {
    const snmp::WalkResult r = client.walk(target, columns);
    rows = r.rows.size();
    return !r.failure;
  });

  const QByteArray request =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"SNMPGetValues\">"
      "<Priority>0</Priority><Device><RequestParams><IP address=\"" +
      address.toLatin1() +
      "\" IP_VER=\"4\"/><SNMP SNMP_VER=\"2\"><SecurityAttrs rcommunity=\"public\" wcommunity=\"\"/>"
      "</SNMP></RequestParams><RequestVariables><scmFileStorageTable/></RequestVariables>"
      "</Device></OrxRequest>";
  qsizetype answerBytes = 0;
  const double service = best([&] {
    const testing_http::Answer a =
        testing_http::exchange(httpPort, testing_http::post("/SNMPGetValues", request), 120000);
    answerBytes = a.body.size();
    return a.status() == 200 && a.body.size() > kRows * 100;
  });

  suite.terminate();
  suite.waitForFinished(20000);
  if (tool < 0 || tool25 < 0 || walk < 0 || service < 0 || rows != std::size_t(kRows)) {
    std::printf(
        "bench_snmp_walk: a walk failed (tool %.0f, -Cr25 %.0f, walk %.0f with %zu rows, "
        "service %.0f)\n",
        tool, tool25, walk, rows, service);
    return 1;
  }
  std::printf(
      "Walk of a %d-row file-storage table (6 columns) over loopback SNMPv2c, best of %d:\n", kRows,
      kRounds);
  std::printf("  snmpbulkwalk (%d lines)            %8.1f ms\n", toolLines, tool);
  std::printf("  snmpbulkwalk -Cr25                 %8.1f ms\n", tool25);
  std::printf("  SNMP walk (SnmpClient, 25 rows)    %8.1f ms\n", walk);
  std::printf("  SNMPGetValues over HTTP (%lld B)  %8.1f ms\n", qint64(answerBytes), service);
  std::printf("  ratio walk / snmpbulkwalk          %8.2f (target <= 1.5)\n", walk / tool);
  std::printf("  ratio walk / snmpbulkwalk -Cr25    %8.2f\n", walk / tool25);
  std::printf("  ratio SNMPGetValues / snmpbulkwalk %8.2f\n", service / tool);
  return 0;
}
