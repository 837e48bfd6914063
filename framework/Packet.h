// Packets: the XML documents that cross every service boundary. A request's root is
// "OrxRequest" with the attribute "command"; a response's root is "OrxResponse" whose first
// children are "Result" and "Details". This file holds the abstract packet and the DOM family
// (Xerces-C), which writes UTF-16 and reads either encoding.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <memory>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

#include "framework/ResultCode.h"

namespace Zarvo {

// A packet that cannot be read or written, or an operation a packet class does not have.
class WrongPacketFormat {
 public:
  explicit WrongPacketFormat(QString message = QString()) : message_(std::move(message)) {}
  const QString& message() const { return message_; }

 private:
  QString message_;
};

class Packet {
 public:
  virtual ~Packet() = default;
  virtual void fromByteArray(const QByteArray& bytes) = 0;
  virtual void toByteArray(QByteArray& bytes) const = 0;
  // The defaults throw WrongPacketFormat with an empty message: a response has no command,
  // a request has no result.
  virtual QString command() const;
  virtual void setResult(int result, const QString& details);
  virtual int result() const;
  virtual QString details() const;
};

using PacketPtr = std::unique_ptr<Packet>;

// Initialises Xerces-C once per process (idempotent, thread-safe); the DOM packets call it.
void ensureXercesInitialised();

// A packet held as a Xerces-C DOM document.
class PacketDOM : public Packet {
 public:
  using Fields = QList<QPair<QString, QString>>;

  PacketDOM();
  ~PacketDOM() override;
  PacketDOM(const PacketDOM&) = delete;
  PacketDOM& operator=(const PacketDOM&) = delete;

  // Parses with external DTDs and entities off and entity expansion bounded; bytes that are
  // not a well-formed document throw WrongPacketFormat with the parser's message.
  void fromByteArray(const QByteArray& bytes) override;
  // UTF-16LE without BOM, beginning with the writer's UTF-16 declaration.
  void toByteArray(QByteArray& bytes) const override;

  xercesc::DOMDocument* document() const { return document_; }

  // Tree helpers for derived packets.
  static xercesc::DOMNode* firstChildOfType(const xercesc::DOMNode* node, short nodeType);
  static QString textOf(const xercesc::DOMNode* node);
  xercesc::DOMElement* appendElement(xercesc::DOMNode* parent, const QString& name) const;
  xercesc::DOMElement* appendElement(xercesc::DOMNode* parent, const QString& name,
                                     const QString& text) const;
  xercesc::DOMElement* addElement(const QString& name, const QString& text,
                                  const QString& id = QString());
  // Text content when exactly one element of that name exists below the root, else "".
  QString elementText(const QString& name) const;
  static Fields childElements(const xercesc::DOMNode* node);
  static QMap<QString, QString> childElementMap(const xercesc::DOMNode* node);

 protected:
  // Builds the empty document of this packet kind.
  virtual xercesc::DOMDocument* createDocument() const = 0;
  // The document, created on first use.
  xercesc::DOMDocument* ensureDocument() const;
  // Drops the document so the next write builds it afresh from the packet's fields.
  void discardDocument() { releaseDocument(); }

 private:
  void releaseDocument();

  mutable xercesc::DOMDocument* document_ = nullptr;
  mutable bool ownsDocument_ = false;
  std::unique_ptr<xercesc::XercesDOMParser> parser_;  // owns a parsed document
};

class RequestPacket : public PacketDOM {
 public:
  explicit RequestPacket(QString command) : command_(std::move(command)) {}
  QString command() const override { return command_; }

 protected:
  xercesc::DOMDocument* createDocument() const override;

 private:
  QString command_;  // kept as constructed; the attribute of read bytes is not read back
};

class ResponsePacket : public PacketDOM {
 public:
  // Details "OK" for 0, "Fail" otherwise.
  explicit ResponsePacket(int result = 0);
  ResponsePacket(int result, QString details);
  explicit ResponsePacket(const Failure& failure)
      : ResponsePacket(failure.result(), failure.details) {}

  void fromByteArray(const QByteArray& bytes) override;
  // The same bytes as the DOM writer. The host's own answers (unknown command, paused service)
  // are written without building a tree: short plain-ASCII details need no escaping.
  void toByteArray(QByteArray& bytes) const override;
  void setResult(int result, const QString& details) override;
  int result() const override { return result_; }
  QString details() const override { return details_; }

 protected:
  xercesc::DOMDocument* createDocument() const override;

 private:
  int result_;
  QString details_;
};

// Parses bytes with the settings every untrusted document gets here: no validation, no
// namespaces, no external DTD or entity ever fetched, entity expansion bounded. Returns the
// parser (which owns the document) or null with `error` set to the parser's message.
std::unique_ptr<xercesc::XercesDOMParser> parseDocument(const QByteArray& bytes, QString* error);

// Conversion helpers between Xerces strings and QString.
QString fromXml(const XMLCh* text);
const XMLCh* toXml(const QString& text);  // valid while `text` lives unchanged

}  // namespace Zarvo
