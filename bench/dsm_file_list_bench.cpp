// File-list benchmark of the storage manager, each command answered over HTTP by the running
// executable, against a baseline measured in the same run:
//
//   store:  DSMServerGetFileList over a store of N files of mixed kinds (1-64 KiB)
//           vs. reading every byte of the same N files in this process;
//   device: DSMGetFileList of one device whose "scmFileStorageTable" has N rows, answered by
//           the loopback SNMP fake (its answer prepared once, so the fake only sends bytes)
//           vs. parsing that same SNMP answer with the Xerces DOM parser alone (no HTTP, no
//           answer written).
//
// Each side runs `rounds` times alternately; the median is reported. The executable's peak
// memory during one answer is its peak resident size (reset through /proc/<pid>/clear_refs
// before the request) less its resident size before it, the first (cold) round counted; it is
// put against the answer's size. Only ratios mean anything: absolute times move with whatever
// else the machine runs.
//
// Usage: bench_dsm_file_list [--files N] [--rounds R]
// Exit code: 0 when the store list is within 2x of its baseline, the device list within 1x of
// the DOM parse alone (it reads the SNMP answer as a stream, builds no tree) and both requests'
// peaks at most 4x their answer's size; 1 when a target is missed, 2 when the run failed.
#include <malloc.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/QtApp.h"
#include "tests/fakes/RunningHost.h"

#ifndef ZARVO_HOST_EXE
#define ZARVO_HOST_EXE ""
#endif

namespace Zarvo::dsm {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStoreTimeTarget = 2.0;
constexpr double kDeviceTimeTarget = 1.0;
constexpr double kMemoryTarget = 4.0;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// "VmRSS" or "VmHWM" of a process, in bytes; -1 when unreadable.
long long procStatus(qint64 pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + key.size()) * 1024;
  }
  return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
bool resetPeak(qint64 pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  return bool(out);
}

// N files of the four kinds, sizes spread over 1-64 KiB, fixed by the seed.
void fillStore(const QString& dir, int count) {
  QRandomGenerator random(42);
  for (int i = 0; i < count; ++i) {
    const int size = 1024 + int(random.bounded(63 * 1024));
    QByteArray content;
    switch (i % 4) {
      case 0:
        content =
            "\x1b*c" + QByteArray::number(i % 30000) + "D\x1b)s" + QByteArray::number(size) + "W";
        break;
      case 1:
        content =
            "\x1b"
            "E\x1b&f" +
            QByteArray::number(i % 30000) + "Y\x1b&f0X";
        break;
      case 2:
        content = "%!PS-AdobeFont-1.0: Font" + QByteArray::number(i) + "\n/FontName /Font" +
                  QByteArray::number(i) + " def\n";
        break;
      default:
        content = "%!PS-Adobe-3.0\n% a form\n";
        break;
    }
    while (content.size() < size) content += "0123456789abcdef";
    content.truncate(size);
    QFile f(dir + QStringLiteral("/file%1.bin").arg(i, 5, 10, QLatin1Char('0')));
    if (f.open(QIODevice::WriteOnly)) f.write(content);
  }
}

qint64 readEveryByte(const QString& dir) {
  qint64 total = 0;
  const QStringList names = QDir(dir).entryList(QDir::Files);
  for (const QString& name : names) {
    QFile f(dir + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly)) continue;
    total += f.readAll().size();
  }
  return total;
}

int parseWithDom(const QByteArray& bytes) {
  xercesc::XercesDOMParser parser;
  xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.constData()),
                                    XMLSize_t(bytes.size()), "answer");
  parser.parse(source);
  return parser.getErrorCount() == 0 && parser.getDocument() ? 0 : 1;
}

struct Measured {
  std::vector<double> ours, base;
  qsizetype answerBytes = 0;
  long long peakGrowth = -1;      // of the executable, first round
  long long basePeakGrowth = -1;  // of this process during the baseline, first round
  bool ok = true;
};

// Runs `work` and returns this process's peak resident growth meanwhile (-1: unknown). Free
// heap memory is handed back first, so earlier work cannot hide what this work needs.
template <class F>
long long selfPeakGrowth(F work) {
  ::malloc_trim(0);
  const qint64 self = QCoreApplication::applicationPid();
  const long long before = procStatus(self, "VmRSS");
  const bool known = resetPeak(self);
  work();
  return known ? procStatus(self, "VmHWM") - before : -1;
}

// One request; records time, answer size and (first round) the server's peak growth.
void measureRequest(testing_exe::RunningHost& host, const QByteArray& request, Measured& m,
                    bool first, int expectedItems, const char* itemTag) {
  const qint64 pid = host.process().processId();
  const long long before = procStatus(pid, "VmRSS");
  const bool peakKnown = resetPeak(pid);
  const auto start = Clock::now();
  const testing_http::Answer a = testing_http::exchange(host.port(), request, 120000);
  m.ours.push_back(msSince(start));
  const int items = int(a.body.count(itemTag));
  if (!a.ok || a.status() != 200 || items != expectedItems) {
    std::fprintf(stderr, "bad answer: ok=%d status=%d items=%d (expected %d)\n", a.ok, a.status(),
                 items, expectedItems);
    m.ok = false;
  }
  m.answerBytes = a.body.size();
  if (first && peakKnown) m.peakGrowth = procStatus(pid, "VmHWM") - before;
}

void report(const char* name, const char* baseline, const Measured& m, double timeTarget,
            bool* targetsMet) {
  const double ours = median(m.ours), base = median(m.base);
  const double ratio = base > 0 ? ours / base : 0;
  const double memory = m.answerBytes > 0 ? double(m.peakGrowth) / double(m.answerBytes) : 0;
  std::printf("%-22s %9.1f ms   %-28s %9.1f ms   ratio %5.2fx (target <= %.1fx)\n", name, ours,
              baseline, base, ratio, timeTarget);
  std::printf("%-22s answer %.2f MiB, peak growth %.2f MiB: %.2fx the answer (target <= %.1fx)\n",
              "", double(m.answerBytes) / 1048576.0, double(m.peakGrowth) / 1048576.0, memory,
              kMemoryTarget);
  std::printf("%-22s baseline's own peak growth %.2f MiB\n", "",
              double(m.basePeakGrowth) / 1048576.0);
  if (ratio > timeTarget) *targetsMet = false;
  if (m.peakGrowth < 0 || memory > kMemoryTarget) *targetsMet = false;
}

int run(int argc, char** argv) {
  int files = 10000;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  if (files < 1 || rounds < 1 || std::strlen(ZARVO_HOST_EXE) == 0) {
    std::fprintf(stderr, "usage: bench_dsm_file_list [--files N] [--rounds R]\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  xercesc::XMLPlatformUtils::Initialize();

  testing_orx::FakeNamingService naming;
  testing_suite::FakeDeviceManagementService dms;
  testing_suite::FakeSNMPService snmp;
  naming.setServiceUrl("DMSGetDeviceList", dms.url().toString());
  naming.setServiceUrl("SNMPGetValues", snmp.url().toString());
  dms.setDevice(7, {{"IP", "10.0.0.5"}, {"SNMP_VER", "2"}});
  testing_suite::SnmpTable table;
  table.columns = QStringList{"scmFileStorageFileIndex",       "scmFileStorageFileName",
                              "scmFileStorageFileSize",        "scmFileStorageFileType",
                              "scmFileStorageFilePersistence", "scmFileStorageFileID"};
  const char* kinds[] = {"pclFont", "pclMacro", "psFont", "psForm"};
  for (int i = 0; i < files; ++i) {
    table.rows.append(QStringList{QString::number(i + 1), QStringLiteral("Font file %1").arg(i),
                                  QString::number(1024 + (i * 7919) % (63 * 1024)),
                                  QString::fromLatin1(kinds[i % 4]), QStringLiteral("nonvolatile"),
                                  QString::number(i % 32768)});
  }
  snmp.setTable("10.0.0.5", "scmFileStorageTable", table);
  // The answer to exactly the request the executable sends, prepared once.
  const QByteArray snmpRequest = testing_suite::utf16Le(
      "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?><OrxRequest "
      "command=\"SNMPGetValues\"><Priority>0</Priority><Device><RequestParams><IP IP_VER=\"4\" "
      "address=\"10.0.0.5\"/><SNMP SNMP_VER=\"2\"><SecurityAttrs rcommunity=\"public\" "
      "wcommunity=\"\"/></SNMP></RequestParams><RequestVariables><scmFileStorageTable/>"
      "</RequestVariables></Device></OrxRequest>");
  const QByteArray snmpAnswer = snmp.getValuesAnswer(snmpRequest);
  snmp.server().setReply("SNMPGetValues", {testing_orx::httpResponse(snmpAnswer)});

  testing_exe::RunningHost host(
      QString::fromUtf8(ZARVO_HOST_EXE),
      "<c><DispatcherURL>" + naming.url().toString().toUtf8() + "</DispatcherURL></c>");
  const QString store = host.dir().filePath("Files");
  QDir().mkpath(store);
  std::printf("filling the store with %d files...\n", files);
  fillStore(store, files);
  if (!host.start()) {
    std::fprintf(stderr, "the executable did not start: %s\n", host.output().constData());
    return 2;
  }
  const QByteArray storeRequest =
      testing_http::post("/DSMServerGetFileList",
                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest "
                         "command=\"DSMServerGetFileList\"/>");
  const QByteArray deviceRequest =
      testing_http::post("/DSMGetFileList",
                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest "
                         "command=\"DSMGetFileList\"><DeviceID>7</DeviceID></OrxRequest>");

  // What any request costs the executable (a connection thread, its stack, an answer): the
  // floor under both peaks.
  Measured trivial;
  measureRequest(host,
                 testing_http::post("/DSMServerSetFileId",
                                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                                    "<OrxRequest command=\"DSMServerSetFileId\"><FileName>"
                                    "none</FileName><FileID>1</FileID></OrxRequest>"),
                 trivial, true, 0, "<File>");

  Measured storeRun, deviceRun;
  for (int r = 0; r < rounds; ++r) {
    measureRequest(host, storeRequest, storeRun, r == 0, files, "<File>");
    auto start = Clock::now();
    qint64 bytes = 0;
    const long long storePeak = selfPeakGrowth([&] { bytes = readEveryByte(store); });
    storeRun.base.push_back(msSince(start));
    if (r == 0) storeRun.basePeakGrowth = storePeak;
    if (bytes <= 0) storeRun.ok = false;

    measureRequest(host, deviceRequest, deviceRun, r == 0, files, "<FileStorage>");
    start = Clock::now();
    int parsed = 1;
    const long long domPeak = selfPeakGrowth([&] { parsed = parseWithDom(snmpAnswer); });
    deviceRun.base.push_back(msSince(start));
    if (r == 0) deviceRun.basePeakGrowth = domPeak;
    if (parsed != 0) deviceRun.ok = false;
  }
  if (!storeRun.ok || !deviceRun.ok) return 2;

  std::printf("\n%d files / rows, %d rounds, medians\n", files, rounds);
  bool targetsMet = true;
  report("DSMServerGetFileList", "read every byte", storeRun, kStoreTimeTarget, &targetsMet);
  report("DSMGetFileList", "Xerces DOM parse of answer", deviceRun, kDeviceTimeTarget, &targetsMet);
  std::printf("SNMP answer: %.2f MiB (UTF-16); a trivial request's peak growth: %.2f MiB\n",
              double(snmpAnswer.size()) / 1048576.0, double(trivial.peakGrowth) / 1048576.0);

  std::printf("%s\n", targetsMet ? "all targets met" : "a target was missed");
  return targetsMet ? 0 : 1;
}

}  // namespace
}  // namespace Zarvo::dsm

int main(int argc, char** argv) { return Zarvo::dsm::run(argc, argv); }
