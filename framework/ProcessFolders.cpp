#include "framework/ProcessFolders.h"

#include <QDir>

namespace Zarvo {

namespace {

// systemd lists one folder per directory the unit names, separated by colons; ours name one.
QString firstFolder(const QString& list) {
  const QString first = list.section(QLatin1Char(':'), 0, 0);
  return QDir::isAbsolutePath(first) ? QDir::cleanPath(first) : QString();
}

}  // namespace

ProcessFolders ProcessFolders::find(const QString& executableFolder,
                                    const std::function<QString(const char*)>& environment) {
  ProcessFolders folders;
  folders.configuration = firstFolder(environment("CONFIGURATION_DIRECTORY"));
  folders.working = firstFolder(environment("STATE_DIRECTORY"));
  if (folders.configuration.isEmpty()) folders.configuration = executableFolder;
  if (folders.working.isEmpty()) folders.working = executableFolder;
  return folders;
}

ProcessFolders ProcessFolders::find(const QString& executableFolder) {
  return find(executableFolder, [](const char* name) { return qEnvironmentVariable(name); });
}

QString ProcessFolders::configurationFile(const QString& name) const {
  return QDir::isAbsolutePath(name) ? name : QDir(configuration).filePath(name);
}

}  // namespace Zarvo
