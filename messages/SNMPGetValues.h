// The "SNMPGetValues" exchange with the suite's SNMP service: the plug-in never speaks SNMP
// itself; it names a device, the SNMP parameters to use and the variables or tables wanted, and
// the service answers with the values, whole tables included. The same classes serve the
// service side, so requests and responses are read and written in both directions.
//
// A table comes back as one element per row, each holding one element per column; rows are
// matched across columns by position only. The first row fixes the columns.
//
// A response that is not a well-formed "OrxResponse" document throws WrongPacketFormat, so a
// broken answer reaches the caller as result 4, never as a device without values.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <list>
#include <map>

#include "framework/Packet.h"

namespace Zarvo {

enum SnmpSecurityLevel : int { kNoAuth = 0, kAuthNoPriv = 1, kAuthPriv = 2 };
enum SnmpAuthProtocol : int { kMd5 = 0, kSha1 = 1 };

// One device of a request. 8-bit strings hold UTF-8.
class deviceReq {
 public:
  int ipVersion = 0;  // 4 or 6; 0 when the address is neither
  QByteArray address;
  int snmpVersion = 0;  // 1, 2 or 3
  QByteArray readCommunity;
  QByteArray writeCommunity;  // empty: the service's default
  int securityLevel = kNoAuth;
  int authProtocol = kMd5;
  QByteArray userName;
  QByteArray authPassPhrase;
  QByteArray privPassPhrase;
  QByteArray contextName;
  QByteArray contextId;

  void addVariable(const QByteArray& name) { variables_.append(name); }
  // The variable names in order; false when exhausted.
  bool firstVariable(QByteArray* name);
  bool nextVariable(QByteArray* name);
  const QList<QByteArray>& variables() const { return variables_; }

 private:
  QList<QByteArray> variables_;
  qsizetype cursor_ = 0;
};

// An ordered list of entries with a cursor; entries are copies.
template <class Entry, class Container = std::list<Entry>>
class SNMPList {
 public:
  SNMPList() = default;
  // Copies start with a fresh cursor: an iterator into another container means nothing here.
  SNMPList(const SNMPList& other) : entries_(other.entries_) {}
  SNMPList& operator=(const SNMPList& other) {
    entries_ = other.entries_;
    cursor_ = entries_.end();
    return *this;
  }

  void append(const Entry& entry) { entries_.push_back(entry); }
  // The first/next entry, or null when exhausted.
  Entry* first() {
    cursor_ = entries_.begin();
    return next();
  }
  Entry* next() {
    if (cursor_ == entries_.end()) return nullptr;
    return &*cursor_++;
  }
  const Container& entries() const { return entries_; }
  void clearEntries() {
    entries_.clear();
    cursor_ = entries_.end();
  }

 private:
  Container entries_;
  typename Container::iterator cursor_ = entries_.end();
};

// The reading part of a request: reads the root's priority and devices into the request it
// belongs to. An entry that cannot be read is left out; the rest is still read.
template <class Entry, class Request>
class RequestParser {
 public:
  explicit RequestParser(Request& request) : request_(request) {}
  void parse(const xercesc::DOMElement* root);

 private:
  Request& request_;
};

class CmdSNMPGetValuesRequest : public Zarvo::RequestPacket,
                                public SNMPList<deviceReq>,
                                public RequestParser<deviceReq, CmdSNMPGetValuesRequest> {
 public:
  CmdSNMPGetValuesRequest();
  CmdSNMPGetValuesRequest(const CmdSNMPGetValuesRequest&) = delete;
  CmdSNMPGetValuesRequest& operator=(const CmdSNMPGetValuesRequest&) = delete;

  void fromByteArray(const QByteArray& bytes) override;
  void toByteArray(QByteArray& bytes) const override;

  int priority = 0;

 protected:
  xercesc::DOMDocument* createDocument() const override;
};

// One device of a response.
class deviceRes {
 public:
  using Column = QStringList;  // entry 0: the column's name; entry i: its value in row i
  using Table = QList<Column>;

  deviceRes() = default;
  // Copies start with fresh cursors (an iterator into another map means nothing here).
  deviceRes(const deviceRes& other);
  deviceRes& operator=(const deviceRes& other);

  QByteArray address;
  int errorCount = 0;  // as the service reported it

  // An error code keeps its first message.
  void addError(int code, const QByteArray& message);
  bool firstError(int* code, QByteArray* message);
  bool nextError(int* code, QByteArray* message);
  const std::map<int, QByteArray>& errors() const { return errors_; }

  void setScalar(const QByteArray& name, const QString& value) { scalars_[name] = value; }
  bool hasScalar(const QByteArray& name) const { return scalars_.count(name) != 0; }
  bool firstScalar(QByteArray* name, QString* value);
  bool nextScalar(QByteArray* name, QString* value);
  const std::map<QByteArray, QString>& scalars() const { return scalars_; }

  void createTable(const QByteArray& table) { tables_[table]; }
  // Appends a column holding only its name.
  void addColumn(const QByteArray& table, const QString& column);
  // Sets the cell of the first column of that name, padding the column with "" up to the row;
  // a column that does not exist drops the value.
  void setCell(const QByteArray& table, const QString& column, int row, const QString& value);
  // -1: no such table; 0: no columns; else the entries of its first column (rows + 1).
  int rowCount(const QByteArray& table) const;
  bool firstColumn(const QByteArray& table, QString* column);
  bool nextColumn(const QByteArray& table, QString* column);
  // "" when the column has no entry at that row.
  QString cell(const QByteArray& table, const QString& column, int row) const;
  const std::map<QByteArray, Table>& tables() const { return tables_; }
  const Table* table(const QByteArray& name) const;

 private:
  std::map<int, QByteArray> errors_;
  std::map<int, QByteArray>::const_iterator errorCursor_ = errors_.end();
  std::map<QByteArray, QString> scalars_;
  std::map<QByteArray, QString>::const_iterator scalarCursor_ = scalars_.end();
  std::map<QByteArray, Table> tables_;
  QByteArray columnTable_;
  qsizetype columnCursor_ = 0;
};

class CmdSNMPGetValuesResponse : public Zarvo::ResponsePacket {
 public:
  CmdSNMPGetValuesResponse() = default;

  // Throws WrongPacketFormat when the bytes are not a well-formed document rooted at
  // "OrxResponse". The parsed document is dropped once its values are read: a large table's
  // DOM would otherwise live as long as the packet.
  void fromByteArray(const QByteArray& bytes) override;
  void toByteArray(QByteArray& bytes) const override;

  void appendDevice(const deviceRes& device) { devices_.push_back(device); }
  // The first/next device, or null when exhausted.
  deviceRes* firstDevice();
  deviceRes* nextDevice();
  const std::list<deviceRes>& devices() const { return devices_; }

 protected:
  xercesc::DOMDocument* createDocument() const override;

 private:
  std::list<deviceRes> devices_;
  std::list<deviceRes>::iterator deviceCursor_ = devices_.end();
};

}  // namespace Zarvo
