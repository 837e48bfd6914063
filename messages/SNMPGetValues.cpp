#include "messages/SNMPGetValues.h"

#include <arpa/inet.h>

#include "messages/DomTree.h"

namespace Zarvo {

using namespace xercesc;
using Zarvo::PacketDOM;

namespace {

// What the service uses when a request names no write community.
const QByteArray kDefaultWriteCommunity = "k!e@v#r$o%t";

QString text8(const QByteArray& bytes) { return QString::fromUtf8(bytes); }
QByteArray bytes8(const QString& text) { return text.toUtf8(); }

bool isIPv4(const QByteArray& address) {
  in_addr out{};
  return ::inet_pton(AF_INET, address.constData(), &out) == 1;
}

// Reads one Device element of a request; false when it cannot be read (the entry is skipped).
bool readDeviceRequest(const DOMElement* device, deviceReq* entry) {
  const DOMElement* params = domtree::firstChild(device, QStringLiteral("RequestParams"));
  const DOMElement* ip = domtree::firstChild(params, QStringLiteral("IP"));
  if (!params || !ip) return false;
  entry->address = bytes8(domtree::attribute(ip, QStringLiteral("address")));
  entry->ipVersion = int(domtree::toNumber(domtree::attribute(ip, QStringLiteral("IP_VER")), 0));
  if (entry->ipVersion != 4 && entry->ipVersion != 6) {
    entry->ipVersion = isIPv4(entry->address) ? 4 : 6;
  }

  const DOMElement* snmp = domtree::firstChild(params, QStringLiteral("SNMP"));
  const DOMElement* security = domtree::firstChild(snmp, QStringLiteral("SecurityAttrs"));
  if (!snmp || !security) {
    entry->snmpVersion = 1;
    entry->readCommunity = "public";
    entry->writeCommunity = kDefaultWriteCommunity;
  } else {
    entry->snmpVersion =
        int(domtree::toNumber(domtree::attribute(snmp, QStringLiteral("SNMP_VER")), 0));
    if (entry->snmpVersion < 1 || entry->snmpVersion > 3) entry->snmpVersion = 1;
    if (entry->snmpVersion != 3) {
      entry->readCommunity = bytes8(domtree::attribute(security, QStringLiteral("rcommunity")));
      entry->writeCommunity = bytes8(domtree::attribute(security, QStringLiteral("wcommunity")));
      if (entry->readCommunity.isEmpty()) entry->readCommunity = "public";
      if (entry->writeCommunity.isEmpty()) entry->writeCommunity = kDefaultWriteCommunity;
    } else {
      entry->userName = bytes8(domtree::attribute(security, QStringLiteral("UserName")));
      const QString level = domtree::attribute(security, QStringLiteral("SecLevel"));
      if (level == QLatin1String("NOAUTH")) {
        entry->securityLevel = kNoAuth;
      } else if (level == QLatin1String("AUTHNOPRIV") || level == QLatin1String("AUTHPRIV")) {
        entry->securityLevel = level == QLatin1String("AUTHPRIV") ? kAuthPriv : kAuthNoPriv;
        const QString protocol = domtree::attribute(security, QStringLiteral("AuthProto"));
        if (protocol == QLatin1String("MD5")) entry->authProtocol = kMd5;
        if (protocol == QLatin1String("SHA1")) entry->authProtocol = kSha1;
        entry->authPassPhrase = bytes8(domtree::attribute(security, QStringLiteral("AuthPassPhr")));
        entry->privPassPhrase = bytes8(domtree::attribute(security, QStringLiteral("PrivPassPhr")));
        entry->contextName = bytes8(domtree::attribute(security, QStringLiteral("ContextName")));
        entry->contextId = bytes8(domtree::attribute(security, QStringLiteral("ContextID")));
      } else {
        return false;
      }
    }
  }

  const DOMElement* variables = domtree::firstChild(device, QStringLiteral("RequestVariables"));
  if (!variables) return false;
  for (const DOMElement* v : domtree::children(variables))
    entry->addVariable(bytes8(domtree::name(v)));
  return true;
}

void writeDeviceRequest(DOMElement* root, deviceReq entry) {
  DOMElement* device = domtree::append(root, QStringLiteral("Device"));
  DOMElement* params = domtree::append(device, QStringLiteral("RequestParams"));
  DOMElement* ip = domtree::append(params, QStringLiteral("IP"));
  domtree::setAttribute(ip, QStringLiteral("address"), text8(entry.address));
  domtree::setAttribute(ip, QStringLiteral("IP_VER"), QString::number(entry.ipVersion));
  DOMElement* snmp = domtree::append(params, QStringLiteral("SNMP"));
  domtree::setAttribute(snmp, QStringLiteral("SNMP_VER"), QString::number(entry.snmpVersion));
  DOMElement* security = domtree::append(snmp, QStringLiteral("SecurityAttrs"));
  const auto attribute = [security](const char* name, const QByteArray& value) {
    domtree::setAttribute(security, QString::fromLatin1(name), text8(value));
  };
  if (entry.snmpVersion == 1 || entry.snmpVersion == 2) {
    attribute("rcommunity", entry.readCommunity);
    attribute("wcommunity", entry.writeCommunity);
  } else {
    attribute("UserName", entry.userName);
    const QByteArray protocol = entry.authProtocol == kMd5 ? "MD5" : "SHA1";
    switch (entry.securityLevel) {
      case kNoAuth:
        attribute("SecLevel", "NOAUTH");
        break;
      case kAuthNoPriv:
        attribute("SecLevel", "AUTHNOPRIV");
        attribute("AuthProto", protocol);
        attribute("AuthPassPhr", entry.authPassPhrase);
        break;
      case kAuthPriv:
        attribute("SecLevel", "AUTHPRIV");
        attribute("AuthProto", protocol);
        attribute("AuthPassPhr", entry.authPassPhrase);
        attribute("PrivPassPhr", entry.privPassPhrase);
        break;
      default:
        break;
    }
    attribute("ContextName", entry.contextName);
    attribute("ContextID", entry.contextId);
  }
  DOMElement* variables = domtree::append(device, QStringLiteral("RequestVariables"));
  QByteArray name;
  for (bool more = entry.firstVariable(&name); more; more = entry.nextVariable(&name)) {
    domtree::append(variables, text8(name));
  }
}

// Reads one Device element of a response into `entry`.
void readDeviceResponse(const DOMElement* device, deviceRes* entry) {
  const DOMElement* params = domtree::firstChild(device, QStringLiteral("ResponseParams"));
  if (!params) return;  // an empty entry: nothing else of the device is read
  if (const DOMElement* ip = domtree::firstChild(params, QStringLiteral("IP"))) {
    entry->address = bytes8(domtree::attribute(ip, QStringLiteral("address")));
  }
  if (const DOMElement* errors = domtree::firstChild(params, QStringLiteral("Errors"))) {
    entry->errorCount =
        int(domtree::toNumber(domtree::attribute(errors, QStringLiteral("Count")), 0));
    for (const DOMNode* e = domtree::firstChild(errors, QStringLiteral("Error")); e;
         e = e->getNextSibling()) {
      if (e->getNodeType() != DOMNode::ELEMENT_NODE) continue;
      if (!PacketDOM::firstChildOfType(e, DOMNode::TEXT_NODE)) continue;
      const int code = int(domtree::toNumber(
          domtree::attribute(static_cast<const DOMElement*>(e), QStringLiteral("Code")), 0));
      entry->addError(code, bytes8(PacketDOM::textOf(e)));
    }
  }
  const DOMElement* variables = domtree::firstChild(device, QStringLiteral("ResponseVariables"));
  for (const DOMElement* v : domtree::children(variables)) {
    const QByteArray name = bytes8(domtree::name(v));
    const std::vector<DOMElement*> rows = domtree::children(v);
    if (rows.empty()) {
      // No element child: a scalar (a table without rows therefore reads as one too).
      if (!entry->hasScalar(name)) entry->setScalar(name, PacketDOM::textOf(v));
      continue;
    }
    entry->createTable(name);
    for (const DOMElement* c : domtree::children(rows.front())) {
      entry->addColumn(name, domtree::name(c));
    }
    int row = 1;
    for (const DOMElement* r : rows) {
      for (const DOMElement* c : domtree::children(r)) {
        entry->setCell(name, domtree::name(c), row, PacketDOM::textOf(c));
      }
      ++row;
    }
  }
}

void writeDeviceResponse(DOMElement* root, const deviceRes& entry) {
  DOMElement* device = domtree::append(root, QStringLiteral("Device"));
  DOMElement* params = domtree::append(device, QStringLiteral("ResponseParams"));
  DOMElement* ip = domtree::append(params, QStringLiteral("IP"));
  domtree::setAttribute(ip, QStringLiteral("address"), text8(entry.address));
  DOMElement* errors = domtree::append(params, QStringLiteral("Errors"));
  domtree::setAttribute(errors, QStringLiteral("Count"), QString::number(entry.errorCount));
  for (const auto& [code, message] : entry.errors()) {
    DOMElement* e = domtree::append(errors, QStringLiteral("Error"), text8(message));
    domtree::setAttribute(e, QStringLiteral("Code"), QString::number(code));
  }
  DOMElement* variables = domtree::append(device, QStringLiteral("ResponseVariables"));
  for (const auto& [name, value] : entry.scalars()) domtree::append(variables, text8(name), value);
  for (const auto& [name, table] : entry.tables()) {
    const QString tableName = text8(name);
    DOMElement* t = domtree::append(variables, tableName);
    const int rows = entry.rowCount(name);
    for (int i = 1; i < rows; ++i) {
      DOMElement* row = domtree::append(t, tableName.left(tableName.size() - 1));
      for (const deviceRes::Column& column : table) {
        domtree::append(row, column.first(), i < column.size() ? column[i] : QString());
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// deviceReq

bool deviceReq::firstVariable(QByteArray* name) {
  cursor_ = 0;
  return nextVariable(name);
}

bool deviceReq::nextVariable(QByteArray* name) {
  if (cursor_ >= variables_.size()) return false;
  *name = variables_[cursor_++];
  return true;
}

// ---------------------------------------------------------------------------------------------
// Request

template <>
void RequestParser<deviceReq, CmdSNMPGetValuesRequest>::parse(const DOMElement* root) {
  request_.priority = int(domtree::toNumber(
      PacketDOM::textOf(domtree::firstChild(root, QStringLiteral("Priority"))), 0));
  request_.clearEntries();
  for (const DOMElement* d : domtree::children(root, QStringLiteral("Device"))) {
    deviceReq entry;
    if (readDeviceRequest(d, &entry)) request_.append(entry);
  }
}

CmdSNMPGetValuesRequest::CmdSNMPGetValuesRequest()
    : Zarvo::RequestPacket(QStringLiteral("SNMPGetValues")),
      RequestParser<deviceReq, CmdSNMPGetValuesRequest>(*this) {}

void CmdSNMPGetValuesRequest::fromByteArray(const QByteArray& bytes) {
  RequestPacket::fromByteArray(bytes);
  parse(document()->getDocumentElement());
}

void CmdSNMPGetValuesRequest::toByteArray(QByteArray& bytes) const {
  // The document is a cache of the fields: rebuild it so the bytes show the fields as they are.
  const_cast<CmdSNMPGetValuesRequest*>(this)->discardDocument();
  RequestPacket::toByteArray(bytes);
}

DOMDocument* CmdSNMPGetValuesRequest::createDocument() const {
  return domtree::filled(RequestPacket::createDocument(), [this](DOMElement* root) {
    domtree::append(root, QStringLiteral("Priority"), QString::number(priority));
    for (const deviceReq& entry : entries()) writeDeviceRequest(root, entry);
  });
}

// ---------------------------------------------------------------------------------------------
// deviceRes

deviceRes::deviceRes(const deviceRes& other)
    : address(other.address),
      errorCount(other.errorCount),
      errors_(other.errors_),
      scalars_(other.scalars_),
      tables_(other.tables_) {}

deviceRes& deviceRes::operator=(const deviceRes& other) {
  if (this == &other) return *this;
  address = other.address;
  errorCount = other.errorCount;
  errors_ = other.errors_;
  errorCursor_ = errors_.end();
  scalars_ = other.scalars_;
  scalarCursor_ = scalars_.end();
  tables_ = other.tables_;
  columnTable_.clear();
  columnCursor_ = 0;
  return *this;
}

void deviceRes::addError(int code, const QByteArray& message) { errors_.emplace(code, message); }

bool deviceRes::firstError(int* code, QByteArray* message) {
  errorCursor_ = errors_.begin();
  return nextError(code, message);
}

bool deviceRes::nextError(int* code, QByteArray* message) {
  if (errorCursor_ == errors_.end()) return false;
  *code = errorCursor_->first;
  *message = errorCursor_->second;
  ++errorCursor_;
  return true;
}

bool deviceRes::firstScalar(QByteArray* name, QString* value) {
  scalarCursor_ = scalars_.begin();
  return nextScalar(name, value);
}

bool deviceRes::nextScalar(QByteArray* name, QString* value) {
  if (scalarCursor_ == scalars_.end()) {
    value->clear();
    return false;
  }
  *name = scalarCursor_->first;
  *value = scalarCursor_->second;
  ++scalarCursor_;
  return true;
}

void deviceRes::addColumn(const QByteArray& table, const QString& column) {
  tables_[table].append(Column{column});
}

void deviceRes::setCell(const QByteArray& table, const QString& column, int row,
                        const QString& value) {
  const auto t = tables_.find(table);
  if (t == tables_.end() || row < 1) return;
  for (Column& c : t->second) {
    if (c.first() != column) continue;
    if (c.size() <= row) {
      while (c.size() < row) c.append(QString());
      c.append(value);
    } else {
      c[row] = value;
    }
    return;
  }
}

int deviceRes::rowCount(const QByteArray& table) const {
  const Table* t = this->table(table);
  if (!t) return -1;
  return t->isEmpty() ? 0 : int(t->first().size());
}

bool deviceRes::firstColumn(const QByteArray& table, QString* column) {
  columnTable_ = table;
  columnCursor_ = 0;
  return nextColumn(table, column);
}

bool deviceRes::nextColumn(const QByteArray& table, QString* column) {
  const Table* t = this->table(table);
  if (!t || table != columnTable_ || columnCursor_ >= t->size()) return false;
  *column = (*t)[columnCursor_++].first();
  return true;
}

QString deviceRes::cell(const QByteArray& table, const QString& column, int row) const {
  const Table* t = this->table(table);
  if (!t || row < 0) return QString();
  for (const Column& c : *t) {
    if (c.first() == column) return row < c.size() ? c[row] : QString();
  }
  return QString();
}

const deviceRes::Table* deviceRes::table(const QByteArray& name) const {
  const auto t = tables_.find(name);
  return t == tables_.end() ? nullptr : &t->second;
}

// ---------------------------------------------------------------------------------------------
// Response

void CmdSNMPGetValuesResponse::fromByteArray(const QByteArray& bytes) {
  devices_.clear();
  deviceCursor_ = devices_.end();
  ResponsePacket::fromByteArray(bytes);
  domtree::requireRoot(document(), QStringLiteral("OrxResponse"));
  for (const DOMElement* d :
       domtree::children(document()->getDocumentElement(), QStringLiteral("Device"))) {
    deviceRes entry;
    readDeviceResponse(d, &entry);
    devices_.push_back(std::move(entry));
  }
  discardDocument();
}

void CmdSNMPGetValuesResponse::toByteArray(QByteArray& bytes) const {
  const_cast<CmdSNMPGetValuesResponse*>(this)->discardDocument();
  ResponsePacket::toByteArray(bytes);
}

DOMDocument* CmdSNMPGetValuesResponse::createDocument() const {
  return domtree::filled(ResponsePacket::createDocument(), [this](DOMElement* root) {
    for (const deviceRes& entry : devices_) writeDeviceResponse(root, entry);
  });
}

deviceRes* CmdSNMPGetValuesResponse::firstDevice() {
  deviceCursor_ = devices_.begin();
  return nextDevice();
}

deviceRes* CmdSNMPGetValuesResponse::nextDevice() {
  if (deviceCursor_ == devices_.end()) return nullptr;
  return &*deviceCursor_++;
}

}  // namespace Zarvo
