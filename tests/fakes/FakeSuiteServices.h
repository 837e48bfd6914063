// Loopback stand-ins for the suite's device management service ("DMSGetDeviceList") and SNMP
// service ("SNMPGetValues", "SNMPSetValues", and the "SNMPTrap" it forwards to the storage
// manager). Like FakeNamingService they speak HTTP with a bare command path and read requests
// with their own small XML reader (not our packet classes), so they check our packets from the
// outside. They answer the way the DOM services of the suite do: UTF-16LE without a byte-order
// mark, after an UTF-16 declaration.
//
// Each is a FakeHttpServer (127.0.0.1, port 0) whose responder is the model: it records the exact
// bytes of every request, and a scripted raw reply (an HTML error page, a cut body) replaces the
// modelled answer for one command.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <map>
#include <mutex>

#include "suite/DeviceState.h"
#include "tests/fakes/FakeHttpServer.h"

namespace testing_suite {

using testing_http::Received;
using testing_http::Reply;

// A minimal element tree, enough for the suite's packets.
struct XmlNode {
  QString name;
  QList<QPair<QString, QString>> attributes;  // in document order
  QString text;                               // all text directly inside, concatenated
  QList<XmlNode> children;

  QString attribute(const QString& name) const;  // "" when absent
  bool hasAttribute(const QString& name) const;
  const XmlNode* child(const QString& name) const;  // first direct child of that name
  QList<const XmlNode*> childrenNamed(const QString& name) const;
};

// Parses UTF-8 or UTF-16LE/BE bytes (with or without a byte-order mark); false when the bytes
// are not a well-formed document.
bool parseXml(const QByteArray& bytes, XmlNode* root);
// Text as the DOM services write it: UTF-16LE, no byte-order mark.
QByteArray utf16Le(const QString& text);
// An XML-escaped text or attribute value.
QString xmlEscaped(QString text);

// "DMSGetDeviceList": devices by identifier with their properties. The answer holds every known
// device that a Device filter names (a filter without ID names every device), each with the
// asked properties it has (all of them when none are asked), in ascending name order.
class FakeDeviceManagementService {
 public:
  FakeDeviceManagementService();

  void setDevice(quint32 id, const QMap<QString, QString>& properties);
  void setResult(int result, const QString& details);  // of the modelled answer; 0 "OK"

  QUrl url() const { return server_.url(); }
  testing_http::FakeHttpServer& server() { return server_; }
  QList<QByteArray> requests() const { return server_.bodies(QStringLiteral("DMSGetDeviceList")); }

 private:
  Reply answer(const Received& request);

  mutable std::mutex mutex_;
  std::map<quint32, QMap<QString, QString>> devices_;
  int result_ = 0;
  QString details_ = QStringLiteral("OK");
  testing_http::FakeHttpServer server_;  // last: its threads use the state above
};

// A device table as the SNMP service renders it: named columns, rows of text values. The fake
// holds whatever a test scripts (any columns, odd rows), so it tests how the storage manager
// copes with such tables; the suite's printers derive theirs from what they hold.
using SnmpTable = Zarvo::suite::DeviceTable;

// "SNMPGetValues" answers each asked device's scalars and tables (an unknown device or variable
// is reported as an error of the device); "SNMPSetValues" writes cells by column name and row
// position (Index, counted from 0) into the device's tables, which a test can read back.
class FakeSNMPService {
 public:
  FakeSNMPService();

  void setTable(const QString& address, const QString& name, const SnmpTable& table);
  SnmpTable table(const QString& address, const QString& name) const;
  void setScalar(const QString& address, const QString& name, const QString& value);
  // Errors reported for a device in every answer, as (code, message); the Count is their number.
  void setDeviceErrors(const QString& address, const QList<QPair<int, QString>>& errors);
  void setResult(int result, const QString& details);  // of the modelled answers; 0 "OK"

  QUrl url() const { return server_.url(); }
  testing_http::FakeHttpServer& server() { return server_; }
  QList<QByteArray> getRequests() const { return server_.bodies(QStringLiteral("SNMPGetValues")); }
  QList<QByteArray> setRequests() const { return server_.bodies(QStringLiteral("SNMPSetValues")); }

  // The bytes of the "SNMPGetValues" answer for this request body (what the server sends).
  QByteArray getValuesAnswer(const QByteArray& requestBody) const;

  // Forwards a trap the way the service does: asks the naming service at `namingUrl` which URL
  // answers "SNMPTrap" and sends it there. Returns the answer's body ("" when nothing came).
  static QByteArray sendTrap(const QUrl& namingUrl, const QString& hostIp,
                             const QString& enterprise,
                             const QList<QPair<QString, QString>>& variables,
                             const QString& genericNumber = QStringLiteral("6"),
                             const QString& specificNumber = QStringLiteral("1"));

 private:
  struct Device {
    std::map<QString, QString> scalars;
    std::map<QString, SnmpTable> tables;
    QList<QPair<int, QString>> errors;
  };
  Reply answerGet(const Received& request) const;
  Reply answerSet(const Received& request);

  mutable std::mutex mutex_;
  std::map<QString, Device> devices_;
  int result_ = 0;
  QString details_ = QStringLiteral("OK");
  testing_http::FakeHttpServer server_;  // last: its threads use the state above
};

}  // namespace testing_suite
