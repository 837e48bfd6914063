#include "framework/NetworkAddress.h"

#include <QHostInfo>
#include <QRegularExpression>

namespace Zarvo {

namespace {

// A decimal number of at most `maxDigits` digits without a leading zero ("0" itself is fine).
std::optional<uint> strictDecimal(QStringView text, int maxDigits) {
  if (text.isEmpty() || text.size() > maxDigits) return std::nullopt;
  if (text.size() > 1 && text.front() == QLatin1Char('0')) return std::nullopt;
  uint value = 0;
  for (const QChar c : text) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    value = value * 10 + uint(c.unicode() - '0');
  }
  return value;
}

quint32 maskOf(int prefixLength) {
  return prefixLength == 0 ? 0 : ~quint32(0) << (32 - prefixLength);
}

}  // namespace

std::optional<Ipv4Address> Ipv4Address::fromDotted(const QString& text) {
  const QString trimmed = text.trimmed();
  const QStringView view(trimmed);
  quint32 value = 0;
  qsizetype from = 0;
  for (int part = 0; part < 4; ++part) {
    qsizetype dot = view.indexOf(QLatin1Char('.'), from);
    if (part == 3) {
      if (dot >= 0) return std::nullopt;
      dot = view.size();
    } else if (dot < 0) {
      return std::nullopt;
    }
    const auto number = strictDecimal(view.mid(from, dot - from), 3);
    if (!number || *number > 255) return std::nullopt;
    value = (value << 8) | *number;
    from = dot + 1;
  }
  return Ipv4Address(value);
}

std::optional<Ipv4Address> Ipv4Address::fromHostAddress(const QHostAddress& address) {
  bool ok = false;
  const quint32 value = address.toIPv4Address(&ok);
  if (!ok) return std::nullopt;
  return Ipv4Address(value);
}

QString Ipv4Address::toString() const {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(value_ >> 24)
      .arg((value_ >> 16) & 0xFF)
      .arg((value_ >> 8) & 0xFF)
      .arg(value_ & 0xFF);
}

bool Ipv4Address::isUnicast() const {
  const quint32 top = value_ >> 24;
  return top != 0 && top < 224;
}

Ipv4Range::Ipv4Range(Ipv4Address network, int prefixLength)
    : network_(network.toUInt() & maskOf(prefixLength)), prefixLength_(prefixLength) {}

std::optional<Ipv4Range> Ipv4Range::fromText(const QString& text) {
  const QString trimmed = text.trimmed();
  const qsizetype slash = trimmed.indexOf(QLatin1Char('/'));
  const auto address = Ipv4Address::fromDotted(slash < 0 ? trimmed : trimmed.left(slash));
  if (!address) return std::nullopt;
  if (slash < 0) return Ipv4Range(*address, 32);
  const auto prefix = strictDecimal(QStringView(trimmed).mid(slash + 1), 2);
  if (!prefix || *prefix > 32) return std::nullopt;
  return Ipv4Range(*address, int(*prefix));
}

bool Ipv4Range::contains(Ipv4Address address) const {
  return (address.toUInt() & maskOf(prefixLength_)) == network_.toUInt();
}

QString Ipv4Range::toString() const {
  return network_.toString() + QLatin1Char('/') + QString::number(prefixLength_);
}

Ipv4RangeList Ipv4RangeList::fromText(const QString& text, QStringList* malformed) {
  static const QRegularExpression separators(QStringLiteral("[\\s,]+"));
  Ipv4RangeList list;
  for (const QString& entry : text.split(separators, Qt::SkipEmptyParts)) {
    if (const auto range = Ipv4Range::fromText(entry)) {
      list.append(*range);
    } else if (malformed) {
      malformed->append(entry);
    }
  }
  return list;
}

bool Ipv4RangeList::contains(Ipv4Address address) const {
  for (const Ipv4Range& range : ranges_) {
    if (range.contains(address)) return true;
  }
  return false;
}

bool Ipv4RangeList::contains(const QHostAddress& address) const {
  const auto v4 = Ipv4Address::fromHostAddress(address);
  return v4 && contains(*v4);
}

QString Ipv4RangeList::toString() const {
  QStringList texts;
  for (const Ipv4Range& range : ranges_) texts << range.toString();
  return texts.join(QLatin1Char(' '));
}

std::optional<Ipv4Address> resolveIpv4(const QString& host) {
  if (host.isEmpty()) return std::nullopt;
  if (const auto literal = Ipv4Address::fromDotted(host)) return literal;
  // Not left to the resolver: it may give ::1 first, and the host listens on IPv4 only.
  if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
    return Ipv4Address(0x7F000001);
  }
  if (host.contains(QLatin1Char(':'))) return std::nullopt;  // an IPv6 literal
  const QHostInfo info = QHostInfo::fromName(host);
  for (const QHostAddress& address : info.addresses()) {
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
      return Ipv4Address::fromHostAddress(address);
    }
  }
  return std::nullopt;
}

}  // namespace Zarvo
