// Any datagram at all, as the suite's trap port receives it from the network, through the trap
// decoder (net-snmp's parse and the mapping to "SNMPTrap"). The decoder must give a verdict for
// every input: a trap, a malformed datagram or a message that is no trap.
#include <cstddef>
#include <cstdint>

#include "suite/NetSnmp.h"
#include "suite/TrapReceiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    Zarvo::suite::snmp::initialiseNetSnmp();
    return true;
  }();
  (void)ready;
  const QByteArray datagram(reinterpret_cast<const char*>(data), qsizetype(size));
  const auto decoded = Zarvo::suite::snmp::decodeTrap(datagram, QStringLiteral("127.0.0.9"));
  // Every trap handed on names a device and an enterprise.
  if (decoded.verdict == Zarvo::suite::snmp::TrapVerdict::Trap &&
      (decoded.trap.hostIp.isEmpty() || decoded.trap.enterprise.isEmpty())) {
    __builtin_trap();
  }
  return 0;
}
