#include "messages/DomTree.h"

#include "framework/Packet.h"

using namespace xercesc;
using Zarvo::fromXml;
using Zarvo::toXml;

namespace Zarvo::domtree {

namespace {

[[noreturn]] void badName(const QString& what, const QString& name) {
  throw Zarvo::WrongPacketFormat(QStringLiteral("not a valid XML %1 name: \"%2\"").arg(what, name));
}

}  // namespace

DOMElement* append(DOMNode* parent, const QString& name) {
  DOMDocument* doc = parent->getNodeType() == DOMNode::DOCUMENT_NODE
                         ? static_cast<DOMDocument*>(parent)
                         : parent->getOwnerDocument();
  DOMElement* e = nullptr;
  try {
    e = doc->createElement(toXml(name));
  } catch (const DOMException&) {
    badName(QStringLiteral("element"), name);
  }
  parent->appendChild(e);
  return e;
}

DOMElement* append(DOMNode* parent, const QString& name, const QString& text) {
  DOMElement* e = append(parent, name);
  e->appendChild(e->getOwnerDocument()->createTextNode(toXml(text)));
  return e;
}

void setAttribute(DOMElement* element, const QString& name, const QString& value) {
  try {
    element->setAttribute(toXml(name), toXml(value));
  } catch (const DOMException&) {
    badName(QStringLiteral("attribute"), name);
  }
}

std::vector<DOMElement*> children(const DOMNode* node, const QString& name) {
  std::vector<DOMElement*> out;
  if (!node) return out;
  for (DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    if (c->getNodeType() != DOMNode::ELEMENT_NODE) continue;
    if (name.isEmpty() || XMLString::equals(c->getNodeName(), toXml(name))) {
      out.push_back(static_cast<DOMElement*>(c));
    }
  }
  return out;
}

DOMElement* firstChild(const DOMNode* node, const QString& name) {
  if (!node) return nullptr;
  for (DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    if (c->getNodeType() == DOMNode::ELEMENT_NODE &&
        XMLString::equals(c->getNodeName(), toXml(name))) {
      return static_cast<DOMElement*>(c);
    }
  }
  return nullptr;
}

std::vector<DOMElement*> descendants(const DOMNode* node, const QString& name) {
  std::vector<DOMElement*> out;
  if (!node || name.isEmpty()) return out;
  DOMNodeList* list = nullptr;
  if (node->getNodeType() == DOMNode::ELEMENT_NODE) {
    list = static_cast<const DOMElement*>(node)->getElementsByTagName(toXml(name));
  } else if (node->getNodeType() == DOMNode::DOCUMENT_NODE) {
    list = static_cast<const DOMDocument*>(node)->getElementsByTagName(toXml(name));
  }
  if (!list) return out;
  const XMLSize_t n = list->getLength();
  out.reserve(n);
  for (XMLSize_t i = 0; i < n; ++i) out.push_back(static_cast<DOMElement*>(list->item(i)));
  return out;
}

QString name(const DOMNode* node) { return node ? fromXml(node->getNodeName()) : QString(); }

QString attribute(const DOMElement* element, const QString& name, bool* present) {
  const DOMAttr* a = element ? element->getAttributeNode(toXml(name)) : nullptr;
  if (present) *present = a != nullptr;
  return a ? fromXml(a->getValue()) : QString();
}

QString textContent(const DOMNode* node) {
  return node ? fromXml(node->getTextContent()) : QString();
}

qint64 toNumber(const QString& text, qint64 fallback) {
  bool ok = false;
  const qint64 n = text.trimmed().toLongLong(&ok, 10);
  return ok ? n : fallback;
}

void requireRoot(const DOMDocument* document, const QString& rootName) {
  const DOMElement* root = document ? document->getDocumentElement() : nullptr;
  if (!root || name(root) != rootName) {
    throw Zarvo::WrongPacketFormat(QStringLiteral("the root element is not %1").arg(rootName));
  }
}

}  // namespace Zarvo::domtree
