// Inspection and ID rewriting over arbitrary uploaded bytes. The first two bytes choose the ID
// to set (shifted so that negative and out-of-range IDs come up too); the rest is the file.
#include <cstddef>
#include <cstdint>

#include "plugin/FileContent.h"

namespace {
void check(bool ok) {
  if (!ok) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace Zarvo::dsm;
  if (size < 2) return 0;
  const int id = int(data[0] | data[1] << 8) - 1000;
  const QByteArray file(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

  const PclFileInfo info = inspectPclFile(file);
  check(info.kind >= kNotPcl && info.kind <= kPclMacro);
  check(info.kind != kNotPcl || info.id == 0);
  check(info.id <= kMaxPclId || info.id == kNoPclId);

  const auto [isFont, name] = postScriptFontName(file);
  check(isFont != name.isEmpty());

  const auto [done, rewritten] = setPclFileId(file, id);
  if (done) {
    check(id >= 0 && id <= kMaxPclId);
    check(rewritten.startsWith('\x1b'));
    // The rewrite only ever drops bytes and adds a short command in front.
    check(rewritten.size() <= file.size() + 16);
    // The rewritten bytes are inspected again by the store: that must hold up too.
    const PclFileInfo after = inspectPclFile(rewritten);
    check(after.kind >= kNotPcl && after.kind <= kPclMacro);
  }
  return 0;
}
