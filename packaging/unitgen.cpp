// Writes the systemd units of the Debian packages with the same code that "-install" uses, so
// a packaged and a hand-installed service run the same way, in the same sandbox.
//   zarvo_unitgen <output file> <installed executable path> <service name> [options] [-- args]
//     --simple             the program does not report readiness (Type=exec)
//     --bind-low-ports     it may bind ports below 1024
//     --description TEXT   the unit's Description=
//     -- ARGS...           arguments after the executable on the ExecStart line
#include <QFile>
#include <QString>
#include <cstdio>
#include <cstring>

#include "service/SystemdUnit.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s <output> <executable> <service name> [--simple] [--bind-low-ports] "
                 "[--description TEXT] [-- ARGS...]\n",
                 argv[0]);
    return 2;
  }
  Zarvo::ServiceSettings settings;
  settings.executable = QString::fromLocal8Bit(argv[2]);
  settings.name = QString::fromLocal8Bit(argv[3]);
  Zarvo::UnitOptions options;
  for (int i = 4; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simple") == 0) {
      options.notifiesReady = false;
    } else if (std::strcmp(argv[i], "--bind-low-ports") == 0) {
      options.bindsLowPorts = true;
    } else if (std::strcmp(argv[i], "--description") == 0 && i + 1 < argc) {
      settings.description = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--") == 0) {
      for (++i; i < argc; ++i) options.arguments << QString::fromLocal8Bit(argv[i]);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
      return 2;
    }
  }
  const QByteArray unit = Zarvo::systemdUnit(
      settings, QStringLiteral("Installed by the package; enabled and stopped by its scripts."),
      options);
  QFile out(QString::fromLocal8Bit(argv[1]));
  if (unit.isEmpty() || !Zarvo::isValidUnitName(settings.name) || !out.open(QIODevice::WriteOnly) ||
      out.write(unit) != unit.size()) {
    std::fprintf(stderr, "%s: cannot write the unit\n", argv[0]);
    return 1;
  }
  return 0;
}
