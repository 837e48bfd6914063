#include "plugin/DeviceFileList.h"

#include <arpa/inet.h>

#include <limits>

#include "framework/ServiceClient.h"

namespace Zarvo::dsm {

namespace {

using FileStorage = DSMGetFileList_Response::c_OrxResponse::c_FileStorage;

const QByteArray kFileStorageTable = "scmFileStorageTable";

// A column's cell text to a FileStorage field.
enum class Field { kIndex, kName, kSize, kType, kPersistence, kId };

struct ColumnMapping {
  const char* column;
  Field field;
};

constexpr ColumnMapping kColumns[] = {
    {"scmFileStorageFileIndex", Field::kIndex},
    {"scmFileStorageFileName", Field::kName},
    {"scmFileStorageFileSize", Field::kSize},
    {"scmFileStorageFileType", Field::kType},
    {"scmFileStorageFilePersistence", Field::kPersistence},
    {"scmFileStorageFileID", Field::kId},
};

// Unsigned 32-bit decimal; anything else (letters, a sign, out of range) gives 0.
quint32 toUnsigned(const QString& text) {
  bool ok = false;
  const uint value = text.toUInt(&ok, 10);
  return ok ? quint32(value) : 0;
}

// Every field present, so the answer always carries the whole element.
FileStorage& appendEmpty(DSMGetFileList_Response::c_OrxResponse& response) {
  (void)response.append_FileStorage();
  FileStorage& f = response.back_FileStorage();
  (void)f.set_FileIndex(0);
  (void)f.set_FileName(std::u16string());
  (void)f.set_FileSize(0);
  (void)f.set_FileType(std::u16string());
  (void)f.set_FilePersistence(std::u16string());
  (void)f.set_FileStorageFileID(0);
  return f;
}

void setField(FileStorage& f, Field field, const QString& text) {
  switch (field) {
    case Field::kIndex:
      (void)f.set_FileIndex(toUnsigned(text));
      break;
    case Field::kName:
      (void)f.set_FileName(text.toStdU16String());
      break;
    case Field::kSize:
      (void)f.set_FileSize(toUnsigned(text));
      break;
    case Field::kType:
      (void)f.set_FileType(text.toStdU16String());
      break;
    case Field::kPersistence:
      (void)f.set_FilePersistence(text.toStdU16String());
      break;
    case Field::kId:
      (void)f.set_FileStorageFileID(toUnsigned(text));
      break;
  }
}

int ipVersionOf(const QByteArray& address) {
  unsigned char out[16];
  if (::inet_pton(AF_INET, address.constData(), out) == 1) return 4;
  if (::inet_pton(AF_INET6, address.constData(), out) == 1) return 6;
  return 0;
}

}  // namespace

QStringList fileListDeviceProperties() {
  return {QStringLiteral("IP"),           QStringLiteral("SNMP_VER"),
          QStringLiteral("AuthPass"),     QStringLiteral("AuthMethod"),
          QStringLiteral("ContextName"),  QStringLiteral("ContextID"),
          QStringLiteral("PrivacyPass"),  QStringLiteral("UserName"),
          QStringLiteral("SecurityLevel")};
}

deviceReq deviceRequestFor(const DeviceRecord& record) {
  deviceReq entry;
  entry.address = record.property(QStringLiteral("IP")).toUtf8();
  entry.ipVersion = ipVersionOf(entry.address);
  bool ok = false;
  entry.snmpVersion = record.property(QStringLiteral("SNMP_VER")).toInt(&ok, 10);
  if (!ok) entry.snmpVersion = 0;
  entry.readCommunity = "public";
  if (entry.snmpVersion != 3) return entry;

  // Version 3: only properties that hold something replace the empty defaults.
  const auto copyIfSet = [&record](const char* property, QByteArray* field) {
    const QString value = record.property(QString::fromLatin1(property));
    if (!value.isEmpty()) *field = value.toUtf8();
  };
  copyIfSet("AuthPass", &entry.authPassPhrase);
  copyIfSet("ContextName", &entry.contextName);
  copyIfSet("ContextID", &entry.contextId);
  copyIfSet("PrivacyPass", &entry.privPassPhrase);
  copyIfSet("UserName", &entry.userName);
  entry.authProtocol =
      record.property(QStringLiteral("AuthMethod")) == QLatin1String("MD5") ? kMd5 : kSha1;
  const QString level = record.property(QStringLiteral("SecurityLevel"));
  entry.securityLevel = level == QLatin1String("Authentication")             ? kAuthNoPriv
                        : level == QLatin1String("AuthenticationEncryption") ? kAuthPriv
                                                                             : kNoAuth;
  return entry;
}

void appendFileStorage(const deviceRes& device, DSMGetFileList_Response::c_OrxResponse& response) {
  // The service reports trouble with a device by errors or by a count of them.
  if (!device.errors().empty() || device.errorCount != 0) return;
  const deviceRes::Table* table = device.table(kFileStorageTable);
  if (!table) return;

  // The first column gives the row count; a table without columns has no rows.
  const qsizetype rows = table->isEmpty() ? 0 : table->first().size() - 1;
  const std::size_t base = response.size_FileStorage();
  for (qsizetype i = 0; i < rows; ++i) appendEmpty(response);

  for (const deviceRes::Column& column : *table) {
    const ColumnMapping* mapping = nullptr;
    for (const ColumnMapping& m : kColumns) {
      if (column.first() == QLatin1String(m.column)) mapping = &m;
    }
    if (!mapping) continue;  // columns of other names are not ours
    // Rows are matched by position; a column longer than the first one adds rows.
    for (qsizetype i = 1; i < column.size(); ++i) {
      const std::size_t at = base + std::size_t(i - 1);
      while (response.size_FileStorage() <= at) appendEmpty(response);
      setField(response.item_FileStorage(at), mapping->field, column[i]);
    }
  }
}

std::unique_ptr<DSMGetFileListResponse> listDeviceFiles(Zarvo::ServiceClient& services,
                                                        quint32 deviceId,
                                                        const DeviceAddressPolicy& devices) {
  auto response = std::make_unique<DSMGetFileListResponse>();
  // The device management service knows identifiers up to 2^31-1 only; a larger one would go
  // out as a negative identifier or none at all and match every device. It names no device.
  if (deviceId > quint32(std::numeric_limits<qint32>::max())) return response;

  CmdDMSGetDeviceListRequest lookup;
  DeviceFilter filter;
  filter.id = qint32(deviceId);
  lookup.devices.append(filter);
  lookup.properties = fileListDeviceProperties();
  const auto found = services.callService<CmdDMSGetDeviceListResponse>(lookup, true);
  response->setResult(found->result(), found->details());
  if (found->result() != 0 || found->devices.isEmpty()) return response;

  // The record's address comes from another service, but it names what the SNMP service will
  // talk to: it passes the same check as an address in a request.
  const DeviceRecord& device = found->devices.first();
  const auto address = devices.connectable(device.property(QStringLiteral("IP")));
  if (!address) {
    response->setResult(0, QStringLiteral("DeviceDosntResponse"));
    return response;
  }
  CmdSNMPGetValuesRequest query;
  deviceReq entry = deviceRequestFor(device);
  entry.address = address->toString().toUtf8();
  entry.addVariable(kFileStorageTable);
  query.append(entry);
  auto values = services.callService<CmdSNMPGetValuesResponse>(query, true);
  response->setResult(values->result(), values->details());
  if (values->result() != 0) return response;

  for (deviceRes* device = values->firstDevice(); device; device = values->nextDevice()) {
    appendFileStorage(*device, *response);
  }
  return response;
}

}  // namespace Zarvo::dsm
