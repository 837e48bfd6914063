#include "plugin/DeviceFileList.h"

#include <arpa/inet.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>

#include "framework/ServiceClient.h"
#include "messages/DomTree.h"

namespace Zarvo::dsm {

namespace {

using FileStorage = DSMGetFileList_Response::c_OrxResponse::c_FileStorage;

const QByteArray kFileStorageTable = "scmFileStorageTable";

using Field = FileStorageRows::Field;

struct ColumnMapping {
  const char* column;
  Field field;
};

constexpr ColumnMapping kColumns[] = {
    {"scmFileStorageFileIndex", Field::kIndex},
    {"scmFileStorageFileName", Field::kName},
    {"scmFileStorageFileSize", Field::kSize},
    {"scmFileStorageFileType", Field::kType},
    {"scmFileStorageFilePersistence", Field::kPersistence},
    {"scmFileStorageFileID", Field::kId},
};

// Unsigned 32-bit decimal; anything else (letters, a sign, out of range) gives 0.
quint32 toUnsigned(QStringView text) {
  bool ok = false;
  const uint value = text.toUInt(&ok, 10);
  return ok ? quint32(value) : 0;
}

std::u16string u16(QStringView text) {
  return std::u16string(text.utf16(), std::size_t(text.size()));
}

// The field a column of that name fills, if any.
std::optional<Field> fieldOf(QStringView column) {
  for (const ColumnMapping& m : kColumns) {
    if (column == QLatin1String(m.column)) return m.field;
  }
  return std::nullopt;
}

// Every field present, so the answer always carries the whole element.
FileStorage& appendEmpty(DSMGetFileList_Response::c_OrxResponse& response) {
  (void)response.append_FileStorage();
  FileStorage& f = response.back_FileStorage();
  (void)f.set_FileIndex(0);
  (void)f.set_FileName(std::u16string());
  (void)f.set_FileSize(0);
  (void)f.set_FileType(std::u16string());
  (void)f.set_FilePersistence(std::u16string());
  (void)f.set_FileStorageFileID(0);
  return f;
}

int ipVersionOf(const QByteArray& address) {
  unsigned char out[16];
  if (::inet_pton(AF_INET, address.constData(), out) == 1) return 4;
  if (::inet_pton(AF_INET6, address.constData(), out) == 1) return 6;
  return 0;
}

}  // namespace

QStringList fileListDeviceProperties() {
  return {QStringLiteral("IP"),           QStringLiteral("SNMP_VER"),
          QStringLiteral("AuthPass"),     QStringLiteral("AuthMethod"),
          QStringLiteral("ContextName"),  QStringLiteral("ContextID"),
          QStringLiteral("PrivacyPass"),  QStringLiteral("UserName"),
          QStringLiteral("SecurityLevel")};
}

deviceReq deviceRequestFor(const DeviceRecord& record) {
  deviceReq entry;
  entry.address = record.property(QStringLiteral("IP")).toUtf8();
  entry.ipVersion = ipVersionOf(entry.address);
  bool ok = false;
  entry.snmpVersion = record.property(QStringLiteral("SNMP_VER")).toInt(&ok, 10);
  if (!ok) entry.snmpVersion = 0;
  entry.readCommunity = "public";
  if (entry.snmpVersion != 3) return entry;

  // Version 3: only properties that hold something replace the empty defaults.
  const auto copyIfSet = [&record](const char* property, QByteArray* field) {
    const QString value = record.property(QString::fromLatin1(property));
    if (!value.isEmpty()) *field = value.toUtf8();
  };
  copyIfSet("AuthPass", &entry.authPassPhrase);
  copyIfSet("ContextName", &entry.contextName);
  copyIfSet("ContextID", &entry.contextId);
  copyIfSet("PrivacyPass", &entry.privPassPhrase);
  copyIfSet("UserName", &entry.userName);
  entry.authProtocol =
      record.property(QStringLiteral("AuthMethod")) == QLatin1String("MD5") ? kMd5 : kSha1;
  const QString level = record.property(QStringLiteral("SecurityLevel"));
  entry.securityLevel = level == QLatin1String("Authentication")             ? kAuthNoPriv
                        : level == QLatin1String("AuthenticationEncryption") ? kAuthPriv
                                                                             : kNoAuth;
  return entry;
}

void appendFileStorage(const deviceRes& device, DSMGetFileList_Response::c_OrxResponse& response) {
  // The service reports trouble with a device by errors or by a count of them.
  if (!device.errors().empty() || device.errorCount != 0) return;
  const deviceRes::Table* table = device.table(kFileStorageTable);
  if (!table) return;

  // The first column gives the row count; a table without columns has no rows.
  FileStorageRows rows;
  rows.growTo(table->isEmpty() ? 0 : std::size_t(table->first().size() - 1));
  for (const deviceRes::Column& column : *table) {
    const std::optional<Field> field = fieldOf(column.first());
    if (!field) continue;  // columns of other names are not ours
    // Rows are matched by position; a column longer than the first one adds rows.
    for (qsizetype i = 1; i < column.size(); ++i) {
      rows.growTo(std::size_t(i));
      rows.set(std::size_t(i - 1), *field, column[i]);
    }
  }
  rows.appendTo(response);
}

// ---------------------------------------------------------------------------------------------
// Rows held compactly

void FileStorageRows::growTo(std::size_t count) {
  if (rows_.size() < count) rows_.resize(count);
}

FileStorageRows::Text FileStorageRows::keep(QStringView text) {
  const Text t{std::uint32_t(texts_.size()), std::uint32_t(text.size())};
  texts_.append(text.utf16(), std::size_t(text.size()));
  return t;
}

void FileStorageRows::set(std::size_t row, Field field, QStringView text) {
  Row& r = rows_.at(row);
  switch (field) {
    case Field::kIndex:
      r.index = toUnsigned(text);
      break;
    case Field::kName:
      r.name = keep(text);
      break;
    case Field::kSize:
      r.size = toUnsigned(text);
      break;
    case Field::kType:
      r.type = keep(text);
      break;
    case Field::kPersistence:
      r.persistence = keep(text);
      break;
    case Field::kId:
      r.id = toUnsigned(text);
      break;
  }
}

void FileStorageRows::append(const FileStorageRows& other) {
  for (const Row& o : other.rows_) {
    Row r = o;
    r.name = keep(other.text(o.name));
    r.type = keep(other.text(o.type));
    r.persistence = keep(other.text(o.persistence));
    rows_.push_back(r);
  }
}

void FileStorageRows::clear() {
  rows_ = std::vector<Row>();
  texts_ = std::u16string();
}

void FileStorageRows::appendTo(DSMGetFileList_Response::c_OrxResponse& response) const {
  for (const Row& r : rows_) {
    FileStorage& f = appendEmpty(response);
    (void)f.set_FileIndex(r.index);
    (void)f.set_FileName(u16(text(r.name)));
    (void)f.set_FileSize(r.size);
    (void)f.set_FileType(u16(text(r.type)));
    (void)f.set_FilePersistence(u16(text(r.persistence)));
    (void)f.set_FileStorageFileID(r.id);
  }
}

// ---------------------------------------------------------------------------------------------
// The answer read as a stream

namespace {

using namespace xercesc;

// As for every packet: no external DTD or entity is fetched and entity expansion is bounded.
constexpr XMLSize_t kEntityExpansionLimit = 10000;

bool named(const XMLCh* name, const char16_t* expected) {
  return XMLString::equals(name, expected);
}

// SAX events to the rows of the table, by the rules that reading the answer's tree and then
// walking its table follow:
//  - elements count as children of an element only when they are its direct children in the tree:
//    an element inside an entity reference hangs under the reference node, not under the element
//    the reference stands in;
//  - an element's "text" is its first text node: character data up to the next child node of
//    any kind (element, comment, processing instruction, CDATA section, entity reference);
//  - per device: only the first ResponseParams, its first Errors and the first ResponseVariables
//    count; a device counts only when it has ResponseParams and no error (a Count that is not 0,
//    or an element from the first Error on that has a text node); the first row of each table
//    element adds its cells' names as columns; a cell sets the first column of its name at its
//    row's position, a cell of a name no column has is lost; the first column, and each column
//    named after a field, reach as far as their last cell;
//  - Result and Details are the text content of the one element of that name anywhere, "" when
//    there are none or several.
class AnswerReader final : public DefaultHandler {
 public:
  explicit AnswerReader(FileStorageRows& out) : out_(out) {}

  bool sawRoot() const { return sawRoot_; }
  bool rootIsResponse() const { return rootIsResponse_; }
  const QString& firstError() const { return firstError_; }
  // The text content of the one element of that name; "" when none or several.
  QString result() const {
    return results_ == 1 ? QString::fromStdU16String(resultText_) : QString();
  }
  QString details() const {
    return details_ == 1 ? QString::fromStdU16String(detailsText_) : QString();
  }

  void startElement(const XMLCh*, const XMLCh*, const XMLCh* name,
                    const Attributes& attributes) override;
  void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override;
  void characters(const XMLCh* chars, const XMLSize_t length) override;
  void ignorableWhitespace(const XMLCh* chars, const XMLSize_t length) override {
    characters(chars, length);
  }
  void processingInstruction(const XMLCh*, const XMLCh*) override { nodeBoundary(); }
  void comment(const XMLCh*, const XMLSize_t) override {
    if (!inDtd_) nodeBoundary();
  }
  void startCDATA() override {
    nodeBoundary();
    ++cdata_;
  }
  void endCDATA() override { --cdata_; }
  void startEntity(const XMLCh*) override {
    if (inDtd_) return;
    nodeBoundary();
    ++entity_;
  }
  void endEntity(const XMLCh*) override {
    if (!inDtd_) --entity_;
  }
  void startDTD(const XMLCh*, const XMLCh*, const XMLCh*) override { inDtd_ = true; }
  void endDTD() override { inDtd_ = false; }

  void warning(const SAXParseException&) override {}
  void error(const SAXParseException& e) override { keep(e); }
  void fatalError(const SAXParseException& e) override { keep(e); }
  void resetErrors() override { firstError_.clear(); }

 private:
  enum class Role : unsigned char {
    kIgnored,     // nothing in or below it matters
    kRoot,        // OrxResponse
    kDevice,      // a Device child of the root
    kParams,      // its first ResponseParams
    kErrors,      // the first Errors of that
    kErrorEntry,  // a child of Errors from the first Error on
    kVariables,   // the device's first ResponseVariables
    kValue,       // a child of that: a scalar, or a table once it has an element child
    kRow,         // a child of the table "scmFileStorageTable"
    kCell,        // a child of one of its rows
  };
  enum class Text : unsigned char { kNone, kOpen, kClosed };  // the element's first text node
  struct Frame {
    Role role;
    int entity;  // entity depth at its start
    Text text = Text::kNone;
    bool holdsResult = false;   // the first Result element
    bool holdsDetails = false;  // the first Details element
  };

  // Where a device's rows go: straight into the answer when the device is already known to
  // count, else held aside until the Device element ends; none once it is known not to count.
  enum class RowsTo : unsigned char { kAnswer, kAside, kNowhere };
  struct Device {
    bool paramsSeen = false, paramsEnded = false, errorsSeen = false, variablesSeen = false;
    bool errorEntries = false;  // the first Error child has been met
    bool hasError = false;
    std::vector<std::u16string> columns;  // of its "scmFileStorageTable"
    RowsTo rowsTo = RowsTo::kNowhere;
    std::size_t base = 0;  // the answer's rows before this device's (kAnswer)
    FileStorageRows aside;
  };

  void keep(const SAXParseException& e) {
    if (!firstError_.isEmpty()) return;
    firstError_ =
        QStringLiteral("line %1: %2").arg(e.getLineNumber()).arg(Zarvo::fromXml(e.getMessage()));
  }
  // A node other than text begins: the innermost element's first text node, if open, is over.
  void nodeBoundary() {
    if (!frames_.empty() && frames_.back().text == Text::kOpen) frames_.back().text = Text::kClosed;
  }
  Role roleOfChild(const Frame& parent, const XMLCh* name, const Attributes& attributes);
  void endCell();
  void endDevice();
  // Row `number` (from 1) of the device being read, made when missing; its rows and the place.
  std::pair<FileStorageRows*, std::size_t> row(std::size_t number) {
    FileStorageRows& rows = device_.rowsTo == RowsTo::kAside ? device_.aside : out_;
    const std::size_t at = (device_.rowsTo == RowsTo::kAside ? 0 : device_.base) + number - 1;
    rows.growTo(at + 1);
    return {&rows, at};
  }

  FileStorageRows& out_;
  std::vector<Frame> frames_;
  int entity_ = 0;
  int cdata_ = 0;
  bool inDtd_ = false;
  bool sawRoot_ = false, rootIsResponse_ = false;
  QString firstError_;
  int results_ = 0, details_ = 0;
  std::u16string resultText_, detailsText_;
  bool inResult_ = false, inDetails_ = false;

  Device device_;              // the Device element being read
  bool tableValue_ = false;    // the value element being read is "scmFileStorageTable"
  std::size_t valueRows_ = 0;  // rows of that element so far
  std::u16string cellName_;    // the cell being read
  std::u16string cellText_;    // its first text node
};

void AnswerReader::startElement(const XMLCh*, const XMLCh*, const XMLCh* name,
                                const Attributes& attributes) {
  nodeBoundary();
  Frame frame{Role::kIgnored, entity_};
  if (frames_.empty()) {
    sawRoot_ = true;
    rootIsResponse_ = named(name, u"OrxResponse");
    if (rootIsResponse_) frame.role = Role::kRoot;
  } else {
    const Frame& parent = frames_.back();
    // Inside an entity reference an element is no child of the element around the reference.
    if (entity_ == parent.entity) frame.role = roleOfChild(parent, name, attributes);
  }
  if (named(name, u"Result") && results_++ == 0) frame.holdsResult = inResult_ = true;
  if (named(name, u"Details") && details_++ == 0) frame.holdsDetails = inDetails_ = true;
  frames_.push_back(frame);
}

AnswerReader::Role AnswerReader::roleOfChild(const Frame& parent, const XMLCh* name,
                                             const Attributes& attributes) {
  switch (parent.role) {
    case Role::kRoot:
      if (!named(name, u"Device")) return Role::kIgnored;
      device_ = Device();
      return Role::kDevice;
    case Role::kDevice:
      if (named(name, u"ResponseParams") && !device_.paramsSeen) {
        device_.paramsSeen = true;
        return Role::kParams;
      }
      if (named(name, u"ResponseVariables") && !device_.variablesSeen) {
        device_.variablesSeen = true;
        // Known to count already (its parameters came first and reported no error), the rows go
        // straight into the answer; otherwise aside until the device's end decides.
        if (!device_.paramsEnded) {
          device_.rowsTo = RowsTo::kAside;
        } else if (!device_.hasError) {
          device_.rowsTo = RowsTo::kAnswer;
          device_.base = out_.size();
        }
        return Role::kVariables;
      }
      return Role::kIgnored;
    case Role::kParams:
      if (!named(name, u"Errors") || device_.errorsSeen) return Role::kIgnored;
      device_.errorsSeen = true;
      // Read as the tree reader does: a decimal, then cut to an int.
      if (int(Zarvo::domtree::toNumber(Zarvo::fromXml(attributes.getValue(u"Count")), 0)) != 0) {
        device_.hasError = true;
      }
      return Role::kErrors;
    case Role::kErrors:
      if (named(name, u"Error")) device_.errorEntries = true;
      return device_.errorEntries ? Role::kErrorEntry : Role::kIgnored;
    case Role::kVariables:
      tableValue_ = device_.rowsTo != RowsTo::kNowhere && named(name, u"scmFileStorageTable");
      valueRows_ = 0;
      return Role::kValue;
    case Role::kValue:  // a table, then: its element children are its rows
      if (!tableValue_) return Role::kIgnored;
      ++valueRows_;
      return Role::kRow;
    case Role::kRow:
      cellName_.assign(name, XMLString::stringLen(name));
      cellText_.clear();
      if (valueRows_ == 1) device_.columns.push_back(cellName_);  // the first row fixes them
      return Role::kCell;
    default:
      return Role::kIgnored;
  }
}

void AnswerReader::endElement(const XMLCh*, const XMLCh*, const XMLCh*) {
  const Frame frame = frames_.back();
  frames_.pop_back();
  if (frame.holdsResult) inResult_ = false;
  if (frame.holdsDetails) inDetails_ = false;
  switch (frame.role) {
    case Role::kCell:
      endCell();
      break;
    case Role::kErrorEntry:
      if (frame.text != Text::kNone) device_.hasError = true;  // an error with a message
      break;
    case Role::kParams:
      device_.paramsEnded = true;
      break;
    case Role::kDevice:
      endDevice();
      break;
    default:
      break;
  }
}

void AnswerReader::characters(const XMLCh* chars, const XMLSize_t length) {
  if (frames_.empty()) return;
  // Text content takes all character data below the element, whatever node holds it.
  if (inResult_) resultText_.append(chars, length);
  if (inDetails_) detailsText_.append(chars, length);
  Frame& top = frames_.back();
  // CDATA sections and entity references are nodes of their own, not text of the element.
  if (cdata_ != 0 || entity_ != top.entity || top.text == Text::kClosed) return;
  top.text = Text::kOpen;
  if (top.role == Role::kCell) cellText_.append(chars, length);
}

void AnswerReader::endCell() {
  const auto& columns = device_.columns;
  std::size_t column = 0;
  while (column < columns.size() && columns[column] != cellName_) ++column;
  if (column == columns.size()) return;  // no column of that name: the cell is lost
  const std::optional<Field> field = fieldOf(QStringView(cellName_));
  // The first column sets the row count whatever its name; other columns only when they fill a
  // field (a column longer than the first adds rows).
  if (column != 0 && !field) return;
  const auto [rows, at] = row(valueRows_);
  if (field) rows->set(at, *field, QStringView(cellText_));
}

void AnswerReader::endDevice() {
  if (device_.rowsTo == RowsTo::kAside && device_.paramsSeen && !device_.hasError) {
    out_.append(device_.aside);
  }
  device_ = Device();
}

}  // namespace

AnswerResult readFileStorageAnswer(const QByteArray& answer, FileStorageRows& rows) {
  Zarvo::ensureXercesInitialised();
  std::unique_ptr<SAX2XMLReader> parser(XMLReaderFactory::createXMLReader());
  // The settings of every packet's tree parse, so both read the same documents alike.
  parser->setFeature(XMLUni::fgSAX2CoreNameSpaces, false);
  parser->setFeature(XMLUni::fgSAX2CoreValidation, false);
  parser->setFeature(XMLUni::fgXercesSchema, false);
  parser->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
  parser->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
  SecurityManager security;
  security.setEntityExpansionLimit(kEntityExpansionLimit);
  parser->setProperty(XMLUni::fgXercesSecurityManager, &security);
  AnswerReader reader(rows);
  parser->setContentHandler(&reader);
  parser->setLexicalHandler(&reader);
  parser->setErrorHandler(&reader);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(answer.constData()),
                           XMLSize_t(answer.size()), "document");
  source.setCopyBufToStream(false);  // the answer lives through the parse; no second copy of it
  QString thrown;
  try {
    parser->parse(source);
  } catch (const XMLException& e) {
    thrown = Zarvo::fromXml(e.getMessage());
  } catch (const SAXException& e) {
    thrown = Zarvo::fromXml(e.getMessage());
  } catch (...) {
    thrown = QStringLiteral("the XML parser failed");
  }
  const XMLSize_t errors = parser->getErrorCount();
  parser->setProperty(XMLUni::fgXercesSecurityManager, nullptr);
  if (!thrown.isEmpty() || errors != 0 || !reader.sawRoot()) {
    throw Zarvo::WrongPacketFormat(!thrown.isEmpty() ? thrown
                                   : !reader.firstError().isEmpty()
                                       ? reader.firstError()
                                       : QStringLiteral("not an XML document"));
  }
  if (!reader.rootIsResponse()) {
    throw Zarvo::WrongPacketFormat(QStringLiteral("the root element is not OrxResponse"));
  }
  bool ok = false;
  AnswerResult result;
  result.result = reader.result().trimmed().toInt(&ok);
  if (!ok) result.result = 0;
  result.details = reader.details();
  return result;
}

std::unique_ptr<DSMGetFileListResponse> listDeviceFiles(Zarvo::ServiceClient& services,
                                                        quint32 deviceId,
                                                        const DeviceAddressPolicy& devices) {
  auto response = std::make_unique<DSMGetFileListResponse>();
  // The device management service knows identifiers up to 2^31-1 only; a larger one would go
  // out as a negative identifier or none at all and match every device. It names no device.
  if (deviceId > quint32(std::numeric_limits<qint32>::max())) return response;

  CmdDMSGetDeviceListRequest lookup;
  DeviceFilter filter;
  filter.id = qint32(deviceId);
  lookup.devices.append(filter);
  lookup.properties = fileListDeviceProperties();
  const auto found = services.callService<CmdDMSGetDeviceListResponse>(lookup, true);
  response->setResult(found->result(), found->details());
  if (found->result() != 0 || found->devices.isEmpty()) return response;

  // The record's address comes from another service, but it names what the SNMP service will
  // talk to: it passes the same check as an address in a request.
  const DeviceRecord& device = found->devices.first();
  const auto address = devices.connectable(device.property(QStringLiteral("IP")));
  if (!address) {
    response->setResult(0, QStringLiteral("DeviceDosntResponse"));
    return response;
  }
  CmdSNMPGetValuesRequest query;
  deviceReq entry = deviceRequestFor(device);
  entry.address = address->toString().toUtf8();
  entry.addVariable(kFileStorageTable);
  query.append(entry);
  AnswerResult values;
  Zarvo::ServiceClient::Answer answer = services.call(query, true);
  if (!answer.packet) {
    // The rows wait in their compact form until the answer's bytes are gone: the two together,
    // and then the rows as message elements, are each a fraction of holding all three at once.
    FileStorageRows rows;
    try {
      values = readFileStorageAnswer(answer.bytes, rows);
    } catch (const Zarvo::WrongPacketFormat& e) {
      const Zarvo::Failure failure = Zarvo::Failure::wrongResponse(e.message());
      values = AnswerResult{failure.result(), failure.details};
      rows.clear();
    }
    answer.bytes = QByteArray();
    if (values.result == 0) rows.appendTo(*response);
  } else if (auto* typed = dynamic_cast<CmdSNMPGetValuesResponse*>(answer.packet.get())) {
    // Answered in this process: already read.
    values = AnswerResult{typed->result(), typed->details()};
    for (deviceRes* device = typed->firstDevice(); device; device = typed->nextDevice()) {
      appendFileStorage(*device, *response);
    }
  } else {
    // A failure on the way, or an answer of another kind: its result and details only.
    try {
      values = AnswerResult{answer.packet->result(), answer.packet->details()};
    } catch (const Zarvo::WrongPacketFormat& e) {
      const Zarvo::Failure failure = Zarvo::Failure::wrongResponse(e.message());
      values = AnswerResult{failure.result(), failure.details};
    }
  }
  response->setResult(values.result, values.details);
  // Nothing of an answer that failed counts, the rows read before a fault included.
  if (values.result != 0) response->clear_FileStorage();
  return response;
}

}  // namespace Zarvo::dsm
