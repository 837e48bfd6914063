// The four kinds of file a device stores when they arrive on its raw print port: PCL fonts,
// PCL macros, PostScript fonts and PostScript forms. Each kind wraps its content in the PJL
// header and trailer that make the device store the bytes instead of printing them; a sender
// writes header(), content() and trailer() back to back, with nothing in between.
//
// Names that go into a PJL line come from files and requests, so they are checked: a control
// byte would end the PJL line early and let the rest of the name run as printer commands.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace Zarvo::dsm {

class TCP9100File {
 public:
  // A name for the PJL line holds a control byte (below 0x20, or 0x7F).
  class BadName : public std::exception {
   public:
    const char* what() const noexcept override { return "TCP9100File::BadName"; }
  };

  virtual ~TCP9100File();

  // Each call returns new bytes.
  [[nodiscard]] virtual QByteArray header() const = 0;
  [[nodiscard]] virtual QByteArray trailer() const = 0;

  // The bytes written between header and trailer.
  [[nodiscard]] const QByteArray& content() const { return content_; }

  // The PJL checksum: the sum of the bytes taken as 0 to 255, modulo 256.
  [[nodiscard]] static int checksumOf(const QByteArray& bytes);

 protected:
  explicit TCP9100File(QByteArray content);

  // Throws BadName when `name` cannot travel safely inside a PJL line.
  static void checkPjlName(const QString& name);

  QByteArray content_;
};

class TCP9100FilePCLFont : public TCP9100File {
 public:
  explicit TCP9100FilePCLFont(QByteArray content);
  [[nodiscard]] QByteArray header() const override;
  [[nodiscard]] QByteArray trailer() const override;
};

class TCP9100FilePCLMacro : public TCP9100File {
 public:
  explicit TCP9100FilePCLMacro(QByteArray content);
  [[nodiscard]] QByteArray header() const override;
  [[nodiscard]] QByteArray trailer() const override;
};

// A PostScript font. Devices take fonts only in text form, so a font in the segmented binary
// format is converted on construction; a font already in text form is kept as it is.
class TCP9100FilePSFont : public TCP9100File {
 public:
  // The binary font is malformed: an unknown segment type, or a segment cut off by the end
  // of the data.
  class Binary2AsciiError : public std::exception {
   public:
    const char* what() const noexcept override { return "TCP9100FilePSFont::Binary2AsciiError"; }
  };

  // Throws Binary2AsciiError or BadName.
  TCP9100FilePSFont(const QString& fontName, const QByteArray& content);

  [[nodiscard]] QByteArray header() const override;
  [[nodiscard]] QByteArray trailer() const override;
  [[nodiscard]] int checksum() const { return checksum_; }
  [[nodiscard]] const QString& name() const { return name_; }

  // The text form of a font in the segmented binary format: text segments with CR before
  // every LF, binary segments as lowercase hex in lines of 64 digits, CR LF wherever text and
  // hex meet. Data that does not start a segment where one is due is returned unchanged (a
  // font already in text form). Throws Binary2AsciiError.
  [[nodiscard]] static QByteArray binaryToAscii(const QByteArray& font);

 private:
  int checksum_;
  QString name_;
};

// A PostScript form, stored under the last component of the file name it was uploaded as.
class TCP9100FilePSForm : public TCP9100File {
 public:
  // Throws BadName.
  TCP9100FilePSForm(const QString& fileName, QByteArray content);

  [[nodiscard]] QByteArray header() const override;
  [[nodiscard]] QByteArray trailer() const override;
  [[nodiscard]] int checksum() const { return checksum_; }
  [[nodiscard]] const QString& name() const { return name_; }

 private:
  int checksum_;
  QString name_;
};

}  // namespace Zarvo::dsm
