// Byte helpers for byte-exact tests: build byte arrays from readable text and print them so
// that a failed comparison shows where the bytes differ.
#pragma once

#include <QByteArray>
#include <QString>
#include <ostream>
#include <string>

namespace testing_bytes {

// The bytes of a string literal, embedded NULs included: bytes("a\0b", 3) or bytes(std::string).
QByteArray bytes(const char* data, qsizetype size);
QByteArray bytes(const std::string& s);

// Printable form: ASCII stays, CR/LF/TAB/ESC are shown as \r \n \t \e, other bytes as \xHH.
std::string hex(const QByteArray& b);
std::string hex(const std::string& b);

}  // namespace testing_bytes

// Readable failure messages for Qt's strings (gtest finds them beside the types): text as UTF-8,
// bytes in the printable form above.
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QByteArray& bytes, std::ostream* out);
