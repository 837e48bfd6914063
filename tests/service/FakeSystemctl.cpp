#include "tests/service/FakeSystemctl.h"

#include <QFile>

namespace {
const char kScript[] = R"sh(#!/bin/sh
d="$(dirname "$0")"
printf '%s\n' "$*" >> "$d/calls"
if [ -f "$d/fail-$1" ]; then cat "$d/fail-$1" >&2; exit 1; fi
case "$1" in
  show) p="${2#--property=}"; if [ -f "$d/$p" ]; then cat "$d/$p"; fi ;;
  stop) if [ -f "$d/stop-sets" ]; then cp "$d/stop-sets" "$d/ActiveState"; fi ;;
esac
exit 0
)sh";
}  // namespace

FakeSystemctl::FakeSystemctl() {
  QFile script(program());
  valid_ = dir_.isValid() && script.open(QIODevice::WriteOnly) && script.write(kScript) > 0;
  script.close();
  valid_ = valid_ && script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
}

QString FakeSystemctl::program() const { return dir_.filePath("systemctl"); }

void FakeSystemctl::set(const QString& file, const QByteArray& content) {
  QFile f(dir_.filePath(file));
  if (f.open(QIODevice::WriteOnly)) f.write(content);
}

void FakeSystemctl::remove(const QString& file) { QFile::remove(dir_.filePath(file)); }

QStringList FakeSystemctl::calls() const {
  QFile f(dir_.filePath("calls"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

void FakeSystemctl::clearCalls() { remove("calls"); }
