#include "service/SystemdUnit.h"

#include <QDir>
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

QString serviceUserLine() {
  return QStringLiteral("u %1 - \"Printer fleet storage services\" /var/lib/%2")
      .arg(kServiceUser, kServiceFolder);
}

bool isHiddenFromServices(const QString& path) {
  const QString clean = QDir::cleanPath(path);
  for (const char* hidden : {"/home", "/root", "/run/user"}) {
    const QString h = QLatin1String(hidden);
    if (clean == h || clean.startsWith(h + QLatin1Char('/'))) return true;
  }
  return false;
}

QByteArray systemdUnit(const ServiceSettings& s, const QString& origin, const UnitOptions& o) {
  if (s.executable.isEmpty() || hasControlCharacters(s.executable)) return QByteArray();
  for (const QString& argument : o.arguments)
    if (hasControlCharacters(argument)) return QByteArray();
  const QString description = oneLine(s.description).isEmpty() ? s.name : oneLine(s.description);
  const QString documentation = oneLine(o.documentation).isEmpty()
                                    ? QStringLiteral("man:%1(8)").arg(s.name)
                                    : oneLine(o.documentation);
  QString command = quotedCommandWord(s.executable);
  for (const QString& argument : o.arguments) command += QLatin1Char(' ') + quotedCommandWord(argument);

  QString unit;
  unit += QStringLiteral("# ") + oneLine(origin) + QLatin1Char('\n');
  unit += QStringLiteral("[Unit]\n");
  unit += QStringLiteral("Description=%1\n").arg(escapeSpecifiers(description));
  unit += QStringLiteral("Documentation=%1\n").arg(escapeSpecifiers(documentation));
  unit += QStringLiteral("Wants=network-online.target\nAfter=network-online.target\n");
  if (s.cannotBeStopped) unit += QStringLiteral("RefuseManualStop=yes\n");
  unit += QStringLiteral("\n[Service]\n");
  // Ready only once the listener is open; the process says so itself.
  unit += o.notifiesReady ? QStringLiteral("Type=notify\nNotifyAccess=main\n")
                          : QStringLiteral("Type=exec\n");
  unit += QStringLiteral("ExecStart=%1\n").arg(command);
  // A crash or a failed start is retried; an orderly stop (exit code 0) is not.
  unit += QStringLiteral("Restart=on-failure\nRestartSec=5\n");
  // One descriptor per connection, upload and device transfer.
  unit += QStringLiteral("LimitNOFILE=65536\n");
  // The configuration is read from /etc/<folder>; the store, uploads and journals are kept in
  // /var/lib/<folder>, the only place the service may write. The program makes that folder its
  // working folder.
  unit += QStringLiteral("User=%1\nGroup=%1\n").arg(kServiceUser);
  unit += QStringLiteral("ConfigurationDirectory=%1\nStateDirectory=%1\nStateDirectoryMode=0750\n")
              .arg(kServiceFolder);
  unit += QStringLiteral("WorkingDirectory=%S/%1\n").arg(kServiceFolder);
  unit += QStringLiteral("UMask=0027\n");
  // Holds the control socket that carries pause, resume and user commands; only the service's
  // user and root get in.
  unit += QStringLiteral("RuntimeDirectory=%1\nRuntimeDirectoryMode=0700\n")
              .arg(escapeSpecifiers(s.name));
  // The stop signal goes to the main process only, which stops in order; see kStopTimeoutSeconds.
  unit += QStringLiteral("KillMode=mixed\nTimeoutStopSec=%1\n").arg(kStopTimeoutSeconds);
  // The sandbox: the service talks HTTP and SNMP over IPv4 and to the journal, and needs
  // nothing else of the system.
  if (o.bindsLowPorts) {
    unit += QStringLiteral(
        "AmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n");
  } else {
    unit += QStringLiteral("CapabilityBoundingSet=\n");
  }
  unit += QStringLiteral(
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome=yes\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "ProtectProc=invisible\n"
      "RestrictAddressFamilies=AF_INET AF_UNIX\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "SystemCallArchitectures=native\n"
      // A call outside the list fails with EPERM instead of killing the process.
      "SystemCallFilter=@system-service\n"
      "SystemCallFilter=~@privileged @resources\n"
      "SystemCallErrorNumber=EPERM\n");
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
