// The devices' download-status trap, as the suite's SNMP service forwards it ("SNMPTrap"): which
// traps are one, what they report, and where the identifiers come from.
//
// The identifiers are the device maker's private-enterprise prefix (the configuration's
// DeviceEnterpriseArc) followed by fixed suffixes, compared as whole strings.
#pragma once

#include <QString>
#include <optional>

#include "SNMPTrap_Request.h"
#include "framework/Configuration.h"

namespace Zarvo::dsm {

// The trap identifiers behind one prefix.
struct DeviceTrapIds {
  QString enterprise;  // of the download-status trap
  QString statusOid;   // of the variable carrying the status text

  static DeviceTrapIds forArc(const QString& arc);
};

// What a download-status trap reports for the download to `address`.
struct DownloadStatus {
  QString address;
  bool ok = false;  // exactly when the text is "completed"
  QString text;
};

// The status a trap reports: the first status variable that is not "processing". Nothing for any
// other trap, for one without a status variable, and for "processing" only.
[[nodiscard]] std::optional<DownloadStatus> downloadStatusOf(
    const SNMPTrap_Request::c_OrxRequest& trap, const DeviceTrapIds& ids);

}  // namespace Zarvo::dsm
