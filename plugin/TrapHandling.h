// The devices' download-status trap, as the suite's SNMP service forwards it ("SNMPTrap"): which
// traps are one, what they report, and where the identifiers come from.
//
// The identifiers are the device maker's private-enterprise prefix (DeviceEnterpriseArc) followed
// by fixed suffixes, compared as whole strings. The prefix is ".1.3.6.1.4.1.32473" unless the
// configuration file names another in an element "DeviceEnterpriseArc".
#pragma once

#include <QString>
#include <optional>

#include "SNMPTrap_Request.h"

namespace Zarvo::dsm {

inline const QString kDefaultDeviceEnterpriseArc = QStringLiteral(".1.3.6.1.4.1.32473");

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

// The prefix a configuration file names in its first "DeviceEnterpriseArc" element, or the
// default when the file is missing or unreadable, has no such element, or names no identifier in
// dotted form with a leading dot (which is logged to "err").
[[nodiscard]] QString deviceEnterpriseArcFrom(const QString& configPath);

}  // namespace Zarvo::dsm
