// Small DOM helpers shared by the DOM messages (the SNMP value request and the device list
// lookup) and the suite's own DOM packets. Names that reach element or attribute names come from
// peers and callers, so a name that XML cannot hold becomes WrongPacketFormat instead of a
// DOMException escaping a write.
#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>
#include <xercesc/dom/DOM.hpp>

namespace Zarvo::domtree {

// Appends a new element (with a text child when `text` is given) and returns it.
xercesc::DOMElement* append(xercesc::DOMNode* parent, const QString& name);
xercesc::DOMElement* append(xercesc::DOMNode* parent, const QString& name, const QString& text);
void setAttribute(xercesc::DOMElement* element, const QString& name, const QString& value);

// Direct element children, in document order; `name` empty: every one.
std::vector<xercesc::DOMElement*> children(const xercesc::DOMNode* node,
                                           const QString& name = QString());
xercesc::DOMElement* firstChild(const xercesc::DOMNode* node, const QString& name);
// Elements of that name anywhere below `node`, in document order.
std::vector<xercesc::DOMElement*> descendants(const xercesc::DOMNode* node, const QString& name);

QString name(const xercesc::DOMNode* node);
// The attribute's value, or "" when absent; `present` tells which.
QString attribute(const xercesc::DOMElement* element, const QString& name, bool* present = nullptr);
// All text below the node, concatenated.
QString textContent(const xercesc::DOMNode* node);
// Decimal text to a number; `fallback` when it is not one.
qint64 toNumber(const QString& text, qint64 fallback);

// Throws WrongPacketFormat unless the document's root element has this name.
void requireRoot(const xercesc::DOMDocument* document, const QString& rootName);

// Fills the root element of `doc` with `fill` and returns `doc`; when `fill` throws, the half-built
// document is released before the exception goes on.
template <class Fill>
xercesc::DOMDocument* filled(xercesc::DOMDocument* doc, Fill fill) {
  try {
    fill(doc->getDocumentElement());
  } catch (...) {
    doc->release();
    throw;
  }
  return doc;
}

}  // namespace Zarvo::domtree
