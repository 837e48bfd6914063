// Inspection and ID rewriting of PCL files, and recognition of PostScript fonts in text form.
#include "plugin/FileContent.h"

#include <cstring>

namespace Zarvo::dsm {

namespace {

constexpr char kEsc = '\x1b';

// A run of decimal digits. The value saturates far above any PCL ID so that long runs cannot
// overflow; `complete` is false when the data ended inside the run, which makes the number
// invalid (the command it belongs to was cut off).
struct DigitRun {
  qsizetype end = 0;  // index of the first byte after the digits
  quint32 value = 0;
  bool complete = false;
};

DigitRun readDigits(const QByteArray& bytes, qsizetype pos) {
  DigitRun run;
  const qsizetype size = bytes.size();
  while (pos < size && bytes[pos] >= '0' && bytes[pos] <= '9') {
    if (run.value <= 0xFFFFFF) run.value = run.value * 10 + quint32(bytes[pos] - '0');
    ++pos;
  }
  run.end = pos;
  run.complete = pos < size;
  return run;
}

bool isPclId(const DigitRun& run) { return run.complete && run.value <= quint32(kMaxPclId); }

// True when the two bytes after the ESC at `esc` are `a` `b`.
bool commandAt(const QByteArray& bytes, qsizetype esc, char a, char b) {
  return esc + 2 < bytes.size() && bytes[esc + 1] == a && bytes[esc + 2] == b;
}

// After a font-ID assignment the font counts only when a font header follows it: the "D" that
// ends the assignment directly followed by ESC ")s" <digits> "W".
bool fontHeaderFollows(const QByteArray& bytes, qsizetype from) {
  static const QByteArray kEndThenHeader("D\x1b)s");
  for (qsizetype at = bytes.indexOf(kEndThenHeader, from); at >= 0;
       at = bytes.indexOf(kEndThenHeader, at + 1)) {
    const DigitRun headerSize = readDigits(bytes, at + kEndThenHeader.size());
    if (headerSize.complete && bytes[headerSize.end] == 'W') return true;
  }
  return false;
}

}  // namespace

PclFileInfo inspectPclFile(const QByteArray& bytes) {
  const qsizetype size = bytes.size();
  qsizetype i = 0;
  while (i < size) {
    if (bytes[i] != kEsc) {
      // Only an ESC can start a command: jump to the next one (most of a file is data).
      const void* next = std::memchr(bytes.constData() + i, kEsc, size_t(size - i));
      if (!next) break;
      i = static_cast<const char*>(next) - bytes.constData();
    }
    if (commandAt(bytes, i, '*', 'c')) {
      const DigitRun id = readDigits(bytes, i + 3);
      if (!isPclId(id)) {
        i = id.end;
        continue;
      }
      // The search for the header consumes the rest of the data: a font-ID assignment
      // without a header after it leaves the file unrecognised.
      if (fontHeaderFollows(bytes, id.end)) return {kPclFont, quint16(id.value)};
      return {};
    }
    if (commandAt(bytes, i, ')', 's')) {
      const DigitRun headerSize = readDigits(bytes, i + 3);
      if (headerSize.complete && bytes[headerSize.end] == 'W') return {kPclFont, kNoPclId};
      i = headerSize.end;
      continue;
    }
    if (commandAt(bytes, i, '&', 'f')) {
      const DigitRun id = readDigits(bytes, i + 3);
      if (isPclId(id)) {
        const char final = bytes[id.end];
        if (final == 'Y' || final == 'y') return {kPclMacro, quint16(id.value)};
        if (final == 'X' || final == 'x') return {kPclMacro, kNoPclId};
      }
      i = id.end;
      continue;
    }
    ++i;
  }
  return {};
}

std::pair<bool, QString> postScriptFontName(const QByteArray& bytes) {
  static const QByteArray kFontMarker("%!PS-AdobeFont");
  static const QByteArray kFontName("/FontName");
  if (!bytes.contains(kFontMarker)) return {false, QString()};
  const qsizetype key = bytes.indexOf(kFontName);
  if (key < 0) return {false, QString()};
  const qsizetype start = key + kFontName.size();
  const qsizetype def = bytes.indexOf("def", start);
  if (def < 0) return {false, QString()};  // no end to the name: not a usable font
  const QByteArray text = bytes.mid(start, def - start).trimmed();
  // A lone "/" names nothing: a font without a name cannot be announced to a device.
  if (text.size() < 2 || text[0] != '/') return {false, QString()};
  return {true, QString::fromLatin1(text.mid(1))};
}

FileKind fileKindOfContent(const QByteArray& bytes, QString* fontName) {
  const PclFileInfo pcl = inspectPclFile(bytes);
  if (pcl.kind == kPclFont) return FileKind::kPclFont;
  if (pcl.kind == kPclMacro) return FileKind::kPclMacro;
  auto font = postScriptFontName(bytes);
  if (!font.first) return FileKind::kPsForm;
  if (fontName) *fontName = std::move(font.second);
  return FileKind::kPsFont;
}

std::pair<bool, QByteArray> setPclFileId(const QByteArray& bytes, int id) {
  const std::pair<bool, QByteArray> declined{false, QByteArray()};
  if (id < 0 || id > kMaxPclId || bytes.isEmpty()) return declined;

  // A font-ID assignment carries no digits for ID 0: the device takes the empty number as 0.
  const QByteArray digits = id == 0 ? QByteArray() : QByteArray::number(id);

  for (qsizetype i = bytes.indexOf(kEsc); i >= 0; i = bytes.indexOf(kEsc, i + 1)) {
    if (commandAt(bytes, i, '*', 'c')) {
      // Replace the old ID digits: keep everything from the "D" that ends the assignment.
      const qsizetype end = bytes.indexOf('D', i + 3);
      if (end < 0) return declined;
      return {true, QByteArray("\x1b*c") + digits + bytes.mid(end)};
    }
    if (commandAt(bytes, i, ')', 's')) {
      // A bare font header: put an ID assignment in front of it.
      return {true, QByteArray("\x1b*c") + digits + 'D' + bytes.mid(i)};
    }
    if (commandAt(bytes, i, '&', 'f')) {
      // A macro: reset, assign the ID, then the definition from its start command on. Any
      // ID or control commands before the definition are replaced by ours.
      static const QByteArray kDefinitionStart("\x1b&f0");
      for (qsizetype at = bytes.indexOf(kDefinitionStart, i); at >= 0;
           at = bytes.indexOf(kDefinitionStart, at + 1)) {
        const qsizetype final = at + kDefinitionStart.size();
        if (final < bytes.size() && (bytes[final] == 'X' || bytes[final] == 'x')) {
          return {true, QByteArray("\x1b"
                                   "E\x1b&f") +
                            QByteArray::number(id) + 'Y' + bytes.mid(at)};
        }
      }
      return declined;
    }
  }
  return declined;
}

}  // namespace Zarvo::dsm
