// The DOM messages of the SNMP and device-management services as they travel: UTF-16 text after
// the declaration the DOM writer puts in front, and answers that are no response document.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringEncoder>

#include "framework/Packet.h"
#include "tests/fakes/HttpProbe.h"

namespace dom_packets {

inline const QString kDeclaration =
    QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"no\" ?>");

inline QByteArray utf16(const QString& text) {
  return QStringEncoder(QStringEncoder::Utf16LE)(text);
}

// What a packet writes, as text.
template <class P>
QString written(const P& packet) {
  QByteArray bytes;
  packet.toByteArray(bytes);
  return testing_http::fromUtf16Le(bytes);
}

// Answers that are no response document are a packet error, never read as an empty response.
template <class Response>
void expectNoResponseDocumentRefused() {
  const struct {
    const char* why;
    QByteArray bytes;
  } kBrokenAnswers[] = {
      {"an HTML error page", "<html><body><h1>502 Bad Gateway</h1><p>upstream</body></html>"},
      {"a well-formed page of another kind", "<html><body>Error</body></html>"},
      {"a cut body", "<OrxResponse><Result>0</Result><Details>OK</Details><Device ID=\"1\"><IP>"},
      {"nothing at all", ""},
  };
  for (const auto& b : kBrokenAnswers) {
    SCOPED_TRACE(b.why);
    Response r;
    EXPECT_THROW(r.fromByteArray(b.bytes), Zarvo::WrongPacketFormat);
  }
}

}  // namespace dom_packets
