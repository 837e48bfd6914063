// Which device addresses the storage manager ever connects to, or asks the SNMP service about.
// Requests name devices by text (DeviceIP, Source, each destination, the address the device
// management service holds); only a dotted IPv4 unicast address counts. Host names, ports, user
// parts and paths are refused rather than resolved or parsed around, so a request cannot point a
// download, a page request or a trap registration at anything but one device address; the
// optional DeviceNetworks narrows that to the site's printer networks.
//
// Whoever is refused a device reports it as a device that does not respond
// ("DeviceDosntResponse"): nothing was sent.
#pragma once

#include <QString>
#include <optional>

#include "framework/NetworkAddress.h"

namespace Zarvo::dsm {

class DeviceAddressPolicy {
 public:
  DeviceAddressPolicy() = default;  // any unicast address
  explicit DeviceAddressPolicy(std::optional<Ipv4RangeList> networks)
      : networks_(std::move(networks)) {}

  // The address to connect to for the device named `text`, or nothing (with a "warning" line
  // saying why) when it is not a dotted IPv4 unicast address inside DeviceNetworks.
  [[nodiscard]] std::optional<Zarvo::Ipv4Address> connectable(const QString& text) const;

 private:
  std::optional<Ipv4RangeList> networks_;  // absent: any unicast address
};

}  // namespace Zarvo::dsm
