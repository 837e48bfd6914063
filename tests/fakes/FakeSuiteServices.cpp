#include "tests/fakes/FakeSuiteServices.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include "tests/fakes/FakeNamingService.h"
#include "tests/fakes/HttpProbe.h"

namespace testing_suite {
namespace {

using testing_http::httpResponse;

// The DOM services' response head: declaration, Result, Details.
QString responseStart(int result, const QString& details) {
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?><OrxResponse>"
             "<Result>%1</Result><Details>%2</Details>")
      .arg(result)
      .arg(xmlEscaped(details));
}

// An answer with no more than its Result and Details.
QByteArray bareAnswer(int result, const QString& details) {
  return utf16Le(responseStart(result, details) + "</OrxResponse>");
}

QString element(const QString& name, const QString& text) {
  return QStringLiteral("<%1>%2</%1>").arg(name, xmlEscaped(text));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// XML helpers

QString XmlNode::attribute(const QString& wanted) const {
  for (const auto& a : attributes)
    if (a.first == wanted) return a.second;
  return QString();
}

bool XmlNode::hasAttribute(const QString& wanted) const {
  for (const auto& a : attributes)
    if (a.first == wanted) return true;
  return false;
}

const XmlNode* XmlNode::child(const QString& wanted) const {
  for (const XmlNode& c : children)
    if (c.name == wanted) return &c;
  return nullptr;
}

QList<const XmlNode*> XmlNode::childrenNamed(const QString& wanted) const {
  QList<const XmlNode*> out;
  for (const XmlNode& c : children) {
    if (c.name == wanted) out << &c;
  }
  return out;
}

bool parseXml(const QByteArray& bytes, XmlNode* root) {
  // Decode here, so the reader is not left to guess UTF-16 without a byte-order mark.
  QString text;
  if (bytes.size() >= 2 && bytes[0] == '<' && bytes[1] == '\0') {
    text = QStringDecoder(QStringDecoder::Utf16LE)(bytes);
  } else if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] == '<') {
    text = QStringDecoder(QStringDecoder::Utf16BE)(bytes);
  } else {
    auto encoding = QStringConverter::encodingForData(bytes);
    text = QStringDecoder(encoding.value_or(QStringConverter::Utf8))(bytes);
  }
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  // The reader refuses a declaration that names another encoding than a QString's.
  static const QRegularExpression declaration(QStringLiteral("^<\\?xml[^?]*\\?>"));
  text.remove(declaration);

  QXmlStreamReader reader(text);
  QList<XmlNode*> open;
  XmlNode top;
  bool haveRoot = false;
  while (!reader.atEnd()) {
    switch (reader.readNext()) {
      case QXmlStreamReader::StartElement: {
        XmlNode node;
        node.name = reader.name().toString();
        for (const auto& a : reader.attributes()) {
          node.attributes.append({a.name().toString(), a.value().toString()});
        }
        if (open.isEmpty()) {
          top = node;
          haveRoot = true;
          open.append(&top);
        } else {
          open.last()->children.append(node);
          open.append(&open.last()->children.last());
        }
        break;
      }
      case QXmlStreamReader::EndElement:
        open.removeLast();
        break;
      case QXmlStreamReader::Characters:
        if (!open.isEmpty()) open.last()->text += reader.text().toString();
        break;
      default:
        break;
    }
  }
  if (reader.hasError() || !haveRoot) return false;
  *root = top;
  return true;
}

QByteArray utf16Le(const QString& text) { return QStringEncoder(QStringEncoder::Utf16LE)(text); }

QString xmlEscaped(QString text) {
  return text.replace('&', "&amp;")
      .replace('<', "&lt;")
      .replace('>', "&gt;")
      .replace('"', "&quot;");
}

// ---------------------------------------------------------------------------------------------
// FakeDeviceManagementService

FakeDeviceManagementService::FakeDeviceManagementService()
    : server_([this](const Received& request) {
        const QString command = request.command();
        if (command != QLatin1String("DMSGetDeviceList")) {
          return Reply{httpResponse(bareAnswer(2, "Can't handle command: " + command))};
        }
        return answer(request);
      }) {}

void FakeDeviceManagementService::setDevice(quint32 id, const QMap<QString, QString>& properties) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[id] = properties;
}

void FakeDeviceManagementService::setResult(int result, const QString& details) {
  std::lock_guard<std::mutex> lock(mutex_);
  result_ = result;
  details_ = details;
}

Reply FakeDeviceManagementService::answer(const Received& request) {
  XmlNode root;
  if (!parseXml(request.body, &root)) {
    return {httpResponse(bareAnswer(3, "Wrong request format: "))};
  }
  QList<qint64> ids;  // -1: every device
  if (const XmlNode* filter = root.child("Filter")) {
    for (const XmlNode* d : filter->childrenNamed("Device")) {
      ids << (d->hasAttribute("ID") ? d->attribute("ID").toLongLong() : -1);
    }
  }
  QStringList wanted;
  if (const XmlNode* list = root.child("PropertyList")) {
    if (const XmlNode* d = list->child("Device")) {
      for (const XmlNode& p : d->children) wanted << p.name;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  QString xml = responseStart(result_, details_);
  for (const auto& [id, properties] : devices_) {
    if (!ids.contains(-1) && !ids.contains(qint64(id))) continue;
    xml += QStringLiteral("<Device ID=\"%1\">").arg(id);
    for (auto it = properties.begin(); it != properties.end(); ++it) {  // ascending names
      if (wanted.isEmpty() || wanted.contains(it.key())) xml += element(it.key(), it.value());
    }
    xml += QStringLiteral("</Device>");
  }
  return {httpResponse(utf16Le(xml + "</OrxResponse>"))};
}

// ---------------------------------------------------------------------------------------------
// FakeSNMPService

FakeSNMPService::FakeSNMPService()
    : server_([this](const Received& request) {
        const QString command = request.command();
        if (command == QLatin1String("SNMPGetValues")) return answerGet(request);
        if (command == QLatin1String("SNMPSetValues")) return answerSet(request);
        return Reply{httpResponse(bareAnswer(2, "Can't handle command: " + command))};
      }) {}

void FakeSNMPService::setTable(const QString& address, const QString& name,
                               const SnmpTable& table) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[address].tables[name] = table;
}

SnmpTable FakeSNMPService::table(const QString& address, const QString& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto d = devices_.find(address);
  if (d == devices_.end()) return {};
  const auto t = d->second.tables.find(name);
  return t == d->second.tables.end() ? SnmpTable{} : t->second;
}

void FakeSNMPService::setScalar(const QString& address, const QString& name, const QString& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[address].scalars[name] = value;
}

void FakeSNMPService::setDeviceErrors(const QString& address,
                                      const QList<QPair<int, QString>>& errors) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_[address].errors = errors;
}

void FakeSNMPService::setResult(int result, const QString& details) {
  std::lock_guard<std::mutex> lock(mutex_);
  result_ = result;
  details_ = details;
}

QByteArray FakeSNMPService::getValuesAnswer(const QByteArray& requestBody) const {
  XmlNode root;
  if (!parseXml(requestBody, &root)) {
    return bareAnswer(3, "Wrong request format: ");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  QString xml = responseStart(result_, details_);
  for (const XmlNode* d : root.childrenNamed("Device")) {
    const XmlNode* params = d->child("RequestParams");
    const XmlNode* ip = params ? params->child("IP") : nullptr;
    const QString address = ip ? ip->attribute("address") : QString();
    QStringList variables;
    if (const XmlNode* v = d->child("RequestVariables")) {
      for (const XmlNode& n : v->children) variables << n.name;
    }

    const auto known = devices_.find(address);
    QList<QPair<int, QString>> errors;
    QString scalars;
    QString tables;
    if (known == devices_.end()) {
      errors.append({1, QStringLiteral("No response from device")});
    } else {
      errors = known->second.errors;
      for (const QString& name : variables) {
        const auto s = known->second.scalars.find(name);
        const auto t = known->second.tables.find(name);
        if (s != known->second.scalars.end()) {
          scalars += element(name, s->second);
        } else if (t != known->second.tables.end()) {
          // One row element per row, named after the table less its last character.
          tables += QStringLiteral("<%1>").arg(name);
          const QString row = name.left(name.size() - 1);
          for (const QStringList& r : t->second.rows) {
            tables += QStringLiteral("<%1>").arg(row);
            for (int c = 0; c < t->second.columns.size(); ++c) {
              tables += element(t->second.columns[c], c < r.size() ? r[c] : QString());
            }
            tables += QStringLiteral("</%1>").arg(row);
          }
          tables += QStringLiteral("</%1>").arg(name);
        } else {
          errors.append({2, QStringLiteral("Unknown variable: ") + name});
        }
      }
    }
    xml += QStringLiteral("<Device><ResponseParams><IP address=\"%1\"/><Errors Count=\"%2\">")
               .arg(xmlEscaped(address))
               .arg(errors.size());
    for (const auto& e : errors) {
      xml += QStringLiteral("<Error Code=\"%1\">%2</Error>").arg(e.first).arg(xmlEscaped(e.second));
    }
    xml += QStringLiteral("</Errors></ResponseParams><ResponseVariables>") + scalars + tables +
           QStringLiteral("</ResponseVariables></Device>");
  }
  return utf16Le(xml + "</OrxResponse>");
}

Reply FakeSNMPService::answerGet(const Received& request) const {
  return {httpResponse(getValuesAnswer(request.body))};
}

Reply FakeSNMPService::answerSet(const Received& request) {
  XmlNode root;
  if (!parseXml(request.body, &root)) {
    return {httpResponse(bareAnswer(3, "Wrong request format: "))};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const XmlNode* d : root.childrenNamed("Device")) {
    const XmlNode* params = d->child("RequestParams");
    const XmlNode* ip = params ? params->child("IP") : nullptr;
    const XmlNode* variables = d->child("RequestVariables");
    if (!ip || !variables) continue;
    Device& device = devices_[ip->attribute("address")];
    for (const XmlNode& cell : variables->children) {
      const XmlNode* index = cell.child("Index");
      const XmlNode* value = cell.child("Value");
      bool ok = false;
      const int row = index ? index->text.trimmed().toInt(&ok) : -1;
      if (!value || !ok || row < 0 || row > 10000) continue;
      for (auto& [name, table] : device.tables) {
        const int column = int(table.columns.indexOf(cell.name));
        if (column < 0) continue;
        while (table.rows.size() <= row) table.rows.append(QStringList());
        QStringList& r = table.rows[row];
        while (r.size() < table.columns.size()) r.append(QString());
        r[column] = value->text;
        break;
      }
    }
  }
  return {httpResponse(bareAnswer(result_, details_))};
}

QByteArray FakeSNMPService::sendTrap(const QUrl& namingUrl, const QString& hostIp,
                                     const QString& enterprise,
                                     const QList<QPair<QString, QString>>& variables,
                                     const QString& genericNumber, const QString& specificNumber) {
  const QByteArray find =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><OrxRequest command=\"NSFindService\">"
      "<Command>SNMPTrap</Command></OrxRequest>";
  const testing_http::Answer found =
      testing_http::exchange(quint16(namingUrl.port()), testing_http::post("/NSFindService", find));
  const QStringList urls = testing_orx::elementTexts(found.body, QStringLiteral("ServiceURL"));
  if (!found.ok || urls.isEmpty()) return QByteArray();
  const QUrl target(urls.first());

  QString xml = QStringLiteral(
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                    "<OrxRequest command=\"SNMPTrap\">") +
                element("HostIp", hostIp) + element("Enterprise", enterprise) +
                element("GenericNumber", genericNumber) + element("SpecificNumber", specificNumber);
  if (!variables.isEmpty()) {
    xml += QStringLiteral("<Variables>");
    for (const auto& v : variables) {
      xml += QStringLiteral("<Variable>") + element("OID", v.first) + element("Value", v.second) +
             QStringLiteral("</Variable>");
    }
    xml += QStringLiteral("</Variables>");
  }
  xml += QStringLiteral("</OrxRequest>");
  const testing_http::Answer a =
      testing_http::exchange(quint16(target.port()), testing_http::post("/SNMPTrap", xml.toUtf8()));
  return a.ok ? a.body : QByteArray();
}

}  // namespace testing_suite
