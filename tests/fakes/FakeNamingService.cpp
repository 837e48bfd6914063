#include "tests/fakes/FakeNamingService.h"

#include <QRegularExpression>

namespace testing_orx {
namespace {

QString escaped(QString text) {
  return text.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
}

}  // namespace

QByteArray responsePacket(int result, const QString& details,
                          const QList<QPair<QString, QString>>& extra) {
  QString xml = QStringLiteral(
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxResponse><Result>%1"
                    "</Result><Details>%2</Details>")
                    .arg(result)
                    .arg(escaped(details));
  for (const auto& e : extra) xml += QStringLiteral("<%1>%2</%1>").arg(e.first, escaped(e.second));
  return (xml + QStringLiteral("</OrxResponse>")).toUtf8();
}

QStringList elementTexts(const QByteArray& xml, const QString& name) {
  const QRegularExpression element(
      QStringLiteral("<%1\\s*(?:/>|>(.*?)</%1\\s*>)").arg(QRegularExpression::escape(name)),
      QRegularExpression::DotMatchesEverythingOption);
  QStringList texts;
  for (auto it = element.globalMatch(QString::fromUtf8(xml)); it.hasNext();) {
    QString text = it.next().captured(1);
    text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&apos;", "'");
    texts << text.replace("&amp;", "&");
  }
  return texts;
}

FakeNamingService::FakeNamingService()
    : server_([this](const Received& request) { return answer(request); }) {}

void FakeNamingService::setServiceUrl(const QString& command, const QString& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_[command] = url;
}

void FakeNamingService::setRegisterResult(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  registerResult_ = result;
}

Reply FakeNamingService::answer(const Received& request) {
  const QString command = request.command();
  std::lock_guard<std::mutex> lock(mutex_);
  if (command == QLatin1String("NSFindService")) {
    const QStringList asked = elementTexts(request.body, QStringLiteral("Command"));
    const QString name = asked.isEmpty() ? QString() : asked.first();
    if (!table_.contains(name)) {
      return {httpResponse(responsePacket(2, QStringLiteral("Service not found: ") + name))};
    }
    return {httpResponse(responsePacket(0, QStringLiteral("OK"),
                                        {{QStringLiteral("ServiceURL"), table_.value(name)}}))};
  }
  if (command == QLatin1String("NSRegisterService")) {
    return {httpResponse(responsePacket(
        registerResult_, registerResult_ == 0 ? QStringLiteral("OK") : QStringLiteral("Refused")))};
  }
  return {httpResponse(responsePacket(2, QStringLiteral("Can't handle command: ") + command))};
}

}  // namespace testing_orx
