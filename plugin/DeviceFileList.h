// The device file list ("DSMGetFileList"): the plug-in does not ask the device itself. It looks
// the device up in the device management service (address and SNMP credentials), asks the SNMP
// service for the device's "scmFileStorageTable", and copies the table's rows into the answer.
// Both services' result and details are passed on; no text of its own is produced.
#pragma once

#include <QStringList>
#include <QtGlobal>
#include <memory>

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

// The whole command for one device identifier, both exchanges through `services`. A device
// whose recorded address `devices` refuses is not asked about: the answer lists nothing, with
// Details "DeviceDosntResponse".
std::unique_ptr<DSMGetFileListResponse> listDeviceFiles(
    Zarvo::ServiceClient& services, quint32 deviceId,
    const DeviceAddressPolicy& devices = DeviceAddressPolicy());

}  // namespace Zarvo::dsm
