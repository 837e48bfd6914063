// The DOM messages of the SNMP and device-management services as they travel: UTF-16 text after
// the declaration the DOM writer puts in front, and answers that are no response document.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringEncoder>

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

struct BrokenAnswer {
  const char* why;
  QByteArray bytes;
};

inline const BrokenAnswer kBrokenAnswers[] = {
    {"an HTML error page", "<html><body><h1>502 Bad Gateway</h1><p>upstream</body></html>"},
    {"a well-formed page of another kind", "<html><body>Error</body></html>"},
    {"a cut body", "<OrxResponse><Result>0</Result><Details>OK</Details><Device ID=\"1\"><IP>"},
    {"nothing at all", ""},
};

}  // namespace dom_packets
