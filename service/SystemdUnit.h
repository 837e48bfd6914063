// The systemd unit of an installed service: written by "-install" and, through the same code,
// by the build for the Debian package, so both install the service the same way.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "service/ServiceManager.h"

namespace Zarvo {

// How long systemd lets an orderly stop run before it kills the process. A stop lets each
// download in progress finish (up to 300 s for the device's confirmation, plus 30 s each to
// connect and close) and then puts back the device's trap destination through the SNMP service
// (calls with retries); killing the process sooner would leave devices pointing their traps at
// a host that no longer listens.
inline constexpr int kStopTimeoutSeconds = 1200;

// Who an installed service runs as, and where systemd gives it its folders: the configuration
// read-only in /etc/<kServiceFolder>, the store and state writable in /var/lib/<kServiceFolder>
// (the program finds both through $CONFIGURATION_DIRECTORY and $STATE_DIRECTORY).
inline const QString kServiceUser = QStringLiteral("zarvo");
inline const QString kServiceFolder = QStringLiteral("zarvo");

// The sysusers.d line that makes kServiceUser: a system user and group of its own, with the
// state folder as its home and no login.
QString serviceUserLine();

// What differs between the programs' units; the sandbox is the same for all.
struct UnitOptions {
  QStringList arguments;        // after the executable on the ExecStart line
  bool notifiesReady = true;    // Type=notify (the service shell), else Type=exec
  bool bindsLowPorts = false;   // may bind ports below 1024 (and has no other privilege)
  QString documentation;        // Documentation= value; default "man:<name>(8)"
};

// True when `name` can be a systemd unit name ("<name>.service", at most 255 bytes, made of
// ASCII letters, digits and ":-_.\@"). The shell's names are checked before any unit is written.
bool isValidUnitName(const QString& name);

// "<name>.service".
QString unitFileName(const QString& name);

// The unit text for `settings`, headed by the comment `origin` (who wrote it, who removes it).
// Returns an empty array when the path cannot be written into a unit (it holds a line break or
// another control character); such characters in the description become spaces.
QByteArray systemdUnit(
    const ServiceSettings& settings,
    const QString& origin =
        QStringLiteral("Written by \"-install\" of the program below; \"-uninstall\" removes it."),
    const UnitOptions& options = UnitOptions());

// True when `path` lies where the unit's ProtectHome=yes hides it from the service.
bool isHiddenFromServices(const QString& path);

// The program of the first ExecStart= line of a unit text, unquoted and unescaped; empty when
// there is none.
QString unitExecutable(const QByteArray& unitText);

// The program of a "systemctl show -p ExecStart --value" answer ("{ path=/x ; argv[]=... }").
QString shownExecutable(const QByteArray& showOutput);

}  // namespace Zarvo
