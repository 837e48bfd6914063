// ConsoleApi: the console's JSON API over the storage manager and the device management service.
//
//   GET    /api/devices                   the fleet
//   GET    /api/devices/{id}/files        what one printer stores
//   GET    /api/store                     the server store
//   POST   /api/store                     upload (multipart; the body is streamed by the HTTP
//                                         front into the upload directory, then store() runs)
//   DELETE /api/store/{name}
//   POST   /api/operations                add, copy, move or delete; answers the new IDs
//   GET    /api/operations                newest first, paged (?offset=&limit=&status=)
//   GET    /api/operations/{id}
//   POST   /api/operations/{id}/cancel, /api/operations/{id}/retry, /api/operations/clear
//
// Requests that change something pass RequestGuard::checkChange first. Every refusal and every
// failure of a service becomes one error answer, {"error": {"code", "message", "details"}}, here
// and nowhere else; the message is in plain words, the code beside it is what a script matches.
//
// The storage manager answers its commands with a plain success whatever became of them, so the
// API checks what it can before and after: that operations and stored files exist, that an
// upload arrived in the store, and which operation a command created (the answer does not say;
// the registry numbers operations upwards, so it is the first new one that matches).
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <memory>
#include <mutex>
#include <vector>

#include "console/ApiMessage.h"
#include "console/ConsoleServices.h"
#include "console/RequestGuard.h"
#include "console/UploadDirectory.h"

namespace Zarvo::console {

class ConsoleApi {
 public:
  static constexpr int kDefaultPage = 50;
  static constexpr int kMaxPage = 10000;

  ConsoleApi(ConsoleServices& services, const RequestGuard& guard)
      : services_(services), guard_(guard) {}

  // Every API request but the upload's body; never throws.
  ApiReply handle(const ApiRequest& request);

  // --- The upload, in two steps around the body ---
  struct Upload {
    QString name;  // the store name the user gave
    std::unique_ptr<UploadFile> file;
  };
  // Before the body is read: may this request upload? Throws ApiError.
  void checkUpload(const ApiRequest& request) const { guard_.checkChange(request, false); }
  // After the body was written into the upload directory: adds every upload to the store and
  // checks that each arrived. The files are removed when `uploads` goes. Never throws.
  ApiReply store(std::vector<Upload>& uploads);

  // The operation list's summary for live updates: counts by status and a digest of every
  // operation's status and progress, as one JSON object.
  static QByteArray summaryOf(const QList<Operation>& operations);

  static ApiReply errorReply(const ApiError& error);
  // The refusal of a service failure: 502, or 503 while the service is stopping.
  static ApiError serviceError(const ServiceFailure& failure);
  // A per-file result in plain words. `finished`: the operation is no longer in progress.
  static QString plainFileResult(const QString& type, const OperationFile& file, bool finished);

 private:
  ApiReply route(const ApiRequest& request);

  QJsonObject devices();
  QJsonObject deviceFiles(const QString& idText);
  QJsonObject store();
  QJsonObject removeStored(const QString& name);
  QByteArray operations(const ApiRequest& request);
  QJsonObject operation(const QString& idText);
  QJsonObject createOperations(const QByteArray& body);
  QJsonObject cancel(const QString& idText);
  QJsonObject retry(const QString& idText);
  QJsonObject clear();

  // The device a reference names: an ID (number or decimal text) or an address.
  Device resolve(const QList<Device>& fleet, const QJsonValue& reference) const;
  // The listed operation of `idText`, or 404.
  Operation findOperation(const QString& idText);

  ConsoleServices& services_;
  const RequestGuard& guard_;
  // Serialise the console's own changes whose effect it checks: uploads (a name taken between
  // the look and the add) and operations (whose new IDs it looks for).
  std::mutex storeMutex_;
  std::mutex createMutex_;
};

}  // namespace Zarvo::console
