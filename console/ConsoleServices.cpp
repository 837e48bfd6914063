#include "console/ConsoleServices.h"

#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "DSMCancelOperation_Request.h"
#include "DSMCancelOperation_Response.h"
#include "DSMClearCompletedOperation_Request.h"
#include "DSMClearCompletedOperation_Response.h"
#include "DSMCopyFile_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMDeleteFile_Request.h"
#include "DSMDeleteFile_Response.h"
#include "DSMDetailsOperation_Request.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMGetFileList_Request.h"
#include "DSMGetFileList_Response.h"
#include "DSMGetOperationList_Request.h"
#include "DSMGetOperationList_Response.h"
#include "DSMMoveFile_Request.h"
#include "DSMMoveFile_Response.h"
#include "DSMRetryOperation_Request.h"
#include "DSMRetryOperation_Response.h"
#include "DSMServerAddFile_Request.h"
#include "DSMServerAddFile_Response.h"
#include "DSMServerDeleteFile_Request.h"
#include "DSMServerDeleteFile_Response.h"
#include "DSMServerGetFileList_Request.h"
#include "DSMServerGetFileList_Response.h"
#include "framework/LMXPacket.h"
#include "messages/DMSGetDeviceList.h"

namespace Zarvo::console {

namespace {

const QString kStorageManager = QStringLiteral("storage manager");
const QString kDeviceManagement = QStringLiteral("device management");

QString qs(const std::u16string& text) { return QString::fromStdU16String(text); }
std::u16string u16(const QString& text) { return text.toStdU16String(); }

// "-" stands for "none" in the operation texts; a list is joined with ";".
QString addressOrNone(const std::u16string& text) {
  const QString value = qs(text);
  return value == QLatin1String("-") ? QString() : value;
}
QStringList addressList(const std::u16string& text) {
  const QString value = addressOrNone(text);
  return value.isEmpty() ? QStringList() : value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

// Sends one storage-manager command and returns its answer, or throws for a failed one.
template <class RequestRoot, class ResponseRoot>
std::unique_ptr<Zarvo::LMXResponse<ResponseRoot>> ask(Zarvo::ServiceClient& client,
                                                      Zarvo::LMXRequest<RequestRoot>& request) {
  auto answer = client.callService<Zarvo::LMXResponse<ResponseRoot>>(request, true);
  if (!answer) throw ServiceFailure(kStorageManager, 1, QStringLiteral("no answer"));
  if (answer->result() != 0)
    throw ServiceFailure(kStorageManager, answer->result(), answer->details());
  return answer;
}

// The request of a command, built by `fill`, sent; its answer returned.
template <class RequestRoot, class ResponseRoot, class Fill>
std::unique_ptr<Zarvo::LMXResponse<ResponseRoot>> send(Zarvo::ServiceClient& client, Fill&& fill) {
  Zarvo::LMXRequest<RequestRoot> request;
  fill(static_cast<RequestRoot&>(request));
  return ask<RequestRoot, ResponseRoot>(client, request);
}

constexpr auto kNothing = [](auto&) {};

// Copy and move share one request tree.
template <class RequestRoot>
void fillTransfer(RequestRoot& r, const QString& source, const QStringList& destinations,
                  const QList<FileRef>& files) {
  (void)r.get_Source().set_DeviceIP(u16(source));
  for (const FileRef& f : files) {
    r.get_Source().append_File();
    auto& file = r.get_Source().back_File();
    (void)file.set_FileName(u16(f.name));
    (void)file.set_FileSize(f.size);
    (void)file.set_FileType(u16(f.kind));
    (void)file.set_FileStorageFileID(f.id);
  }
  for (const QString& d : destinations) r.get_Destinations().append_DeviceIP(u16(d));
}

}  // namespace

QList<Device> ConsoleServices::devices() {
  CmdDMSGetDeviceListRequest request;
  request.properties = QStringList{QStringLiteral("IP"), QStringLiteral("Name"),
                                   QStringLiteral("Model"), QStringLiteral("Reachable")};
  const auto answer = client_.callService<CmdDMSGetDeviceListResponse>(request, true);
  if (!answer) throw ServiceFailure(kDeviceManagement, 1, QStringLiteral("no answer"));
  if (answer->result() != 0)
    throw ServiceFailure(kDeviceManagement, answer->result(), answer->details());
  QList<Device> devices;
  for (const DeviceRecord& record : answer->devices) {
    Device d;
    d.id = record.id;
    d.name = record.property(QStringLiteral("Name"));
    d.model = record.property(QStringLiteral("Model"));
    d.address = record.property(QStringLiteral("IP")).trimmed();
    const QString reachable = record.property(QStringLiteral("Reachable")).trimmed().toLower();
    if (reachable == QLatin1String("true") || reachable == QLatin1String("1")) d.reachable = true;
    if (reachable == QLatin1String("false") || reachable == QLatin1String("0")) d.reachable = false;
    devices << d;
  }
  return devices;
}

QList<DeviceFile> ConsoleServices::deviceFiles(quint32 deviceId) {
  const auto answer =
      send<DSMGetFileList_Request::c_OrxRequest, DSMGetFileList_Response::c_OrxResponse>(
          client_, [&](auto& r) { (void)r.set_DeviceID(deviceId); });
  QList<DeviceFile> files;
  for (std::size_t i = 0; i < answer->size_FileStorage(); ++i) {
    const auto& f = answer->get_FileStorage(i);
    files << DeviceFile{
        f.get_FileIndex(),    qs(f.get_FileName()),        f.get_FileSize(),
        qs(f.get_FileType()), qs(f.get_FilePersistence()), f.get_FileStorageFileID()};
  }
  return files;
}

QList<StoredFile> ConsoleServices::storedFiles() {
  const auto answer = send<DSMServerGetFileList_Request::c_OrxRequest,
                           DSMServerGetFileList_Response::c_OrxResponse>(client_, kNothing);
  QList<StoredFile> files;
  for (std::size_t i = 0; i < answer->size_File(); ++i) {
    const auto& f = answer->get_File(i);
    files << StoredFile{qs(f.get_FileName()), f.get_FileSize(), qs(f.get_FileType()),
                        qs(f.get_FileID()), f.get_FileDate()};
  }
  return files;
}

void ConsoleServices::addToStore(const QString& path, const QString& name) {
  (void)send<DSMServerAddFile_Request::c_OrxRequest, DSMServerAddFile_Response::c_OrxResponse>(
      client_, [&](auto& r) {
        r.append_LargeFile();
        (void)r.item_LargeFile(0).set_value(u16(path));
        (void)r.item_LargeFile(0).set_filename(u16(name));
      });
}

void ConsoleServices::removeFromStore(const QString& name) {
  (void)
      send<DSMServerDeleteFile_Request::c_OrxRequest, DSMServerDeleteFile_Response::c_OrxResponse>(
          client_, [&](auto& r) {
            r.append_File();
            (void)r.back_File().set_FileName(u16(name));
          });
}

QList<Operation> ConsoleServices::operations() {
  const auto answer =
      send<DSMGetOperationList_Request::c_OrxRequest, DSMGetOperationList_Response::c_OrxResponse>(
          client_, kNothing);
  QList<Operation> list;
  list.reserve(qsizetype(answer->size_Operation()));
  for (std::size_t i = 0; i < answer->size_Operation(); ++i) {
    const auto& o = answer->get_Operation(i);
    list << Operation{o.get_ID(),
                      qs(o.get_Type()),
                      qs(o.get_Status()),
                      o.get_Progress(),
                      addressOrNone(o.get_Source()),
                      addressList(o.get_Destination())};
  }
  return list;
}

std::optional<OperationDetails> ConsoleServices::details(quint32 id) {
  const auto answer =
      send<DSMDetailsOperation_Request::c_OrxRequest, DSMDetailsOperation_Response::c_OrxResponse>(
          client_, [&](auto& r) { (void)r.set_OperationID(id); });
  // An unknown operation is answered with the plain success: no type.
  if (answer->get_Type().empty()) return std::nullopt;
  OperationDetails details;
  details.type = qs(answer->get_Type());
  details.status = qs(answer->get_Status());
  details.source = addressOrNone(answer->get_Source());
  details.destinations = addressList(answer->get_Destination());
  for (std::size_t i = 0; i < answer->size_File(); ++i) {
    const auto& f = answer->get_File(i);
    details.files << OperationFile{qs(f.get_FileName()),
                                   f.get_FileSize(),
                                   qs(f.get_FileType()),
                                   addressOrNone(f.get_Source()),
                                   addressOrNone(f.get_Destination()),
                                   f.get_Result(),
                                   qs(f.get_Details())};
  }
  return details;
}

void ConsoleServices::add(const QString& address, const QStringList& storedNames) {
  (void)send<DSMAddFile_Request::c_OrxRequest, DSMAddFile_Response::c_OrxResponse>(
      client_, [&](auto& r) {
        (void)r.set_DeviceIP(u16(address));
        for (const QString& name : storedNames) r.append_FileName(u16(name));
      });
}

void ConsoleServices::copy(const QString& source, const QStringList& destinations,
                           const QList<FileRef>& files) {
  (void)send<DSMCopyFile_Request::c_OrxRequest, DSMCopyFile_Response::c_OrxResponse>(
      client_, [&](auto& r) { fillTransfer(r, source, destinations, files); });
}

void ConsoleServices::move(const QString& source, const QStringList& destinations,
                           const QList<FileRef>& files) {
  (void)send<DSMMoveFile_Request::c_OrxRequest, DSMMoveFile_Response::c_OrxResponse>(
      client_, [&](auto& r) { fillTransfer(r, source, destinations, files); });
}

void ConsoleServices::remove(const QString& address, const QList<FileRef>& files) {
  (void)send<DSMDeleteFile_Request::c_OrxRequest, DSMDeleteFile_Response::c_OrxResponse>(
      client_, [&](auto& r) {
        (void)r.set_DeviceIP(u16(address));
        for (const FileRef& f : files) {
          r.append_File();
          auto& file = r.back_File();
          (void)file.set_FileName(u16(f.name));
          (void)file.set_FileSize(f.size);
          (void)file.set_FileType(u16(f.kind));
          (void)file.set_FileStorageFileID(f.id);
        }
      });
}

void ConsoleServices::cancel(quint32 id) {
  (void)send<DSMCancelOperation_Request::c_OrxRequest, DSMCancelOperation_Response::c_OrxResponse>(
      client_, [&](auto& r) { (void)r.set_OperationID(id); });
}

void ConsoleServices::retry(quint32 id) {
  (void)send<DSMRetryOperation_Request::c_OrxRequest, DSMRetryOperation_Response::c_OrxResponse>(
      client_, [&](auto& r) { (void)r.set_OperationID(id); });
}

void ConsoleServices::clearFinished() {
  (void)send<DSMClearCompletedOperation_Request::c_OrxRequest,
             DSMClearCompletedOperation_Response::c_OrxResponse>(client_, kNothing);
}

}  // namespace Zarvo::console
