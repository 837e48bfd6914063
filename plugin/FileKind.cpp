#include "plugin/FileKind.h"

#include <array>

namespace Zarvo::dsm {

namespace {

struct KindText {
  FileKind kind;
  const char* text;
};
constexpr std::array<KindText, 4> kTexts = {{{FileKind::kPsFont, "psFont"},
                                             {FileKind::kPsForm, "psForm"},
                                             {FileKind::kPclFont, "pclFont"},
                                             {FileKind::kPclMacro, "pclMacro"}}};

}  // namespace

QString fileKindText(FileKind kind) {
  for (const KindText& k : kTexts) {
    if (k.kind == kind) return QString::fromLatin1(k.text);
  }
  return QString();
}

FileKind fileKindFromText(const QString& text) {
  for (const KindText& k : kTexts) {
    if (text == QLatin1String(k.text)) return k.kind;
  }
  return FileKind::kOther;
}

}  // namespace Zarvo::dsm
