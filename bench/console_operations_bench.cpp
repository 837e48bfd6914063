// Operation-list benchmark of the console: its GET /api/operations over a storage manager (the
// running executable) that holds N operations, against DSMGetOperationList sent directly to the
// same executable in the same run, with the same client the console uses (the request, the
// storage manager's answer over HTTP, and reading it into the generated classes).
//
//   page: GET /api/operations            the page's view: the newest 50, and counts of all
//   all:  GET /api/operations?limit=N    every operation as JSON
//
// Each side runs `rounds` times alternately; medians are reported as ratios against the direct
// command. Only ratios mean much: absolute times move with whatever else the machine runs.
//
// Usage: bench_console_operations [--operations N] [--rounds R]
// Exit code: 0 when both are within 1.5x of the direct command, 1 when not, 2 when the run
// failed.
#include <httplib.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "DSMGetOperationList_Request.h"
#include "DSMGetOperationList_Response.h"
#include "console/ConsoleApi.h"
#include "console/HttpFront.h"
#include "console/OperationFeed.h"
#include "framework/LMXPacket.h"
#include "framework/OrxServiceClient.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/RunningHost.h"

#ifndef ZARVO_HOST_EXE
#define ZARVO_HOST_EXE ""
#endif

namespace Zarvo::console {
namespace {

using Clock = std::chrono::steady_clock;
using ListRequest = Zarvo::LMXRequest<DSMGetOperationList_Request::c_OrxRequest>;
using ListResponse = Zarvo::LMXResponse<DSMGetOperationList_Response::c_OrxResponse>;
using AddRequest = Zarvo::LMXRequest<DSMAddFile_Request::c_OrxRequest>;
using AddResponse = Zarvo::LMXResponse<DSMAddFile_Response::c_OrxResponse>;

constexpr double kTarget = 1.5;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

int run(int argc, char** argv) {
  int operations = 10'000;
  int rounds = 21;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--operations") == 0) operations = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }

  testing_orx::FakeNamingService naming;
  testing_exe::RunningHost dsm(
      ZARVO_HOST_EXE,
      "<c><DispatcherURL>" + naming.url().toString().toUtf8() + "</DispatcherURL></c>");
  if (!dsm.start()) {
    std::fprintf(stderr, "the storage manager did not start:\n%s\n", dsm.output().constData());
    return 2;
  }
  const QString dsmUrl = QStringLiteral("http://127.0.0.1:%1/").arg(dsm.port());
  for (const char* command : {"DSMAddFile", "DSMGetOperationList", "DSMDetailsOperation"})
    naming.setServiceUrl(QString::fromLatin1(command), dsmUrl);
  Zarvo::OrxServiceClient client;
  client.setNamingServiceUrl(naming.url());

  // N operations, each an add of a stored file that is not there: it fails at once, unsent.
  const auto fillStart = Clock::now();
  for (int i = 0; i < operations; ++i) {
    AddRequest add;
    add.set_DeviceIP(u"127.0.0.1");
    add.append_FileName(u"missing.ps");
    const auto answer = client.callService<AddResponse>(add, true);
    if (!answer || answer->result() != 0) return 2;
    // Its audit lines go to a pipe this process must keep empty.
    if (i % 200 == 0) {
      dsm.process().waitForReadyRead(0);
      (void)dsm.output();
    }
  }
  std::printf("storage manager: %d operations added in %.0f ms\n", operations, msSince(fillStart));

  QTemporaryDir dir;
  ConsoleServices services(client);
  RequestGuard guard(RequestGuard::newToken(), 0);
  const UploadDirectory uploads(dir.path());
  ConsoleApi api(services, guard);
  OperationFeed feed([&] { return ConsoleApi::summaryOf(services.operations()); });
  HttpFront front(api, feed, uploads, guard, HttpFront::Limits{});
  QString error;
  if (!front.bind(QStringLiteral("127.0.0.1"), 0, &error)) return 2;
  std::thread server([&] { front.serve(); });
  httplib::Client browser("127.0.0.1", front.port());
  browser.set_read_timeout(60, 0);

  std::vector<double> direct, page, all;
  std::size_t pageBytes = 0, allBytes = 0, directCount = 0;
  const std::string everything = "/api/operations?limit=" + std::to_string(operations);
  bool failed = false;
  for (int r = 0; r < rounds && !failed; ++r) {
    auto start = Clock::now();
    ListRequest list;
    const auto answer = client.callService<ListResponse>(list, true);
    direct.push_back(msSince(start));
    directCount = answer ? answer->size_Operation() : 0;

    start = Clock::now();
    auto p = browser.Get("/api/operations");
    page.push_back(msSince(start));
    start = Clock::now();
    auto a = browser.Get(everything);
    all.push_back(msSince(start));
    failed = !p || p->status != 200 || !a || a->status != 200;
    if (!failed) {
      pageBytes = p->body.size();
      allBytes = a->body.size();
    }
    if (r % 5 == 0) {
      dsm.process().waitForReadyRead(0);
      (void)dsm.output();
    }
  }
  feed.close();
  front.stop();
  server.join();
  if (failed || directCount != std::size_t(operations)) {
    std::fprintf(stderr, "a request failed (%zu operations listed)\n", directCount);
    return 2;
  }

  const double d = median(direct), pg = median(page), al = median(all);
  std::printf("DSMGetOperationList, direct:       %8.2f ms  (%d operations)\n", d, operations);
  std::printf("GET /api/operations (newest 50):   %8.2f ms  %5.2fx  (%zu bytes of JSON)\n", pg,
              pg / d, pageBytes);
  std::printf("GET /api/operations?limit=%d: %8.2f ms  %5.2fx  (%zu bytes of JSON)\n", operations,
              al, al / d, allBytes);
  const bool met = pg / d <= kTarget && al / d <= kTarget;
  std::printf("target: both within %.1fx of the direct command: %s\n", kTarget,
              met ? "met" : "MISSED");
  return met ? 0 : 1;
}

}  // namespace
}  // namespace Zarvo::console

int main(int argc, char** argv) { return Zarvo::console::run(argc, argv); }
