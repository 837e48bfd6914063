// The simulated printer fleet as one configuration: devices on loopback addresses with their
// names, models, SNMP settings, stored files, trap-destination rows and rehearsed faults, and the
// directory that mirrors what each device stores. Read from the "Fleet" element of the suite's
// configuration file; a configuration without one gets the embedded default of three devices.
//
// Everything is given in attributes, so the suite's own elements ("Name", "ServiceURL",
// "DispatcherURL") can sit in the same file without being mistaken for a device's.
//
//   <Fleet filesDir="fleet-files" confirmDelayMs="20" snmp="udp" snmpPort="161" count="250">
//     <Device id="1" address="127.0.0.2" name="Front desk" model="ZX-410" snmpVersion="1"
//             community="public" writeCommunity="private">
//       <File name="Courier" kind="pclFont" id="1" persistence="permanent" size="2048"/>
//       <File name="inv.ps" kind="psForm" persistence="nonvolatile" text="%!PS ..."/>
//       <TrapDest addr="" community="public" status="invalid" port="162"/>
//       <Fault kind="slow" delayMs="2000"/>
//     </Device>
//     <Device id="40" address="192.0.2.40" simulated="false" snmpVersion="2"
//             community="public" writeCommunity="private"/>
//   </Fleet>
//
// "count" fills the fleet up to that many devices with plain printers on the addresses after
// the last one given (or from "firstAddress"), so 250 printers need no 250 lines. A device with
// simulated="false" is a real printer: the suite simulates nothing for it, only its device
// management and SNMP services know it (its address, SNMP port and credentials).
//
// Each simulated printer answers SNMP on its own address at "snmpPort" (161; 0 lets the system
// choose, for unprivileged runs) and sends its traps as SNMPv1 traps over UDP; snmp="memory"
// keeps both inside the process instead, for tests that need no sockets.
//
// The fleet only ever binds and sends to 127.0.0.0/8: a simulated device's address outside it is
// refused here.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace Zarvo::suite {

// What a device does wrong, to rehearse failures. Faults act on the print port and the CGI
// pages, except Mute, which acts on SNMP alone.
enum class FaultKind {
  None,
  Slow,    // waits delayMs before reading a download, before each trap and before each answer
  Silent,  // takes connections and bytes, never confirms a download nor answers a page
  Refuse,  // closes its ports: connections are refused
  Drop,    // cuts the connection in the middle of a download or of a page's answer
  Fail,    // refuses what it gets: the download trap carries `status`, pages answer 500
  Mute,    // stops answering SNMP (requests go unanswered); print port and pages as usual
};

struct Fault {
  FaultKind kind = FaultKind::None;
  int delayMs = 2000;                           // Slow
  QString status = QStringLiteral("DiskFull");  // Fail: the download's failure status
};

// Text form used in configurations and by the suite's fault command.
QString faultName(FaultKind kind);
std::optional<FaultKind> faultFromName(const QString& name);

struct StoredFileSetup {
  QString name;
  QString kind;         // "psFont", "psForm", "pclFont", "pclMacro"
  quint32 id = 0;       // font or macro ID
  QString persistence;  // "other", "unknown", "volatile", "nonvolatile", "permanent"
  QByteArray content;
};

struct TrapDestSetup {
  QString addr;
  QString community = QStringLiteral("public");
  QString status = QStringLiteral("invalid");  // "valid" or "invalid"
  quint16 port = 0;                            // where the traps go; 0: the suite's trap port
};

struct DeviceSetup {
  quint32 id = 0;   // identifier in the device management service
  QString address;  // dotted IPv4 in 127.0.0.0/8
  QString name;
  QString model;
  int snmpVersion = 1;
  QString community = QStringLiteral("public");        // read community (versions 1 and 2)
  QString writeCommunity = QStringLiteral("private");  // for SETs (versions 1 and 2)
  // Version 3 credentials, as the device management service reports them.
  QString userName, authPass, authMethod, securityLevel, privacyPass, contextName, contextId;
  quint16 printPort = 9100;
  quint16 webPort = 80;
  quint16 snmpPort = 161;  // 0: chosen by the system (simulated devices only)
  bool simulated = true;   // false: a real printer, known to the services only
  QList<StoredFileSetup> files;
  QList<TrapDestSetup> trapDests;  // four free rows when none are given
  Fault fault;
};

enum class SnmpMode {
  Udp,     // agents on UDP, traps over UDP: the default, and what real printers do
  Memory,  // the SNMP service reads the tables and takes the traps inside the process
};

struct FleetSetup {
  QString filesDir = QStringLiteral("fleet-files");  // relative to the configuration's directory
  QString enterpriseArc = QStringLiteral(".1.3.6.1.4.1.32473");
  int confirmDelayMs = 20;  // between the end of a download and its final trap
  SnmpMode snmp = SnmpMode::Udp;
  quint16 snmpPort = 161;       // every simulated device's, unless the device gives its own
  int connectionThreads = 256;  // most print-port and page connections served at once
  QList<DeviceSetup> devices;   // simulated and real ones, in configuration order

  static constexpr int kMaxDevices = 4096;
};

// Reads the "Fleet" element found anywhere in `xml`. Without one, `*fleet` is the default fleet.
// Returns false with `error` set when the document or the fleet is not sound (malformed XML, a
// simulated device outside 127.0.0.0/8, two devices on one address and port, an unknown kind,
// one SNMPv3 user name with two sets of keys: the simulated printers share the process's one
// SNMP engine, so a user means the same keys on all of them).
bool parseFleet(const QByteArray& xml, FleetSetup* fleet, QString* error);

// The embedded default: three devices on 127.0.0.2 to 127.0.0.4 with a few stored files.
QByteArray defaultFleetXml();

// True for dotted IPv4 text inside 127.0.0.0/8.
bool isLoopbackAddress(const QString& address);

// "pclFont" and friends to the numbers the CGI pages use (1 psFont, 2 psForm, 3 pclFont,
// 4 pclMacro), and back ("" for an unknown number).
int kindCode(const QString& kind);
QString kindFromCode(int code);

}  // namespace Zarvo::suite
