// IPv4 addresses and ranges as values: what the host accepts as a client, a management caller or
// a trap source, and what the storage manager accepts as a device address.
//
// Only the strict dotted form counts ("10.1.2.3": four decimal parts 0..255, no leading zeros).
// The short and octal forms the C library also accepts ("127.1", "010.1.1.1") are refused: two
// checks that read one text differently are how an address slips past a list.
//
//   const auto clients = Ipv4RangeList::fromText("127.0.0.0/8, 10.1.2.0/24 10.9.9.9");
//   if (clients.contains(*Ipv4Address::fromHostAddress(peer))) ...
#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace Zarvo {

class Ipv4Address {
 public:
  constexpr explicit Ipv4Address(quint32 value) : value_(value) {}

  // The strict dotted form; blanks around it are ignored. Nothing for any other text.
  static std::optional<Ipv4Address> fromDotted(const QString& text);
  // An IPv4 peer (also one an IPv6 socket reports as v4-mapped); nothing for null or IPv6.
  static std::optional<Ipv4Address> fromHostAddress(const QHostAddress& address);

  quint32 toUInt() const { return value_; }
  QString toString() const;
  QHostAddress toHostAddress() const { return QHostAddress(value_); }

  bool isLoopback() const { return (value_ >> 24) == 127; }
  // An address a device on the network can have. Refused: 0.0.0.0/8 ("this network"; a connect
  // to 0.0.0.0 reaches this machine), multicast 224.0.0.0/4, and the reserved 240.0.0.0/4 with the
  // broadcast address 255.255.255.255.
  bool isUnicast() const;

  friend bool operator==(Ipv4Address a, Ipv4Address b) { return a.value_ == b.value_; }
  friend bool operator!=(Ipv4Address a, Ipv4Address b) { return a.value_ != b.value_; }

 private:
  quint32 value_;
};

// A CIDR range; a single address is a /32.
class Ipv4Range {
 public:
  Ipv4Range(Ipv4Address network, int prefixLength);

  // "a.b.c.d" or "a.b.c.d/n" with n 0..32. Host bits after the prefix are dropped
  // ("10.1.2.3/24" is 10.1.2.0/24).
  static std::optional<Ipv4Range> fromText(const QString& text);

  bool contains(Ipv4Address address) const;
  Ipv4Address network() const { return network_; }
  int prefixLength() const { return prefixLength_; }
  QString toString() const;  // "a.b.c.d/n"

 private:
  Ipv4Address network_;
  int prefixLength_;
};

inline const Ipv4Range kLoopbackRange(Ipv4Address(0x7F000000), 8);

class Ipv4RangeList {
 public:
  Ipv4RangeList() = default;
  Ipv4RangeList(std::initializer_list<Ipv4Range> ranges) : ranges_(ranges) {}

  // Entries separated by blanks or commas. Entries that are no address or range are left out
  // and, when `malformed` is given, appended to it.
  static Ipv4RangeList fromText(const QString& text, QStringList* malformed = nullptr);

  void append(const Ipv4Range& range) { ranges_.push_back(range); }
  bool contains(Ipv4Address address) const;
  // False for null and IPv6 addresses.
  bool contains(const QHostAddress& address) const;
  bool isEmpty() const { return ranges_.empty(); }
  const std::vector<Ipv4Range>& ranges() const { return ranges_; }
  QString toString() const;  // the ranges joined with blanks

 private:
  std::vector<Ipv4Range> ranges_;
};

// The IPv4 address of a URL's host: a dotted literal as it is, "localhost" as 127.0.0.1, any
// other name through the resolver (the first IPv4 address it gives; blocks while it asks).
// Nothing for an empty host, an IPv6 literal or a name without an IPv4 address.
std::optional<Ipv4Address> resolveIpv4(const QString& host);

}  // namespace Zarvo
