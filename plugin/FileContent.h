// File content inspection: files uploaded by users carry no trustworthy type, so the plug-in
// decides what a file is (PCL font, PCL macro, PostScript font, else PostScript form) by its
// bytes, reads the font or macro ID a PCL file assigns to itself, and rewrites a PCL file so
// that it assigns a chosen ID.
//
// Everything here works on untrusted bytes: every scan is bounded by the end of the data, and a
// scan that reaches the end without finding what it needs gives "not recognised" (kind 0) or
// declines the rewrite.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <utility>

#include "plugin/FileKind.h"

namespace Zarvo::dsm {

// What inspectPclFile found.
enum PclFileKind : int {
  kNotPcl = 0,
  kPclFont = 1,
  kPclMacro = 2,
};

// PCL IDs are 0 to 32767; this value stands for a file that assigns no ID.
inline constexpr quint16 kNoPclId = 65535;
inline constexpr int kMaxPclId = 32767;

struct PclFileInfo {
  int kind = kNotPcl;  // a PclFileKind value
  quint16 id = 0;      // 0 when kind is kNotPcl; kNoPclId when the file assigns none
};

// Recognises a PCL font (a font header, optionally after a font-ID assignment) or a PCL macro
// (a macro-ID or macro-control command). The first well-formed font-ID assignment decides on
// its own: without a font header after it the file is not PCL. Commands with IDs above 32767
// or cut off by the end of the data are skipped.
[[nodiscard]] PclFileInfo inspectPclFile(const QByteArray& bytes);

// A PostScript Type 1 font in text form names itself with "/FontName /<name> def".
// Returns (true, name) for such a font, (false, "") otherwise.
[[nodiscard]] std::pair<bool, QString> postScriptFontName(const QByteArray& bytes);

// The kind a file's bytes make it: a PCL font or macro, else a PostScript font, else (whatever
// else it holds) a PostScript form. For a PostScript font, `fontName` (if given) receives the
// name it is announced under; it is left alone otherwise.
[[nodiscard]] FileKind fileKindOfContent(const QByteArray& bytes, QString* fontName = nullptr);

// Rewrites a PCL font or macro so that it assigns `id`. Returns (false, {}) when the id is not
// a PCL ID (negative or above 32767), the data is empty, or the data holds no font-ID, font
// header or macro command to rewrite from. Bytes before the first such command are dropped.
[[nodiscard]] std::pair<bool, QByteArray> setPclFileId(const QByteArray& bytes, int id);

}  // namespace Zarvo::dsm
