// Packets over the generated message classes: the one place where the framework meets the XML
// data-binding runtime. A packet is both a Zarvo::Packet and the generated root class T, so
// handlers use T's typed accessors directly while the dispatcher and the client see a Packet.
// The runtime reports integer codes; here they become WrongPacketFormat with the reader's or
// writer's error text.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>

#include "framework/Packet.h"
#include "lmx/lmx_read.h"
#include "lmx/lmx_reader.h"
#include "lmx/lmx_writer.h"

namespace Zarvo {

template <class T>
class LMXPacket : public Packet, public T {
 public:
  LMXPacket() = default;

  // Reads into a fresh message and keeps it only when the whole read succeeded, so a failed
  // read leaves the packet as it was and a second read never adds to the lists of the first.
  void fromByteArray(const QByteArray& bytes) override {
    lmx::c_read_memory source(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    lmx::c_xml_reader reader(source);
    T message;
    // The message's own read stops at the root's end; what follows must be no more than a
    // well-formed document allows.
    if (message.read(reader) != 0 || reader.end_of_document() != 0) {
      throw WrongPacketFormat(QString::fromStdString(reader.get_error_message()));
    }
    static_cast<T&>(*this) = std::move(message);
  }

  // UTF-8: the declaration, then the root start tag on the same line, a tab per level.
  // The writer's output goes straight into the bytes: a string stream and its copy would hold
  // the answer three times over, which for a large answer is the process's peak memory.
  void toByteArray(QByteArray& bytes) const override {
    QByteArray text;
    AppendBuffer buffer(text);
    std::ostream out(&buffer);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    lmx::c_xml_writer writer(out, "\t", "\n");
    if (T::write(writer) != 0) {
      throw WrongPacketFormat(QString::fromStdString(writer.get_error_message()));
    }
    bytes.swap(text);
  }

 private:
  // A stream buffer that appends everything written to a byte array.
  class AppendBuffer : public std::streambuf {
   public:
    explicit AppendBuffer(QByteArray& out) : out_(out) {}

   protected:
    int_type overflow(int_type c) override {
      if (!traits_type::eq_int_type(c, traits_type::eof())) out_.append(char(c));
      return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      out_.append(s, static_cast<qsizetype>(n));
      return n;
    }

   private:
    QByteArray& out_;
  };
};

template <class T>
class LMXRequest : public LMXPacket<T> {
 public:
  QString command() const override { return QString::fromStdU16String(T::get_command()); }
};

template <class T>
class LMXResponse : public LMXPacket<T> {
 public:
  void setResult(int result, const QString& details) override {
    (void)T::set_Result(result);
    (void)T::set_Details(details.toStdU16String());
  }
  int result() const override { return T::get_Result(); }
  QString details() const override { return QString::fromStdU16String(T::get_Details()); }
};

}  // namespace Zarvo
