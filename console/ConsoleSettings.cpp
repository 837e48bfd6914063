#include "console/ConsoleSettings.h"

#include <QDir>
#include <QFile>
#include <xercesc/dom/DOM.hpp>

#include "framework/Configuration.h"
#include "framework/Packet.h"

namespace Zarvo::console {

namespace {

// The console's own element, at any depth as the framework reads its elements: the first one
// counts, blanks around it do not.
QString firstElementText(const QByteArray& bytes, const QString& name) {
  QString error;
  const auto parser = Zarvo::parseDocument(bytes, &error);
  if (!parser) return QString();
  xercesc::DOMNodeList* list =
      parser->getDocument()->getDocumentElement()->getElementsByTagName(Zarvo::toXml(name));
  if (!list || list->getLength() == 0) return QString();
  return Zarvo::fromXml(list->item(0)->getTextContent()).trimmed();
}

}  // namespace

ConsoleSettings ConsoleSettings::fromFile(const QString& path, const QString& executableDir) {
  QFile file(path);
  if (!file.exists()) return fromBytes("<ConsoleConfig/>", executableDir);
  if (!file.open(QIODevice::ReadOnly)) {
    ConsoleSettings settings = fromBytes("<ConsoleConfig/>", executableDir);
    settings.error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    return settings;
  }
  return fromBytes(file.readAll(), executableDir);
}

ConsoleSettings ConsoleSettings::fromBytes(const QByteArray& bytes, const QString& executableDir) {
  ConsoleSettings settings;
  const Zarvo::Configuration common = Zarvo::Configuration::fromBytes(bytes);
  if (!common.read) settings.error = QStringLiteral("not well-formed: ") + common.error;
  if (!common.serviceUrl.isEmpty()) {
    const QUrl url(common.serviceUrl.trimmed());
    if (url.scheme() == QLatin1String("http") && !url.host().isEmpty() && url.port() >= 0) {
      settings.listen = url;
    } else {
      settings.error = QStringLiteral("ServiceURL is no http URL with a host and a port, using ") +
                       kDefaultServiceUrl;
    }
  }
  if (!common.dispatcherUrl.isEmpty())
    settings.namingService = QUrl(common.dispatcherUrl.trimmed());
  QString uploads =
      common.read ? firstElementText(bytes, QStringLiteral("UploadDirectory")) : QString();
  if (uploads.isEmpty()) uploads = kDefaultUploadDirectory;
  settings.uploadDirectory = QDir::cleanPath(QDir(executableDir).absoluteFilePath(uploads));
  return settings;
}

}  // namespace Zarvo::console
