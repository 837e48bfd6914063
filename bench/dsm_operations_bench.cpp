// Operation-list benchmark of the storage manager, in-process through its handlers:
//
//   list:  DSMGetOperationList over a registry of N finished operations (add jobs of 3 files
//          each) while 8 copy jobs run (each downloading to a device that takes a fraction of a
//          millisecond per file, so their status and progress change all the time), the answer
//          written as the dispatcher writes it
//          vs. writing the same answer from a prepared message (the floor: nothing but writing).
//   retry: DSMCancelOperation and DSMGetOperationList while a DSMRetryOperation waits for a
//          running job (held at its confirmation), against the same list without the retry.
//
// Each side runs `rounds` times alternately; medians (and the worst) are reported. Only ratios
// mean much: absolute times move with the build type and whatever else the machine runs.
//
// Usage: bench_dsm_operations [--operations N] [--rounds R]
// Exit code: 0 when the list is under 50 ms and within 2x of the floor and cancel and list are
// answered within 10 ms more than without a waiting retry; 1 when a target is missed; 2 when the
// run failed.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "plugin/ZarvoPluginDSM.h"
#include "tests/fakes/FakeCgiDevices.h"
#include "tests/fakes/ServiceClients.h"

namespace Zarvo::dsm {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const QString kSource = QStringLiteral("127.0.0.1");  // web pages of the copy jobs' source
const QString kBusy = QStringLiteral("10.0.0.2");     // takes each file in kBusyPause
const QString kQuick = QStringLiteral("10.0.0.3");    // takes each file at once
const QString kHeld = QStringLiteral("10.0.0.4");     // never confirms until released
constexpr auto kBusyPause = 200us;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}
double worst(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

// Devices as the benchmark needs them: no sockets, only the timing of each kind of device.
class BenchSender : public DeviceSender {
 public:
  FileOutcome send(const QString& address, const TCP9100File&,
                   const Zarvo::StopToken& stop) override {
    if (address == kBusy) {
      if (stop.stopRequested()) return FileOutcome::timeout();
      std::this_thread::sleep_for(kBusyPause);
    } else if (address == kHeld) {
      Zarvo::StopCallback wake(stop, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
      });
      std::unique_lock<std::mutex> lock(mutex_);
      ++held_;
      changed_.notify_all();
      changed_.wait_for(lock, 60s, [&] { return released_ || stop.stopRequested(); });
      --held_;
      if (!released_) return FileOutcome::timeout();
    }
    return FileOutcome::completed();
  }
  bool waitForHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return held_ > 0; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int held_ = 0;
  bool released_ = false;
};

ZarvoPluginDSM::CopyFileRequest copyRequest(const QString& to, int destinations) {
  ZarvoPluginDSM::CopyFileRequest r;
  (void)r.get_Source().set_DeviceIP(kSource.toStdU16String());
  (void)r.get_Source().append_File();
  auto& f = r.get_Source().back_File();
  (void)f.set_FileName(u"form.ps");
  (void)f.set_FileSize(14);
  (void)f.set_FileType(u"psForm");
  (void)f.set_FileStorageFileID(0);
  for (int i = 0; i < destinations; ++i) {
    (void)r.get_Destinations().append_DeviceIP(to.toStdU16String());
  }
  return r;
}

struct Registry {
  ZarvoPluginDSM& plugin;

  std::unique_ptr<ZarvoPluginDSM::GetOperationListResponse> list() {
    ZarvoPluginDSM::GetOperationListRequest request;
    return plugin.DSMGetOperationList(request);
  }
  // The whole answer as the dispatcher produces it: handler, then the written packet.
  QByteArray answer() {
    QByteArray bytes;
    list()->toByteArray(bytes);
    return bytes;
  }
  int inProgress() {
    auto r = list();
    int n = 0;
    for (std::size_t i = 0; i < r->size_Operation(); ++i) {
      if (r->get_Operation(i).get_Status() == u"IN_PROGRESS") ++n;
    }
    return n;
  }
};

int run(int argc, char** argv) {
  int operations = 10'000;
  int rounds = 21;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--operations") == 0) operations = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }

  QTemporaryDir dir;
  if (!dir.isValid() || !QDir(dir.path()).mkpath("Files")) return 2;
  const QString store = dir.path() + "/Files/";
  for (const char* name : {"font.pcl", "macro.pcl", "form.ps"}) {
    QFile f(store + name);
    if (!f.open(QIODevice::WriteOnly)) return 2;
    f.write(QByteArray(1024, 'x'));
  }
  testing_devices::FakeCgiDevices pages({kSource});
  pages.putFile(kSource, "form.ps", "%!PS\nshowpage\n");
  DeviceCgiSettings cgi;
  cgi.port = pages.port();
  BenchSender sender;
  testing_orx::FakeServiceClient services;  // the registry asks no other service
  ZarvoPluginDSM plugin(services, store, &sender, cgi);
  Registry registry{plugin};

  // N finished operations of 3 files each.
  const auto fillStart = Clock::now();
  for (int i = 0; i < operations; ++i) {
    ZarvoPluginDSM::AddFileRequest add;
    (void)add.set_DeviceIP(kQuick.toStdU16String());
    for (const char16_t* name : {u"font.pcl", u"macro.pcl", u"form.ps"}) {
      (void)add.append_FileName(name);
    }
    (void)plugin.DSMAddFile(add);
  }
  while (registry.inProgress() != 0) {
    if (msSince(fillStart) > 300'000) return 2;
    std::this_thread::sleep_for(20ms);
  }
  std::printf("registry: %d finished operations of 3 files, filled in %.0f ms\n", operations,
              msSince(fillStart));

  // 8 jobs that keep running for the whole measurement.
  for (int i = 0; i < 8; ++i) {
    auto copy = copyRequest(kBusy, 100'000);
    (void)plugin.DSMCopyFile(copy);
  }
  std::this_thread::sleep_for(200ms);
  if (registry.inProgress() != 8) return 2;

  // The floor: the same answer written from a prepared message.
  ZarvoPluginDSM::GetOperationListResponse prepared;
  static_cast<DSMGetOperationList_Response::c_OrxResponse&>(prepared) =
      static_cast<const DSMGetOperationList_Response::c_OrxResponse&>(*registry.list());
  std::vector<double> floorMs, listMs;
  qsizetype answerBytes = 0;
  for (int r = 0; r < rounds; ++r) {
    QByteArray bytes;
    auto start = Clock::now();
    prepared.toByteArray(bytes);
    floorMs.push_back(msSince(start));
    start = Clock::now();
    const QByteArray answer = registry.answer();
    listMs.push_back(msSince(start));
    answerBytes = answer.size();
  }
  const double floor = median(floorMs);
  const double list = median(listMs);
  const double ratio = list / floor;
  std::printf(
      "list (8 jobs running): %.2f ms median, %.2f ms worst; floor %.2f ms; ratio %.2fx; "
      "answer %lld bytes\n",
      list, worst(listMs), floor, ratio, static_cast<long long>(answerBytes));

  // A retry waiting for a running job.
  auto held = copyRequest(kHeld, 1);
  (void)plugin.DSMCopyFile(held);
  const std::uint32_t heldId = std::uint32_t(operations + 8);
  if (!sender.waitForHeld()) return 2;
  std::atomic<bool> retried{false};
  std::thread retrying([&] {
    ZarvoPluginDSM::RetryOperationRequest retry;
    (void)retry.set_OperationID(heldId);
    (void)plugin.DSMRetryOperation(retry);
    retried = true;
  });
  std::this_thread::sleep_for(50ms);  // the retry now waits for the held run
  std::vector<double> cancelMs, listDuringMs;
  for (int r = 0; r < rounds; ++r) {
    ZarvoPluginDSM::CancelOperationRequest cancel;
    (void)cancel.set_OperationID(std::uint32_t(r));  // a finished operation: kept for its retry
    auto start = Clock::now();
    (void)plugin.DSMCancelOperation(cancel);
    cancelMs.push_back(msSince(start));
    start = Clock::now();
    (void)registry.answer();
    listDuringMs.push_back(msSince(start));
  }
  const bool stillWaiting = !retried;
  sender.release();
  retrying.join();
  const double extra = median(listDuringMs) - list;
  std::printf(
      "while a retry waits: cancel %.3f ms median, %.3f ms worst; list %.2f ms median, "
      "%.2f ms worst (%+.2f ms against no retry); retry still waiting: %s\n",
      median(cancelMs), worst(cancelMs), median(listDuringMs), worst(listDuringMs), extra,
      stillWaiting ? "yes" : "NO");

  const bool ok =
      list < 50.0 && ratio <= 2.0 && worst(cancelMs) < 10.0 && extra < 10.0 && stillWaiting;
  std::printf(
      "targets (list < 50 ms, <= 2x floor, cancel and list within 10 ms during a retry): "
      "%s\n",
      ok ? "met" : "MISSED");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace Zarvo::dsm

int main(int argc, char** argv) { return Zarvo::dsm::run(argc, argv); }
