#include "framework/Configuration.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <xercesc/dom/DOM.hpp>

#include "framework/Log.h"
#include "framework/Packet.h"

namespace Zarvo {

namespace {

// One optional element. `take` stores a well-formed text and returns true; it leaves the member
// alone and returns false for a malformed one. A non-empty default text goes through `take` too,
// so it is written down once, here; an empty one leaves the member as constructed, and the log
// names the default by `shownDefault`.
struct OptionalElement {
  const char* name;
  const char* malformed;  // what the log says a malformed value is
  QString defaultText;
  const char* shownDefault;  // null: defaultText
  bool repeatable;           // every element counts, not only the first
  bool (*take)(const QString& text, Configuration& into);
};

bool takeObjectIdentifier(const QString& text, QString& into) {
  static const QRegularExpression dotted(QStringLiteral("^(\\.[0-9]+)+$"));
  if (!dotted.match(text).hasMatch()) return false;
  into = text;
  return true;
}

// An address list keeps its well-formed entries; each malformed one is logged and left out.
bool takeAddressList(const char* element, const QString& text, std::optional<Ipv4RangeList>& into) {
  QStringList malformed;
  Ipv4RangeList list = Ipv4RangeList::fromText(text, &malformed);
  for (const QString& entry : malformed) {
    ZLOG("err") << element << " entry is no IPv4 address or range, ignored: " << entry;
  }
  if (list.isEmpty()) return false;
  into = std::move(list);
  return true;
}

// A decimal count from 1 to `max`, digits only.
template <class Int>
bool takePositive(const QString& text, Int& into, qint64 max) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
  if (!digits.match(text).hasMatch()) return false;
  const qint64 value = text.toLongLong();
  if (value < 1 || value > max) return false;
  into = Int(value);
  return true;
}

static_assert(kMaxParallelDownloads == 256, "the ParallelDownloads log text names the bound");

const OptionalElement kOptionalElements[] = {
    {"DeviceEnterpriseArc", "no object identifier", kDefaultDeviceEnterpriseArc, nullptr, false,
     [](const QString& text, Configuration& c) {
       return takeObjectIdentifier(text, c.deviceEnterpriseArc);
     }},
    {"AllowedClients", "no list of IPv4 addresses or ranges", QString(),
     "127.0.0.0/8 and the hosts of DispatcherURL and ServiceURL", false,
     [](const QString& text, Configuration& c) {
       return takeAddressList("AllowedClients", text, c.allowedClients);
     }},
    {"TrapSources", "no list of IPv4 addresses or ranges", QString(),
     "127.0.0.0/8 and the SNMP service's host", false,
     [](const QString& text, Configuration& c) {
       return takeAddressList("TrapSources", text, c.trapSources);
     }},
    {"DeviceNetworks", "no list of IPv4 addresses or ranges", QString(), "any unicast address",
     false,
     [](const QString& text, Configuration& c) {
       return takeAddressList("DeviceNetworks", text, c.deviceNetworks);
     }},
    {"UploadDirectory", "no directory path", QString(),
     "uploads/ beside the executable and the system temporary folder", true,
     [](const QString& text, Configuration& c) {
       if (text.isEmpty()) return false;
       c.uploadDirectories << text;
       return true;
     }},
    {"MaxConnections", "no count from 1 to 1000000", QStringLiteral("1024"), nullptr, false,
     [](const QString& text, Configuration& c) {
       return takePositive(text, c.maxConnections, 1'000'000);
     }},
    {"MaxBodiesInFlight", "no byte count from 1 to 2^40", QStringLiteral("67108864"), nullptr,
     false,
     [](const QString& text, Configuration& c) {
       return takePositive(text, c.maxBodiesInFlight, qint64(1) << 40);
     }},
    {"RegistrationInterval", "no count of seconds from 1 to 86400", QStringLiteral("30"), nullptr,
     false,
     [](const QString& text, Configuration& c) {
       return takePositive(text, c.registrationInterval, 86'400);
     }},
    // Each download is a thread of the job: the bound keeps a typing error from starting
    // thousands of them.
    {"ParallelDownloads", "no whole number from 1 to 256",
     QString::number(kDefaultParallelDownloads), nullptr, false,
     [](const QString& text, Configuration& c) {
       return takePositive(text, c.parallelDownloads, kMaxParallelDownloads);
     }},
};

// The text of every element of that name below the root, in document order.
QStringList elementTexts(xercesc::DOMDocument* doc, const char* name) {
  QStringList texts;
  const QString tag = QString::fromLatin1(name);
  xercesc::DOMNodeList* list = doc->getDocumentElement()->getElementsByTagName(toXml(tag));
  for (XMLSize_t i = 0; list && i < list->getLength(); ++i) {
    texts << fromXml(list->item(i)->getTextContent());
  }
  return texts;
}

}  // namespace

Configuration::Configuration() {
  for (const OptionalElement& e : kOptionalElements) {
    if (!e.defaultText.isEmpty()) (void)e.take(e.defaultText, *this);
  }
}

Configuration Configuration::fromFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    Configuration config;
    config.error = QStringLiteral("cannot open configuration file %1: %2")
                       .arg(QDir::current().absoluteFilePath(path), file.errorString());
    return config;
  }
  Configuration config = fromBytes(file.readAll());
  if (!config.read)
    config.error = QStringLiteral("configuration file %1 is not well-formed: %2")
                       .arg(QDir::current().absoluteFilePath(path), config.error);
  return config;
}

Configuration Configuration::fromBytes(const QByteArray& bytes) {
  Configuration config;
  auto parser = parseDocument(bytes, &config.error);
  if (!parser) return config;
  xercesc::DOMDocument* doc = parser->getDocument();
  const QStringList dispatcher = elementTexts(doc, "DispatcherURL");
  if (dispatcher.size() == 1) config.dispatcherUrl = dispatcher.first();
  const QStringList names = elementTexts(doc, "Name");
  if (!names.isEmpty()) config.name = names.first();
  const QStringList service = elementTexts(doc, "ServiceURL");
  if (service.size() == 1) config.serviceUrl = service.first();
  for (const OptionalElement& e : kOptionalElements) {
    QStringList texts = elementTexts(doc, e.name);
    if (!e.repeatable && !texts.isEmpty()) texts = texts.mid(0, 1);
    for (const QString& raw : texts) {
      const QString text = raw.trimmed();
      if (e.take(text, config)) continue;
      if (e.repeatable) {
        ZLOG("err") << e.name << " is " << e.malformed << ", ignored: " << text;
      } else {
        ZLOG("err") << e.name << " is " << e.malformed << ", using "
                    << (e.shownDefault ? QString::fromUtf8(e.shownDefault) : e.defaultText) << ": "
                    << text;
      }
    }
  }
  config.read = true;
  return config;
}

}  // namespace Zarvo
