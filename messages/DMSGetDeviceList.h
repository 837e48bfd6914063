// The "DMSGetDeviceList" exchange with the suite's device management service: the file list
// names a device by its identifier there, and this is how the plug-in learns the device's
// address and SNMP credentials. Both packets are DOM packets that read and write their trees in
// both directions (the service side uses the same classes); the plug-in writes requests and reads
// responses.
//
// A response that is not a well-formed "OrxResponse" document throws WrongPacketFormat, so a
// broken answer (an HTML error page, a cut body) reaches the caller as result 4 and never as an
// empty device list.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <map>

#include "framework/Packet.h"

namespace Zarvo {

// One device filter: an identifier (-1: none) and further conditions on named properties.
struct DeviceFilter {
  qint32 id = -1;
  QList<QPair<QString, QString>> criteria;  // (property name, value), in order
};

// One device as the service reports it. Maps are ordered by name (UTF-16 code units).
struct DeviceRecord {
  using Item = std::map<QString, QString>;  // field name -> value

  quint32 id = 0;
  std::map<QString, QString> properties;
  std::map<QString, QList<Item>> listProperties;

  // The simple property's value, or "" when the record lacks it.
  QString property(const QString& name) const;
};

class CmdDMSGetDeviceListRequest : public Zarvo::RequestPacket {
 public:
  CmdDMSGetDeviceListRequest();

  // Fills the fields from the document (searches reach any depth below the root).
  void fromByteArray(const QByteArray& bytes) override;
  // Writes the fields as they are now; throws WrongPacketFormat for a name that cannot be an
  // element name.
  void toByteArray(QByteArray& bytes) const override;

  QStringList groups;  // only the first is written
  QList<DeviceFilter> devices;
  bool forceUpToDate = false;
  QStringList properties;  // names of the properties wanted in the answer

 protected:
  xercesc::DOMDocument* createDocument() const override;
};

class CmdDMSGetDeviceListResponse : public Zarvo::ResponsePacket {
 public:
  CmdDMSGetDeviceListResponse() = default;

  // Throws WrongPacketFormat when the bytes are not a well-formed document rooted at
  // "OrxResponse".
  void fromByteArray(const QByteArray& bytes) override;
  void toByteArray(QByteArray& bytes) const override;

  QList<DeviceRecord> devices;  // in document order

 protected:
  xercesc::DOMDocument* createDocument() const override;
};

}  // namespace Zarvo
