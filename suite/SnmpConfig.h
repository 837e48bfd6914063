// The SNMP service's part of the suite's configuration file: where traps are received, how long
// a request to a device may take, where the MIB is, and table maps for other makers' printers.
// One optional element per setting, read from anywhere in the file, like the host's own
// configuration: an element that is absent keeps its default; one whose text does not parse is
// reported on "err" with its element name and keeps its default too.
//
//   <TrapPort>162</TrapPort>             UDP port of the trap receiver (0: chosen by the system)
//   <TrapAddress>0.0.0.0</TrapAddress>   its address (default: ServiceURL's host, else 0.0.0.0)
//   <SnmpTimeoutMs>1000</SnmpTimeoutMs>  per request, before each retry
//   <SnmpRetries>2</SnmpRetries>
//   <SnmpWalkRows>100000</SnmpWalkRows>  a walk stops with an error past this many rows
//   <SnmpWalkSeconds>60</SnmpWalkSeconds>  or after this long
//   <SnmpBulkRows>25</SnmpBulkRows>      rows asked per GETBULK
//   <SnmpPrivacy>AES</SnmpPrivacy>       SNMPv3 privacy protocol: AES (AES-128) or DES
//   <MibDirectory>mibs</MibDirectory>    where ZARVO-STORAGE-MIB.txt is (default: beside the
//                                        executable); relative to the configuration's directory
//   <TableMap name="scmFileStorageTable" oid=".1.3.6.1.4.1.99999.4.2">
//     <Column name="scmFileStorageFileName" sub="3"/>
//     <Column name="scmFileStorageFileType" sub="5" type="integer"
//             values="psFont=1,psForm=2,pclFont=3,pclMacro=4"/>
//   </TableMap>
//
// A table map answers a table name the storage manager uses with another table of the device:
// `oid` is that table's identifier (its entries are oid.1), each column names the storage
// manager's column, its sub-identifier in the entry, its syntax (string by default; integer,
// address, counter, gauge, timeticks, oid) and, for an enumeration, the labels of its values.
// Columns of a map may be written when it names the trap-destination table.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>

#include "suite/NetSnmp.h"

namespace Zarvo::suite {

struct SnmpSetup {
  QString trapAddress;  // empty: the default (see above)
  quint16 trapPort = 162;
  std::chrono::milliseconds timeout{1000};
  int retries = 2;
  int walkRows = 100'000;
  std::chrono::seconds walkTime{60};
  int bulkRows = 25;
  snmp::PrivacyProtocol privacy = snmp::PrivacyProtocol::Aes;
  QString mibDirectory;  // empty: "mibs" beside the executable
  QList<snmp::MibTable> tableMaps;
};

// Reads the elements above from the configuration `xml`, logging every malformed one on "err".
// A document that is not XML at all gives the defaults (the fleet's reading reports it).
SnmpSetup parseSnmpSetup(const QByteArray& xml);

}  // namespace Zarvo::suite
