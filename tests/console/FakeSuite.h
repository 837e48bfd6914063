// The storage manager and the device management service as the console sees them, in process:
// a FakeServiceClient whose answers come from a small model of the registry, the store and the
// fleet. Requests are read back from the bytes the console would send, so the tests check what
// goes on the wire as well as what the console makes of the answers.
#pragma once

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "DSMCancelOperation_Request.h"
#include "DSMCancelOperation_Response.h"
#include "DSMClearCompletedOperation_Response.h"
#include "DSMCopyFile_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMDeleteFile_Request.h"
#include "DSMDeleteFile_Response.h"
#include "DSMDetailsOperation_Request.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMGetFileList_Request.h"
#include "DSMGetFileList_Response.h"
#include "DSMGetOperationList_Response.h"
#include "DSMMoveFile_Response.h"
#include "DSMRetryOperation_Request.h"
#include "DSMRetryOperation_Response.h"
#include "DSMServerAddFile_Request.h"
#include "DSMServerAddFile_Response.h"
#include "DSMServerDeleteFile_Request.h"
#include "DSMServerDeleteFile_Response.h"
#include "DSMServerGetFileList_Response.h"
#include "console/ConsoleServices.h"
#include "framework/LMXPacket.h"
#include "messages/DMSGetDeviceList.h"
#include "tests/fakes/ServiceClients.h"

namespace testing_console {

using Zarvo::console::DeviceFile;
using Zarvo::console::StoredFile;

struct FakeOperation {
  quint32 id = 0;
  QString type;
  QString status = QStringLiteral("IN_PROGRESS");
  quint32 progress = 0;
  QString source = QStringLiteral("-");
  QString destination = QStringLiteral("-");
  struct File {
    QString name;
    bool ok = false;
    QString details = QStringLiteral("completed");
  };
  QList<File> files;
};

class FakeSuite {
 public:
  FakeSuite() {
    devices = {{1, "Front desk", "ZX-410", "127.0.0.2"},
               {2, "Accounts", "ZX-410", "127.0.0.3"},
               {3, "Warehouse", "ZX-200", "127.0.0.4"}};
    deviceFiles[1] = {{1, "Courier", 3000, "pclFont", "permanent", 3},
                      {2, "inv.ps", 27, "psForm", "volatile", 0}};
  }

  struct Device {
    quint32 id;
    QString name;
    QString model;
    QString address;
  };

  // --- The model; tests change it freely between requests ---
  std::vector<Device> devices;
  std::map<quint32, QList<DeviceFile>> deviceFiles;
  QList<StoredFile> store;
  std::vector<FakeOperation> operations;
  quint32 nextId = 0;
  bool storeTakesUploads = true;  // DSMServerAddFile copies what it is given
  int failWith = 0;               // non-zero: every call answers this result (1: unreachable)
  // Runs just before a file command makes its operation: another caller's command, say.
  std::function<void()> beforeCreate;

  // The commands received, in order.
  QStringList commands() const {
    QMutexLocker lock(&mutex_);
    return commands_;
  }
  // Those that change something in the storage manager.
  QStringList changes() const {
    QStringList out;
    for (const QString& c : commands()) {
      if (!c.startsWith(QLatin1String("DSMGet")) && c != QLatin1String("DSMServerGetFileList") &&
          c != QLatin1String("DSMDetailsOperation") && c != QLatin1String("DMSGetDeviceList"))
        out << c;
    }
    return out;
  }
  // The request bytes of the last command of that name.
  QByteArray lastRequest(const QString& command) const {
    QMutexLocker lock(&mutex_);
    return requests_.value(command);
  }

  FakeOperation& addOperation(const QString& type, const QString& source, const QString& dest) {
    FakeOperation op;
    op.id = nextId++;
    op.type = type;
    op.source = source;
    op.destination = dest;
    operations.push_back(op);
    return operations.back();
  }

  Zarvo::ServiceClient& client() { return client_; }

 private:
  using Answer = Zarvo::ServiceClient::Answer;
  template <class Root>
  using Response = Zarvo::LMXResponse<Root>;

  static QString qs(const std::u16string& s) { return QString::fromStdU16String(s); }
  static std::u16string u16(const QString& s) { return s.toStdU16String(); }

  template <class Root>
  static Root read(const QByteArray& bytes) {
    Zarvo::LMXRequest<Root> request;
    request.fromByteArray(bytes);
    return static_cast<Root&>(request);
  }
  static Answer wrap(Zarvo::PacketPtr packet) {
    Answer a;
    a.packet = std::move(packet);
    return a;
  }
  template <class Root>
  static Answer plain() {
    return wrap(std::make_unique<Response<Root>>());
  }

  template <class Request>
  void createFrom(const QString& type, const Request& r) {
    if (beforeCreate) beforeCreate();
    QStringList to;
    for (std::size_t i = 0; i < r.get_Destinations().size_DeviceIP(); ++i)
      to << qs(r.get_Destinations().get_DeviceIP(i));
    FakeOperation& op = addOperation(type, qs(r.get_Source().get_DeviceIP()), to.join(';'));
    for (std::size_t i = 0; i < r.get_Source().size_File(); ++i)
      op.files << FakeOperation::File{qs(r.get_Source().get_File(i).get_FileName())};
  }

  Answer answer(const QString& command, const QByteArray& bytes) {
    {
      QMutexLocker lock(&mutex_);
      commands_ << command;
      requests_[command] = bytes;
    }
    if (failWith != 0) {
      return wrap(std::make_unique<Zarvo::ResponsePacket>(failWith, QStringLiteral("failed here")));
    }
    if (command == "DMSGetDeviceList") {
      auto r = std::make_unique<Zarvo::CmdDMSGetDeviceListResponse>();
      for (const Device& d : devices) {
        Zarvo::DeviceRecord record;
        record.id = d.id;
        record.properties = {{"IP", d.address},
                             {"Name", d.name},
                             {"Model", d.model},
                             {"Reachable", d.id == 3 ? "false" : "true"}};
        r->devices << record;
      }
      return wrap(std::move(r));
    }
    if (command == "DSMGetFileList") {
      const auto request = read<DSMGetFileList_Request::c_OrxRequest>(bytes);
      auto r = std::make_unique<Response<DSMGetFileList_Response::c_OrxResponse>>();
      for (const DeviceFile& f : deviceFiles[request.get_DeviceID()]) {
        r->append_FileStorage();
        auto& e = r->back_FileStorage();
        e.set_FileIndex(f.index);
        e.set_FileName(u16(f.name));
        e.set_FileSize(f.size);
        e.set_FileType(u16(f.kind));
        e.set_FilePersistence(u16(f.persistence));
        e.set_FileStorageFileID(f.id);
      }
      return wrap(std::move(r));
    }
    if (command == "DSMServerGetFileList") {
      auto r = std::make_unique<Response<DSMServerGetFileList_Response::c_OrxResponse>>();
      for (const StoredFile& f : store) {
        r->append_File();
        auto& e = r->back_File();
        e.set_FileName(u16(f.name));
        e.set_FileSize(f.size);
        e.set_FileType(u16(f.kind));
        e.set_FileID(u16(f.id));
        e.set_FileDate(f.date);
      }
      return wrap(std::move(r));
    }
    if (command == "DSMServerAddFile") {
      const auto request = read<DSMServerAddFile_Request::c_OrxRequest>(bytes);
      for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
        const QString path = qs(request.get_LargeFile(i).get_value());
        if (storeTakesUploads && QFileInfo::exists(path)) {
          store << StoredFile{qs(request.get_LargeFile(i).get_filename()),
                              quint32(QFileInfo(path).size()), "psFont", "", 100};
        }
      }
      return plain<DSMServerAddFile_Response::c_OrxResponse>();
    }
    if (command == "DSMServerDeleteFile") {
      const auto request = read<DSMServerDeleteFile_Request::c_OrxRequest>(bytes);
      const QString name = qs(request.get_File(0).get_FileName());
      store.removeIf([&](const StoredFile& f) { return f.name == name; });
      return plain<DSMServerDeleteFile_Response::c_OrxResponse>();
    }
    if (command == "DSMGetOperationList") {
      auto r = std::make_unique<Response<DSMGetOperationList_Response::c_OrxResponse>>();
      for (const FakeOperation& op : operations) {
        r->append_Operation();
        auto& e = r->back_Operation();
        e.set_ID(op.id);
        e.set_Type(u16(op.type));
        e.set_Status(u16(op.status));
        e.set_Progress(op.progress);
        e.set_Source(u16(op.source));
        e.set_Destination(u16(op.destination));
      }
      return wrap(std::move(r));
    }
    if (command == "DSMDetailsOperation") {
      const quint32 id = read<DSMDetailsOperation_Request::c_OrxRequest>(bytes).get_OperationID();
      auto r = std::make_unique<Response<DSMDetailsOperation_Response::c_OrxResponse>>();
      for (const FakeOperation& op : operations) {
        if (op.id != id) continue;
        r->set_Type(u16(op.type));
        r->set_Status(u16(op.status));
        r->set_Source(u16(op.source));
        r->set_Destination(u16(op.destination));
        for (const FakeOperation::File& f : op.files) {
          r->append_File();
          auto& e = r->back_File();
          e.set_FileName(u16(f.name));
          e.set_FileSize(10);
          e.set_FileType(u"psFont");
          e.set_Source(u16(op.source));
          e.set_Destination(u16(op.destination));
          e.set_Result(f.ok);
          e.set_Details(u16(f.details));
        }
      }
      return wrap(std::move(r));
    }
    if (command == "DSMCopyFile" || command == "DSMMoveFile") {
      createFrom(command == "DSMCopyFile" ? "COPY" : "MOVE",
                 read<DSMCopyFile_Request::c_OrxRequest>(bytes));
      return plain<DSMCopyFile_Response::c_OrxResponse>();
    }
    if (command == "DSMAddFile") {
      if (beforeCreate) beforeCreate();
      const auto request = read<DSMAddFile_Request::c_OrxRequest>(bytes);
      FakeOperation& op = addOperation("ADD", "-", qs(request.get_DeviceIP()));
      for (std::size_t i = 0; i < request.size_FileName(); ++i)
        op.files << FakeOperation::File{qs(request.get_FileName(i))};
      return plain<DSMAddFile_Response::c_OrxResponse>();
    }
    if (command == "DSMDeleteFile") {
      if (beforeCreate) beforeCreate();
      const auto request = read<DSMDeleteFile_Request::c_OrxRequest>(bytes);
      addOperation("DELETE", qs(request.get_DeviceIP()), "-");
      return plain<DSMDeleteFile_Response::c_OrxResponse>();
    }
    if (command == "DSMClearCompletedOperation") {
      operations.erase(
          std::remove_if(operations.begin(), operations.end(),
                         [](const FakeOperation& op) { return op.status != "IN_PROGRESS"; }),
          operations.end());
      return plain<DSMClearCompletedOperation_Response::c_OrxResponse>();
    }
    if (command == "DSMCancelOperation") return plain<DSMCancelOperation_Response::c_OrxResponse>();
    if (command == "DSMRetryOperation") return plain<DSMRetryOperation_Response::c_OrxResponse>();
    return wrap(std::make_unique<Zarvo::ResponsePacket>(Zarvo::Failure::cantHandle(command)));
  }

  mutable QMutex mutex_;
  QStringList commands_;
  QMap<QString, QByteArray> requests_;
  testing_orx::FakeServiceClient client_{
      [this](const QString& command, const QByteArray& bytes) { return answer(command, bytes); }};
};

}  // namespace testing_console
