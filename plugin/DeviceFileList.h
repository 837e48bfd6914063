// The device file list ("DSMGetFileList"): the plug-in does not ask the device itself. It looks
// the device up in the device management service (address and SNMP credentials), asks the SNMP
// service for the device's "scmFileStorageTable", and copies the table's rows into the answer.
// Both services' result and details are passed on; no text of its own is produced.
//
// The SNMP service's answer for a large table is read as a stream straight into the answer's
// rows, so the storage manager holds the answer's bytes and its own rows, never a tree of it.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DSMGetFileList_Response.h"
#include "framework/LMXPacket.h"
#include "framework/ServiceClient.h"
#include "messages/DMSGetDeviceList.h"
#include "messages/SNMPGetValues.h"
#include "plugin/DeviceAddressPolicy.h"

namespace Zarvo::dsm {

using DSMGetFileListResponse = Zarvo::LMXResponse<DSMGetFileList_Response::c_OrxResponse>;

// The device properties the file list asks for, in the order they are asked.
QStringList fileListDeviceProperties();

// The SNMP parameters of a device record (without variables).
deviceReq deviceRequestFor(const DeviceRecord& record);

// Appends one FileStorage per row of the device's "scmFileStorageTable", in row order. A device
// entry with errors, or without the table, adds nothing.
void appendFileStorage(const deviceRes& device, DSMGetFileList_Response::c_OrxResponse& response);

// The rows of the file list as they are read from the SNMP service's answer, held compactly
// (the answer's bytes are held meanwhile): a row is its three numbers and three places in one
// buffer of every row's texts.
class FileStorageRows {
 public:
  // The FileStorage fields, each filled by one column of the table.
  enum class Field { kIndex, kName, kSize, kType, kPersistence, kId };

  std::size_t size() const { return rows_.size(); }
  // Adds empty rows (0 and "") up to `count`.
  void growTo(std::size_t count);
  // Sets a field of row `row` (from 0) by the column's conversion.
  void set(std::size_t row, Field field, QStringView text);
  void append(const FileStorageRows& other);
  void clear();
  // Appends one FileStorage per row, every field present.
  void appendTo(DSMGetFileList_Response::c_OrxResponse& response) const;

 private:
  struct Text {
    std::uint32_t at = 0, size = 0;  // in texts_
  };
  struct Row {
    std::uint32_t index = 0, size = 0, id = 0;
    Text name, type, persistence;
  };
  Text keep(QStringView text);
  QStringView text(Text t) const { return QStringView(texts_.data() + t.at, qsizetype(t.size)); }

  std::vector<Row> rows_;
  std::u16string texts_;
};

// The result and details an answer carries.
struct AnswerResult {
  int result = 0;
  QString details;
};

// Reads the SNMP service's answer (the bytes of a "SNMPGetValues" response) as it streams past,
// without building its tree: appends the rows of every device's "scmFileStorageTable" to `rows`
// and returns the answer's result and details. The rows, result and details are exactly what
// reading the bytes as a CmdSNMPGetValuesResponse and then calling appendFileStorage for each of
// its devices gives; nothing else of the answer is kept. Bytes that are no well-formed
// "OrxResponse" document throw WrongPacketFormat with the same message (rows appended before
// the fault then stay: the caller drops them).
AnswerResult readFileStorageAnswer(const QByteArray& answer, FileStorageRows& rows);

// The whole command for one device identifier, both exchanges through `services`. A device
// whose recorded address `devices` refuses is not asked about: the answer lists nothing, with
// Details "DeviceDosntResponse".
std::unique_ptr<DSMGetFileListResponse> listDeviceFiles(
    Zarvo::ServiceClient& services, quint32 deviceId,
    const DeviceAddressPolicy& devices = DeviceAddressPolicy());

}  // namespace Zarvo::dsm
