#include "framework/Packet.h"

#include <QStringEncoder>
#include <typeinfo>

#include <mutex>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>

using namespace xercesc;

namespace Zarvo {

QString Packet::command() const { throw WrongPacketFormat(); }
void Packet::setResult(int, const QString&) { throw WrongPacketFormat(); }
int Packet::result() const { throw WrongPacketFormat(); }
QString Packet::details() const { throw WrongPacketFormat(); }

void ensureXercesInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { XMLPlatformUtils::Initialize(); });
}

QString fromXml(const XMLCh* text) {
  return text ? QString::fromUtf16(text) : QString();
}

const XMLCh* toXml(const QString& text) { return reinterpret_cast<const XMLCh*>(text.utf16()); }

namespace {

// Packets travel as UTF-16LE without byte-order mark, whatever the host's byte order.
QByteArray toUtf16Le(QStringView text) {
  QStringEncoder encoder(QStringConverter::Utf16LE);
  return encoder(text);
}

// Keeps the first fatal or error message of a parse; warnings are ignored.
class FirstErrorHandler : public ErrorHandler {
 public:
  void warning(const SAXParseException&) override {}
  void error(const SAXParseException& e) override { keep(e); }
  void fatalError(const SAXParseException& e) override { keep(e); }
  void resetErrors() override { message_.clear(); }
  const QString& message() const { return message_; }

 private:
  void keep(const SAXParseException& e) {
    if (!message_.isEmpty()) return;
    message_ = QStringLiteral("line %1: %2").arg(e.getLineNumber()).arg(fromXml(e.getMessage()));
  }
  QString message_;
};

// Packets come from any peer: no external DTD or entity is ever fetched and entity expansion
// is bounded, so a hostile body cannot make the parser read files or exhaust memory.
constexpr XMLSize_t kEntityExpansionLimit = 10000;

}  // namespace

PacketDOM::PacketDOM() { ensureXercesInitialised(); }

PacketDOM::~PacketDOM() { releaseDocument(); }

void PacketDOM::releaseDocument() {
  if (document_ && ownsDocument_) document_->release();
  document_ = nullptr;
  ownsDocument_ = false;
  parser_.reset();
}

void PacketDOM::fromByteArray(const QByteArray& bytes) {
  releaseDocument();
  QString error;
  auto parser = parseDocument(bytes, &error);
  if (!parser) throw WrongPacketFormat(error);
  document_ = parser->getDocument();
  ownsDocument_ = false;
  parser_ = std::move(parser);
}

std::unique_ptr<XercesDOMParser> parseDocument(const QByteArray& bytes, QString* error) {
  ensureXercesInitialised();
  auto parser = std::make_unique<XercesDOMParser>();
  parser->setValidationScheme(XercesDOMParser::Val_Never);
  parser->setDoNamespaces(false);
  parser->setLoadExternalDTD(false);
  parser->setDisableDefaultEntityResolution(true);
  SecurityManager security;
  security.setEntityExpansionLimit(kEntityExpansionLimit);
  parser->setSecurityManager(&security);
  FirstErrorHandler errors;
  parser->setErrorHandler(&errors);
  MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.constData()),
                           XMLSize_t(bytes.size()), "document");
  QString thrown;
  try {
    parser->parse(source);
  } catch (const XMLException& e) {
    thrown = fromXml(e.getMessage());
  } catch (const DOMException& e) {
    thrown = fromXml(e.getMessage());
  } catch (...) {
    thrown = QStringLiteral("the XML parser failed");
  }
  parser->setErrorHandler(nullptr);
  parser->setSecurityManager(nullptr);
  if (!thrown.isEmpty() || parser->getErrorCount() != 0 || !parser->getDocument() ||
      !parser->getDocument()->getDocumentElement()) {
    if (error) {
      *error = !thrown.isEmpty()               ? thrown
               : !errors.message().isEmpty() ? errors.message()
                                             : QStringLiteral("not an XML document");
    }
    return nullptr;
  }
  return parser;
}

DOMDocument* PacketDOM::ensureDocument() const {
  if (!document_) {
    document_ = createDocument();
    ownsDocument_ = true;
  }
  return document_;
}

void PacketDOM::toByteArray(QByteArray& bytes) const {
  DOMDocument* doc = ensureDocument();
  DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"Core");
  DOMLSSerializer* writer = impl->createLSSerializer();
  XMLCh* text = nullptr;
  try {
    text = writer->writeToString(doc);
  } catch (...) {
    writer->release();
    throw WrongPacketFormat(QStringLiteral("the DOM writer failed"));
  }
  writer->release();
  const XMLSize_t n = text ? XMLString::stringLen(text) : 0;
  bytes = toUtf16Le(QStringView(text, qsizetype(n)));
  XMLString::release(&text);
}

DOMNode* PacketDOM::firstChildOfType(const DOMNode* node, short nodeType) {
  if (!node) return nullptr;
  for (DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    if (c->getNodeType() == nodeType) return c;
  }
  return nullptr;
}

QString PacketDOM::textOf(const DOMNode* node) {
  const DOMNode* text = firstChildOfType(node, DOMNode::TEXT_NODE);
  return text ? fromXml(text->getNodeValue()) : QString();
}

DOMElement* PacketDOM::appendElement(DOMNode* parent, const QString& name) const {
  DOMElement* e = ensureDocument()->createElement(toXml(name));
  parent->appendChild(e);
  return e;
}

DOMElement* PacketDOM::appendElement(DOMNode* parent, const QString& name,
                                     const QString& text) const {
  DOMElement* e = appendElement(parent, name);
  e->appendChild(ensureDocument()->createTextNode(toXml(text)));
  return e;
}

DOMElement* PacketDOM::addElement(const QString& name, const QString& text, const QString& id) {
  DOMElement* e = appendElement(ensureDocument()->getDocumentElement(), name, text);
  if (!id.isEmpty()) e->setAttribute(u"ID", toXml(id));
  return e;
}

QString PacketDOM::elementText(const QString& name) const {
  if (!document_ || !document_->getDocumentElement()) return QString();
  DOMNodeList* list = document_->getDocumentElement()->getElementsByTagName(toXml(name));
  if (!list || list->getLength() != 1) return QString();
  return fromXml(list->item(0)->getTextContent());
}

PacketDOM::Fields PacketDOM::childElements(const DOMNode* node) {
  Fields fields;
  if (!node) return fields;
  for (DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    if (c->getNodeType() == DOMNode::ELEMENT_NODE) {
      fields.append({fromXml(c->getNodeName()), fromXml(c->getTextContent())});
    }
  }
  return fields;
}

QMap<QString, QString> PacketDOM::childElementMap(const DOMNode* node) {
  QMap<QString, QString> map;
  for (const auto& f : childElements(node)) map.insert(f.first, f.second);
  return map;
}

DOMDocument* RequestPacket::createDocument() const {
  DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"Core");
  DOMDocument* doc = impl->createDocument(nullptr, u"OrxRequest", nullptr);
  doc->getDocumentElement()->setAttribute(u"command", toXml(command_));
  return doc;
}

ResponsePacket::ResponsePacket(int result)
    : result_(result), details_(result == 0 ? QStringLiteral("OK") : QStringLiteral("Fail")) {}

ResponsePacket::ResponsePacket(int result, QString details)
    : result_(result), details_(std::move(details)) {}

void ResponsePacket::fromByteArray(const QByteArray& bytes) {
  PacketDOM::fromByteArray(bytes);
  bool ok = false;
  result_ = elementText(QStringLiteral("Result")).trimmed().toInt(&ok);
  if (!ok) result_ = 0;
  details_ = elementText(QStringLiteral("Details"));
}

namespace {
// Text the DOM writer copies unchanged into element content: printable ASCII without the
// characters it may escape (quotes are not among them: "Can't handle command" is the host's
// most frequent answer). Empty text is left to the writer too.
bool isPlainText(const QString& text) {
  if (text.isEmpty()) return false;
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20 || u > 0x7E || u == '<' || u == '>' || u == '&') {
      return false;
    }
  }
  return true;
}
}  // namespace

void ResponsePacket::toByteArray(QByteArray& bytes) const {
  // Only for this exact class: a derived packet may build a different document.
  if (typeid(*this) != typeid(ResponsePacket) || document() != nullptr || !isPlainText(details_)) {
    PacketDOM::toByteArray(bytes);
    return;
  }
  const QString text = QStringLiteral(
                           "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?>"
                           "<OrxResponse><Result>") +
                       QString::number(result_) + QStringLiteral("</Result><Details>") + details_ +
                       QStringLiteral("</Details></OrxResponse>");
  bytes = toUtf16Le(text);
}

void ResponsePacket::setResult(int result, const QString& details) {
  result_ = result;
  details_ = details;
  discardDocument();  // a document written before must not carry the old values
}

DOMDocument* ResponsePacket::createDocument() const {
  DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"Core");
  DOMDocument* doc = impl->createDocument(nullptr, u"OrxResponse", nullptr);
  DOMElement* root = doc->getDocumentElement();
  DOMElement* r = doc->createElement(u"Result");
  const QString resultText = QString::number(result_);
  r->appendChild(doc->createTextNode(toXml(resultText)));
  root->appendChild(r);
  DOMElement* d = doc->createElement(u"Details");
  d->appendChild(doc->createTextNode(toXml(details_)));
  root->appendChild(d);
  return doc;
}

}  // namespace Zarvo
