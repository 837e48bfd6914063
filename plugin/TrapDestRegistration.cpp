#include "plugin/TrapDestRegistration.h"

#include "SNMPSetValues_Request.h"
#include "SNMPSetValues_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/OrxServiceClient.h"  // localAddressFor
#include "framework/ServiceClient.h"
#include "messages/SNMPGetValues.h"

namespace Zarvo::dsm {

namespace {

const QByteArray kTable = "staticTrapDestTable";
const QString kAddrColumn = QStringLiteral("staticTrapDestAddr");
const QString kCommunityColumn = QStringLiteral("staticTrapDestCommunity");
const QString kStatusColumn = QStringLiteral("staticTrapDestStatus");

using SetValuesRequest = Zarvo::LMXRequest<SNMPSetValues_Request::c_OrxRequest>;
using SetValuesResponse = Zarvo::LMXResponse<SNMPSetValues_Response::c_OrxResponse>;

template <class Cell>
void setCell(Cell& cell, int row, const QString& value) {
  (void)cell.set_Index(std::to_string(row));
  (void)cell.set_Value(value.toStdU16String());
}

}  // namespace

TrapRegistrationFactory TrapDestRegistration::factory(Zarvo::ServiceClient& services) {
  return [&services](const QString& address) -> std::unique_ptr<TrapRegistration> {
    return std::make_unique<TrapDestRegistration>(services, address);
  };
}

TrapDestRegistration::TrapDestRegistration(Zarvo::ServiceClient& services,
                                           const QString& deviceAddress)
    : services_(services), deviceAddress_(deviceAddress) {
  const QString local = Zarvo::localAddressFor(deviceAddress_);
  if (local.isEmpty()) {
    ZLOG("err") << "Error during registering trap destination: no local address towards "
                << deviceAddress_.toUtf8();
    return;
  }

  CmdSNMPGetValuesRequest query;
  deviceReq device;
  device.address = deviceAddress_.toUtf8();
  device.ipVersion = 4;
  device.snmpVersion = 1;
  device.readCommunity = "public";
  device.securityLevel = kNoAuth;
  device.authProtocol = kMd5;
  device.addVariable(kTable);
  query.append(device);
  query.priority = 0;
  const auto answer = services_.callService<CmdSNMPGetValuesResponse>(query, true);

  // A failed exchange may still carry device entries; their values are not the device's table.
  const deviceRes* entry = answer && answer->result() == 0 && !answer->devices().empty()
                               ? &answer->devices().front()
                               : nullptr;
  if (!entry || entry->errorCount != 0) {
    ZLOG("err") << "Error during retrieving Trap table.";
    return;
  }
  const deviceRes::Table* table = entry->table(kTable);
  if (!table) return;
  const deviceRes::Column* status = nullptr;
  for (const deviceRes::Column& column : *table) {
    if (!column.isEmpty() && column.first() == kStatusColumn) {
      status = &column;
      break;
    }
  }
  if (!status) return;

  // Entry 0 of a column is its name; rows follow. The rows are as many as the first column has.
  const int rows = table->first().size() - 1;
  if (rows < 1) return;
  int row = 0;
  for (int r = 0; r < rows; ++r) {
    if (status->value(r + 1) == QLatin1String("invalid")) {
      row = r;
      break;
    }
  }

  for (const deviceRes::Column& column : *table) {
    if (column.isEmpty()) continue;
    const QString value = column.value(row + 1);  // "" for a column too short for the row
    if (column.first() == kAddrColumn) {
      savedAddress_ = value;
    } else if (column.first() == kCommunityColumn) {
      savedCommunity_ = value;
    } else if (column.first() == kStatusColumn) {
      savedStatus_ = value;
    }
  }
  row_ = row;
  write(local, QStringLiteral("public"), QStringLiteral("valid"));
}

TrapDestRegistration::~TrapDestRegistration() {
  if (row_ < 0) return;
  write(savedAddress_, savedCommunity_, savedStatus_);
}

void TrapDestRegistration::write(const QString& address, const QString& community,
                                 const QString& status) const {
  SetValuesRequest request;
  (void)request.append_Device();
  auto& device = request.back_Device();
  (void)device.get_RequestParams().enable_IP().set_address(deviceAddress_.toStdU16String());
  auto& variables = device.get_RequestVariables();
  setCell(variables.get_staticTrapDestAddr(), row_, address);
  setCell(variables.get_staticTrapDestCommunity(), row_, community);
  setCell(variables.get_staticTrapDestStatus(), row_, status);
  // The answer tells nothing we could act on: a failed write still leaves the undo to send.
  (void)services_.callService<SetValuesResponse>(request, true);
}

}  // namespace Zarvo::dsm
