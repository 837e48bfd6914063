#include "service/SystemdUnit.h"

#include <QFileInfo>

namespace Zarvo {

namespace {

constexpr int kMaxUnitNameBytes = 255;

// systemd expands "%" specifiers in every value; "%%" is a literal percent sign.
QString escapeSpecifiers(QString value) {
  return value.replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// ExecStart also expands "$NAME"; a quoted word keeps spaces, and backslash escapes inside it.
QString quotedCommandWord(const QString& word) {
  QString q = escapeSpecifiers(word);
  q.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  q.replace(QLatin1Char('"'), QStringLiteral("\\\""));
  q.replace(QLatin1Char('$'), QStringLiteral("$$"));
  return QLatin1Char('"') + q + QLatin1Char('"');
}

// Line breaks would end the value early and start a line of the file's own.
QString oneLine(QString value) {
  for (QChar& c : value)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char(' ');
  return value.trimmed();
}

bool hasControlCharacters(const QString& value) {
  for (QChar c : value)
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) return true;
  return false;
}

}  // namespace

bool isValidUnitName(const QString& name) {
  if (name.isEmpty()) return false;
  if (unitFileName(name).toUtf8().size() > kMaxUnitNameBytes) return false;
  for (QChar c : name) {
    const char16_t u = c.unicode();
    const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                    u == ':' || u == '-' || u == '_' || u == '.' || u == '\\';
    if (!ok) return false;
  }
  return true;
}

QString unitFileName(const QString& name) { return name + QStringLiteral(".service"); }

QByteArray systemdUnit(const ServiceSettings& s, const QString& origin) {
  if (s.executable.isEmpty() || hasControlCharacters(s.executable)) return QByteArray();
  const QString description = oneLine(s.description).isEmpty() ? s.name : oneLine(s.description);
  const QString directory = QFileInfo(s.executable).absolutePath();

  QString unit;
  unit += QStringLiteral("# ") + oneLine(origin) + QLatin1Char('\n');
  unit += QStringLiteral("[Unit]\n");
  unit += QStringLiteral("Description=%1\n").arg(escapeSpecifiers(description));
  unit += QStringLiteral("Wants=network-online.target\nAfter=network-online.target\n");
  if (s.cannotBeStopped) unit += QStringLiteral("RefuseManualStop=yes\n");
  unit += QStringLiteral("\n[Service]\n");
  // Ready only once the listener is open; the process says so itself.
  unit += QStringLiteral("Type=notify\nNotifyAccess=main\n");
  unit += QStringLiteral("ExecStart=%1\n").arg(quotedCommandWord(s.executable));
  // The configuration file and the file store are found relative to the executable's folder.
  unit += QStringLiteral("WorkingDirectory=%1\n").arg(escapeSpecifiers(directory));
  // Holds the control socket that carries pause, resume and user commands; only root gets in.
  unit += QStringLiteral("RuntimeDirectory=%1\nRuntimeDirectoryMode=0700\n")
              .arg(escapeSpecifiers(s.name));
  // The stop signal goes to the main process only, which stops in order; see kStopTimeoutSeconds.
  unit += QStringLiteral("KillMode=mixed\nTimeoutStopSec=%1\n").arg(kStopTimeoutSeconds);
  unit += QStringLiteral("\n[Install]\nWantedBy=multi-user.target\n");
  return unit.toUtf8();
}

QString unitExecutable(const QByteArray& unitText) {
  for (const QByteArray& rawLine : unitText.split('\n')) {
    const QByteArray line = rawLine.trimmed();
    if (!line.startsWith("ExecStart=")) continue;
    QString value = QString::fromUtf8(line.mid(int(qstrlen("ExecStart=")))).trimmed();
    // Prefixes that change how systemd runs the command, not what it runs.
    while (!value.isEmpty() && QStringLiteral("@-:+!").contains(value.at(0))) value.remove(0, 1);
    QString word;
    if (value.startsWith(QLatin1Char('"'))) {
      for (qsizetype i = 1; i < value.size() && value.at(i) != QLatin1Char('"'); ++i) {
        if (value.at(i) == QLatin1Char('\\') && i + 1 < value.size()) ++i;
        word += value.at(i);
      }
    } else {
      word = value.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    }
    return word.replace(QStringLiteral("%%"), QStringLiteral("%"))
        .replace(QStringLiteral("$$"), QStringLiteral("$"));
  }
  return QString();
}

QString shownExecutable(const QByteArray& showOutput) {
  const QString text = QString::fromUtf8(showOutput);
  const qsizetype at = text.indexOf(QStringLiteral("path="));
  if (at < 0) return QString();
  const qsizetype begin = at + 5;
  const qsizetype end = text.indexOf(QStringLiteral(" ;"), begin);
  return (end < 0 ? text.mid(begin) : text.mid(begin, end - begin)).trimmed();
}

}  // namespace Zarvo
