// The SNMP side of one simulated printer: a net-snmp session bound to the printer's own address
// and SNMP port, authoritative for SNMPv3, answering on the SnmpEngine's loop. It serves the
// printer's objects (PrinterMib.h), takes SETs on its trap-destination rows, and sends the
// printer's traps as SNMPv1 traps from its own address.
//
// Who may ask: SNMPv1/v2c with the printer's community (reads) or write community (reads and
// writes), SNMPv3 with the printer's user at its security level or above. Anything else gets no
// answer at all, as from a real printer; so does everything while the printer is muted.
#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "suite/DeviceState.h"
#include "suite/FleetConfig.h"
#include "suite/PrinterMib.h"
#include "suite/SnmpEngine.h"

namespace Zarvo::suite::snmp {

// What every simulated printer of one fleet shares: the loop they answer on, where their
// objects are, the privacy protocol of SNMPv3 users, and the port traps go to when a row of the
// trap-destination table names none.
struct PrinterSnmpContext {
  SnmpEngine& engine;
  PrinterLayout layout;
  PrivacyProtocol privacy = PrivacyProtocol::Aes;
  std::atomic<quint16> trapPort{162};
};

// A device's SNMPv3 user as the configuration gives it: "Authentication" is authNoPriv,
// "AuthenticationEncryption" authPriv, anything else noAuthNoPriv; "MD5" authenticates by MD5,
// anything else by SHA-1 (as the device management service's properties are read).
UsmCredentials usmCredentialsOf(const DeviceSetup& device, PrivacyProtocol privacy);

class PrinterAgent {
 public:
  // `state` and `muted` outlive the agent. `muted` is asked on the loop for every datagram.
  PrinterAgent(PrinterSnmpContext& context, DeviceSetup setup, DeviceState& state,
               std::function<bool()> muted);
  ~PrinterAgent();  // stop()
  PrinterAgent(const PrinterAgent&) = delete;
  PrinterAgent& operator=(const PrinterAgent&) = delete;

  // Binds the printer's address and SNMP port (0: one chosen by the system). False with `error`
  // set when the port cannot be bound or the printer's SNMPv3 keys cannot be made.
  bool start(QString* error);
  void stop();
  quint16 port() const { return port_.load(); }

  // Sends one SNMPv1 trap from the printer's address to `address`:`port` (any thread; queued).
  void sendTrap(const QString& address, quint16 port, const QByteArray& community,
                const QList<VarBind>& variables);

  // Requests answered and datagrams left unanswered (wrong community or user, muted, undecodable
  // ones are counted by the library instead), for tests and the fleet's listing.
  quint64 answered() const { return answered_.load(); }
  quint64 refused() const { return refused_.load(); }

 private:
  struct Loop;  // the loop-side state: session, cached view
  PrinterSnmpContext& context_;
  const DeviceSetup setup_;
  DeviceState& state_;
  const std::function<bool()> muted_;
  std::shared_ptr<Loop> loop_;
  std::atomic<quint16> port_{0};
  std::atomic<quint64> answered_{0};
  std::atomic<quint64> refused_{0};
};

}  // namespace Zarvo::suite::snmp
