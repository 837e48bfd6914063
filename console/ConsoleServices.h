// ConsoleServices: what the console asks the suite, in plain values. Every question travels as
// the command packet any caller of the storage manager ("DSM...") or of the device management
// service ("DMSGetDeviceList") sends, through the ServiceClient the console was handed, which
// finds both through the naming service.
//
// A service that cannot be reached, or answers with a non-zero Result, throws ServiceFailure
// with that result and its Details; the console's API turns it into an error answer in one place.
//
// The storage manager answers its commands with a plain success even when there was nothing to
// do (an unknown operation, a stored file that was not copied), so these calls report only what
// the answers carry; checking that a change took effect is the API's business.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <exception>
#include <optional>

#include "framework/ServiceClient.h"

namespace Zarvo::console {

// A service answered with a non-zero Result, or could not be asked (results 1 to 6 of the
// framework).
class ServiceFailure : public std::exception {
 public:
  ServiceFailure(QString service, int result, QString details)
      : service_(std::move(service)), result_(result), details_(std::move(details)) {}
  const char* what() const noexcept override { return "service failure"; }
  const QString& service() const { return service_; }  // "storage manager", "device management"
  int result() const { return result_; }
  const QString& details() const { return details_; }

 private:
  QString service_;
  int result_;
  QString details_;
};

struct Device {
  quint32 id = 0;
  QString name;
  QString model;
  QString address;
  std::optional<bool> reachable;  // unknown when the device management service does not say
};

struct DeviceFile {
  quint32 index = 0;
  QString name;
  quint32 size = 0;
  QString kind;  // "psFont", "psForm", "pclFont", "pclMacro"
  QString persistence;
  quint32 id = 0;  // font or macro ID on the device
};

struct StoredFile {
  QString name;
  quint32 size = 0;
  QString kind;
  QString id;        // "" for no ID
  quint32 date = 0;  // seconds since 1970-01-01 UTC
};

struct Operation {
  quint32 id = 0;
  QString type;    // "ADD", "COPY", "MOVE", "DELETE"
  QString status;  // "IN_PROGRESS", "COMPLETED", "FAILED", "CANCELED"
  quint32 progress = 0;
  QString source;            // "" when the operation has none
  QStringList destinations;  // empty when it has none
};

struct OperationFile {
  QString name;
  quint32 size = 0;
  QString kind;
  QString source;       // "" when none
  QString destination;  // "" when none
  bool succeeded = false;
  QString result;  // "completed", "DeviceDosntResponse", "Timeout", ... or the device's text
};

struct OperationDetails {
  QString type;
  QString status;
  QString source;
  QStringList destinations;
  QList<OperationFile> files;
};

// A file as the copy, move and delete commands name it.
struct FileRef {
  QString name;
  quint32 size = 0;
  QString kind;
  quint32 id = 0;
};

class ConsoleServices {
 public:
  explicit ConsoleServices(Zarvo::ServiceClient& client) : client_(client) {}

  // --- The device management service ---
  // Every device of the fleet, in the order the service gives them.
  QList<Device> devices();

  // --- The storage manager ---
  QList<DeviceFile> deviceFiles(quint32 deviceId);
  QList<StoredFile> storedFiles();
  void addToStore(const QString& path, const QString& name);
  void removeFromStore(const QString& name);
  QList<Operation> operations();
  // Null when the storage manager knows no such operation.
  std::optional<OperationDetails> details(quint32 id);

  void add(const QString& address, const QStringList& storedNames);
  void copy(const QString& source, const QStringList& destinations, const QList<FileRef>& files);
  void move(const QString& source, const QStringList& destinations, const QList<FileRef>& files);
  void remove(const QString& address, const QList<FileRef>& files);
  void cancel(quint32 id);
  void retry(quint32 id);
  void clearFinished();

 private:
  Zarvo::ServiceClient& client_;
};

}  // namespace Zarvo::console
