#include "plugin/TrapDestRegistration.h"

#include <chrono>

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

// How long a download waits for the background restore of a row an earlier run left borrowed
// on its device: the restorer's attempts at that row, about.
constexpr std::chrono::minutes kLeftOverWait{2};

}  // namespace

TrapRegistrationFactory TrapDestRegistration::factory(Zarvo::ServiceClient& services,
                                                      TrapRowJournal* journal) {
  return [&services, journal](const QString& address) -> std::unique_ptr<TrapRegistration> {
    return std::make_unique<TrapDestRegistration>(services, address, journal);
  };
}

TrapDestRegistration::TrapDestRegistration(Zarvo::ServiceClient& services,
                                           const QString& deviceAddress, TrapRowJournal* journal)
    : services_(services), deviceAddress_(deviceAddress), journal_(journal) {
  const QString local = Zarvo::localAddressFor(deviceAddress_);
  if (local.isEmpty()) {
    ZLOG("err") << "Error during registering trap destination: no local address towards "
                << deviceAddress_.toUtf8();
    return;
  }
  // A row an earlier run left borrowed would be read below as the device's own, and saved and
  // written back as such: it is given back first.
  if (journal_) (void)journal_->settle(services_, deviceAddress_, QDeadlineTimer(kLeftOverWait));

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
  // On disk before the row changes: whatever ends this process from here on, the next start
  // finds the old values.
  if (journal_) {
    journalId_ = journal_->add({deviceAddress_, row_, savedAddress_, savedCommunity_, savedStatus_});
  }
  // The answer is not looked at: a failed write still leaves the undo to send.
  (void)restoreTrapRow(services_, {deviceAddress_, row_, local, QStringLiteral("public"),
                                   QStringLiteral("valid")});
}

TrapDestRegistration::~TrapDestRegistration() {
  if (row_ < 0) return;
  const bool restored = restoreTrapRow(
      services_, {deviceAddress_, row_, savedAddress_, savedCommunity_, savedStatus_});
  // A row not given back stays in the journal: the next start gives it back.
  if (restored && journalId_ != 0) journal_->remove(journalId_);
}

}  // namespace Zarvo::dsm
