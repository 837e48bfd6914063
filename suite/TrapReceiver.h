// The SNMP service's trap port: SNMPv1 traps and SNMPv2c notifications arrive on UDP (162 by
// default), are decoded by net-snmp on the SnmpEngine's loop, and go on as "SNMPTrap" (through
// the TrapSink, the suite's TrapForwarder) when they come from a device the device management
// service knows. Everything else is counted and logged, never forwarded: traps of strangers,
// datagrams that do not decode, and what is no trap (SNMPv3, informs, requests).
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "suite/SimDevice.h"
#include "suite/SnmpEngine.h"

namespace Zarvo::suite::snmp {

enum class TrapVerdict {
  Trap,         // a v1 trap or a v2c notification: `trap` holds it
  Malformed,    // not an SNMP message the library can decode
  Unsupported,  // a well-formed message that is no unconfirmed v1/v2c notification
};

struct DecodedTrap {
  TrapVerdict verdict = TrapVerdict::Malformed;
  // hostIp: SNMPv1's agent address when it is set, else snmpTrapAddress.0 (v2c) when present,
  // else the datagram's source. Enterprise, generic and specific numbers as SNMPv1 has them; a
  // v2c notification is mapped the standard way (generic 0..5 for the six standard traps, else
  // 6 with the identifier's last part as the specific number). Variables as (dotted OID, text).
  DeviceTrap trap;
  QString why;  // what made it Malformed or Unsupported
};

// Decodes one datagram that came from `source` (dotted IPv4). Any bytes at all: a datagram that
// is not a trap is reported as such, never as a crash. Needs initialiseNetSnmp() first and, like
// every use of the library, one thread at a time (see NetSnmp.h).
DecodedTrap decodeTrap(const QByteArray& datagram, const QString& source);

class TrapReceiver {
 public:
  struct Counters {
    quint64 received = 0;
    quint64 forwarded = 0;
    quint64 malformed = 0;
    quint64 unsupported = 0;
    quint64 unknownSource = 0;
  };
  // `isDevice` says whether an address is a device of the device management service; asked on
  // the loop. `sink` takes the traps to forward and outlives the receiver.
  TrapReceiver(SnmpEngine& engine, std::function<bool(const QString&)> isDevice, TrapSink& sink);
  ~TrapReceiver();  // stop()
  TrapReceiver(const TrapReceiver&) = delete;
  TrapReceiver& operator=(const TrapReceiver&) = delete;

  // Binds `address`:`port` (port 0: chosen by the system). False with `error` when it cannot.
  bool start(const QString& address, quint16 port, QString* error);
  void stop();
  quint16 port() const { return port_.load(); }
  Counters counters() const;

 private:
  struct Loop;
  SnmpEngine& engine_;
  std::function<bool(const QString&)> isDevice_;
  TrapSink& sink_;
  std::shared_ptr<Loop> loop_;
  std::atomic<quint16> port_{0};
  mutable std::mutex countersMutex_;
  Counters counters_;
};

}  // namespace Zarvo::suite::snmp
