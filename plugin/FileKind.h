// The four kinds of file a device stores, with the text the command messages use for each and
// the number the device's own web pages take for it. Everything that names a kind goes through
// here, so a text and its number cannot drift apart.
#pragma once

#include <QString>

namespace Zarvo::dsm {

enum class FileKind : int {
  kOther = 0,  // any text that is none of the four; the device pages get 0
  kPsFont = 1,
  kPsForm = 2,
  kPclFont = 3,
  kPclMacro = 4,
};

// "psFont", "psForm", "pclFont", "pclMacro"; "" for kOther.
[[nodiscard]] QString fileKindText(FileKind kind);
// The kind a text names, exactly as written (case matters); kOther for anything else.
[[nodiscard]] FileKind fileKindFromText(const QString& text);
// The number the device pages take for the kind ("FileType" field): 1 to 4, 0 for kOther.
[[nodiscard]] inline int fileKindCgiNumber(FileKind kind) { return static_cast<int>(kind); }

}  // namespace Zarvo::dsm
