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
// alone and returns false for a malformed one. The default goes through `take` too, so it is
// written down once, here.
struct OptionalElement {
  const char* name;
  const char* malformed;  // what the log says a malformed value is
  QString defaultText;
  bool (*take)(const QString& text, Configuration& into);
};

bool takeObjectIdentifier(const QString& text, QString& into) {
  static const QRegularExpression dotted(QStringLiteral("^(\\.[0-9]+)+$"));
  if (!dotted.match(text).hasMatch()) return false;
  into = text;
  return true;
}

// A whole decimal number from `low` to `high`.
bool takeCount(const QString& text, int low, int high, int& into) {
  bool ok = false;
  const int value = text.toInt(&ok, 10);
  if (!ok || value < low || value > high) return false;
  into = value;
  return true;
}

static_assert(kMaxParallelDownloads == 256, "the ParallelDownloads log text names the bound");

const OptionalElement kOptionalElements[] = {
    {"DeviceEnterpriseArc", "no object identifier", kDefaultDeviceEnterpriseArc,
     [](const QString& text, Configuration& c) {
       return takeObjectIdentifier(text, c.deviceEnterpriseArc);
     }},
    // Each download is a thread of the job: the bound keeps a typing error from starting
    // thousands of them.
    {"ParallelDownloads", "no whole number from 1 to 256",
     QString::number(kDefaultParallelDownloads),
     [](const QString& text, Configuration& c) {
       return takeCount(text, 1, kMaxParallelDownloads, c.parallelDownloads);
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
  for (const OptionalElement& e : kOptionalElements) (void)e.take(e.defaultText, *this);
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
    const QStringList texts = elementTexts(doc, e.name);
    if (texts.isEmpty()) continue;
    const QString text = texts.first().trimmed();
    if (!e.take(text, config)) {
      ZLOG("err") << e.name << " is " << e.malformed << ", using " << e.defaultText << ": " << text;
    }
  }
  config.read = true;
  return config;
}

}  // namespace Zarvo
