// The storage manager's executable over HTTP, as the end-to-end tests of downloads and file jobs
// drive it: the naming and SNMP fakes wired to it, a fresh process with files in its store,
// requests and their exact answers, and devices that confirm through the SNMP service's trap.
//
//   class MyTest : public testing_dsm::DsmEndToEnd { ... };
//   TEST_F(MyTest, X) {
//     startHost({{"s1.pcl", bytes}});
//     expectPlain("DSMAddFile", "<DeviceIP>...</DeviceIP><FileName>s1.pcl</FileName>");
//     EXPECT_EQ(hex(settled()), hex(listAnswer({{0, "ADD", "COMPLETED", 100, "-", D}})));
//   }
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>
#include <utility>

#include "tests/fakes/Bytes.h"
#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/FakePrinter.h"
#include "tests/fakes/FakeSuiteServices.h"
#include "tests/fakes/HttpProbe.h"
#include "tests/fakes/RunningHost.h"

#ifdef ZARVO_EXECUTABLE

namespace testing_dsm {

inline const QString kTrapTable = QStringLiteral("staticTrapDestTable");
inline const QString kArc = QStringLiteral(".1.3.6.1.4.1.32473");
inline const QString kEnterprise = kArc + ".11.5.11.83.1.2.1";
inline const QString kStatusOid = kArc + ".11.5.11.83.1.1.1.5";
inline const QByteArray kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

inline QByteArray request(const QByteArray& command, const QByteArray& children = QByteArray()) {
  return kUtf8Declaration + "<OrxRequest command=\"" + command + "\">" + children + "</OrxRequest>";
}

struct Op {
  int id;
  const char* type;
  const char* status;
  int progress;
  QString source, destination;
};
// The exact answer of DSMGetOperationList.
inline QByteArray listAnswer(const QList<Op>& ops) {
  QByteArray out =
      kUtf8Declaration + "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n";
  for (const Op& o : ops) {
    out += "\t<Operation>\n\t\t<ID>" + QByteArray::number(o.id) + "</ID>\n\t\t<Type>" + o.type +
           "</Type>\n\t\t<Status>" + o.status + "</Status>\n\t\t<Progress>" +
           QByteArray::number(o.progress) + "</Progress>\n\t\t<Source>" + o.source.toUtf8() +
           "</Source>\n\t\t<Destination>" + o.destination.toUtf8() +
           "</Destination>\n\t</Operation>\n";
  }
  return out + "</OrxResponse>\n";
}

struct FileRow {
  const char* name;
  int size;
  const char* type;
  QString source, destination;
  bool result;
  const char* details;
};
// The exact answer of DSMDetailsOperation.
inline QByteArray detailsAnswer(const char* type, const char* status, const QString& source,
                                const QString& destination, const QList<FileRow>& files) {
  QByteArray out = kUtf8Declaration +
                   "<OrxResponse>\n\t<Result>0</Result>\n\t<Details></Details>\n\t<Type>" + type +
                   "</Type>\n\t<Status>" + status + "</Status>\n\t<Source>" + source.toUtf8() +
                   "</Source>\n\t<Destination>" + destination.toUtf8() + "</Destination>\n";
  for (const FileRow& f : files) {
    out += QByteArray("\t<File>\n\t\t<FileName>") + f.name + "</FileName>\n\t\t<FileSize>" +
           QByteArray::number(f.size) + "</FileSize>\n\t\t<FileType>" + f.type +
           "</FileType>\n\t\t<Source>" + f.source.toUtf8() + "</Source>\n\t\t<Destination>" +
           f.destination.toUtf8() + "</Destination>\n\t\t<Result>" + (f.result ? "true" : "false") +
           "</Result>\n\t\t<Details>" + f.details + "</Details>\n\t</File>\n";
  }
  return out + "</OrxResponse>\n";
}

class DsmEndToEnd : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  DsmEndToEnd() {
    naming_.setServiceUrl("SNMPGetValues", snmp_.url().toString());
    naming_.setServiceUrl("SNMPSetValues", snmp_.url().toString());
  }
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    // The thread checker stops the child of a fork from this multi-threaded test; the threads
    // of the sender and the jobs are checked by their in-process tests.
    GTEST_SKIP() << "the executable cannot be started under ThreadSanitizer";
#endif
  }
  void TearDown() override {
    if (HasFailure() && host_) std::cerr << host_->output().toStdString();
  }

  // A fresh process (the previous one, if any, is killed) with `files` in its store, its
  // traps routed to it through the naming fake; `configuration` is added to its configuration
  // file's elements.
  void startHost(const QList<std::pair<QString, QByteArray>>& files,
                 const QByteArray& configuration = QByteArray()) {
    if (host_ && HasFailure()) std::cerr << host_->output().toStdString();
    host_ = std::make_unique<testing_exe::RunningHost>(
        ZARVO_EXECUTABLE, "<c><DispatcherURL>" + naming_.url().toString().toUtf8() +
                              "</DispatcherURL>" + configuration + "</c>");
    ASSERT_TRUE(host_->dir().mkpath("Files"));
    for (const auto& [name, bytes] : files) {
      QFile f(host_->dir().filePath("Files/" + name));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    }
    ASSERT_TRUE(host_->start()) << host_->output().toStdString();
    naming_.setServiceUrl("SNMPTrap", QString("http://127.0.0.1:%1/").arg(host_->port()));
  }

  // The printer confirms each complete download with `status`, through the SNMP service.
  void confirmAlways(testing_printer::FakePrinter& printer, const QString& status) {
    const QString device = printer.host();
    printer.onDownload([this, device, status](const testing_printer::FakePrinter::Download&) {
      (void)testing_suite::FakeSNMPService::sendTrap(naming_.url(), device, kEnterprise,
                                                     {{kStatusOid, status}});
    });
  }

  QByteArray ask(const QByteArray& command, const QByteArray& children = QByteArray()) {
    const testing_http::Answer a = testing_http::exchange(
        host_->port(), testing_http::post("/" + command, request(command, children)));
    EXPECT_TRUE(a.ok) << command.toStdString();
    EXPECT_EQ(a.status(), 200);
    return a.body;
  }
  void expectPlain(const QByteArray& command, const QByteArray& children = QByteArray()) {
    EXPECT_EQ(testing_bytes::hex(ask(command, children)), testing_bytes::hex(listAnswer({})))
        << command.toStdString() << " answers a plain success";
  }
  QByteArray list() { return ask("DSMGetOperationList"); }
  QByteArray details(int id) {
    return ask("DSMDetailsOperation", "<OperationID>" + QByteArray::number(id) + "</OperationID>");
  }
  // Waits (bounded) until the list holds no operation in progress; the list then.
  QByteArray settled() {
    QByteArray l;
    const auto end = Clock::now() + std::chrono::seconds(30);
    do {
      l = list();
      if (!l.contains("IN_PROGRESS")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < end);
    return l;
  }

  testing_orx::FakeNamingService naming_;
  testing_suite::FakeSNMPService snmp_;
  std::unique_ptr<testing_exe::RunningHost> host_;
};

}  // namespace testing_dsm

#endif
