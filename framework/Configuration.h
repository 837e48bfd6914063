// The host's configuration file, read once at start: the host's own elements (where the naming
// service is, the name, where to listen) and the optional elements of the services it hosts.
// Services take what they need from the one value the application read; none reads the file.
//
// An optional element that is absent keeps its default. One whose text does not parse is logged
// on "err" with its element name ("<Element> is <what it is not>, using <default>: <text>") and
// keeps its default too. In an address list only the malformed entries are logged and left out
// ("<Element> entry is <what it is not>, ignored: <entry>"); a list left with no entry at all
// counts as malformed. A new optional element is a member below and a row in the table of
// Configuration.cpp (element name, parser, default).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

#include "framework/NetworkAddress.h"
#include <QtGlobal>

namespace Zarvo {

// The device maker's private-enterprise prefix the devices' trap identifiers hang under.
inline const QString kDefaultDeviceEnterpriseArc = QStringLiteral(".1.3.6.1.4.1.32473");
// How many destinations of one file the storage manager serves at once; 1 serves them one after
// another.
inline constexpr int kDefaultParallelDownloads = 16;
inline constexpr int kMaxParallelDownloads = 256;

struct Configuration {
  // Every optional element at its default: a host without a file, or one that cannot read it.
  Configuration();

  // The file at `path` (relative to the current directory); see fromBytes. `read` is false and
  // `error` names the file and the reason when it is missing or not well-formed.
  static Configuration fromFile(const QString& path);
  // Any root element; elements count at any depth below it.
  static Configuration fromBytes(const QByteArray& bytes);

  QString dispatcherUrl;  // taken only when exactly one element has the name
  QString name;           // the first element of the name
  QString serviceUrl;     // taken only when exactly one element has the name

  // The storage manager's: dotted with a leading dot; its first element counts.
  QString deviceEnterpriseArc;
  // The storage manager's: 1 to kMaxParallelDownloads.
  int parallelDownloads = kDefaultParallelDownloads;

  // Address lists (IPv4 addresses and CIDR ranges separated by blanks or commas); the first
  // element of each counts. Absent means the default its user computes at start.
  std::optional<Ipv4RangeList> allowedClients;  // whom the host serves at all
  std::optional<Ipv4RangeList> trapSources;     // who may send "SNMPTrap" besides this machine
  std::optional<Ipv4RangeList> deviceNetworks;  // the only device addresses ever connected to
  // Where "LargeFile" paths may point: every UploadDirectory element, in order; empty means the
  // defaults.
  QStringList uploadDirectories;
  // The host's HTTP connections in progress at once (positive).
  int maxConnections = 0;
  // Bytes of request bodies the host holds at once (positive).
  qint64 maxBodiesInFlight = 0;
  // Seconds between two checks that the naming service still names this process (positive).
  int registrationInterval = 0;

  bool read = false;  // the file existed and was well-formed
  QString error;      // why it could not be read
};

}  // namespace Zarvo
