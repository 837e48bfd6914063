#include "plugin/DeviceAddressPolicy.h"

#include "framework/Log.h"

namespace Zarvo::dsm {

std::optional<Zarvo::Ipv4Address> DeviceAddressPolicy::connectable(const QString& text) const {
  const auto address = Zarvo::Ipv4Address::fromDotted(text);
  const char* why = nullptr;
  if (!address) {
    why = "no dotted IPv4 address";
  } else if (!address->isUnicast()) {
    why = "no unicast address";
  } else if (networks_ && !networks_->contains(*address)) {
    why = "outside DeviceNetworks";
  }
  if (!why) return address;
  // The text as it came, quoted: it may hold blanks or be empty.
  ZLOG("warning") << "Device address refused, " << why << ": \"" << text << "\"";
  return std::nullopt;
}

}  // namespace Zarvo::dsm
