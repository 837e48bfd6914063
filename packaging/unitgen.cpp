// Writes the systemd unit of the Debian package with the same code that "-install" uses, so
// a packaged and a hand-installed service run the same way.
//   zarvo_unitgen <output file> <installed executable path> <service name>
#include <QFile>
#include <QString>
#include <cstdio>

#include "service/SystemdUnit.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <output> <executable> <service name>\n", argv[0]);
    return 2;
  }
  Zarvo::ServiceSettings settings;
  settings.executable = QString::fromLocal8Bit(argv[2]);
  settings.name = QString::fromLocal8Bit(argv[3]);
  const QByteArray unit = Zarvo::systemdUnit(
      settings, QStringLiteral("Installed by the package; enabled and stopped by its scripts."));
  QFile out(QString::fromLocal8Bit(argv[1]));
  if (unit.isEmpty() || !Zarvo::isValidUnitName(settings.name) || !out.open(QIODevice::WriteOnly) ||
      out.write(unit) != unit.size()) {
    std::fprintf(stderr, "%s: cannot write the unit\n", argv[0]);
    return 1;
  }
  return 0;
}
