// Where a program reads its configuration and keeps its files. Run by hand (or from the build
// tree) both are the executable's folder, as they always were. Run by systemd with
// ConfigurationDirectory= and StateDirectory=, as the installed units do, systemd names them in
// $CONFIGURATION_DIRECTORY (/etc/zarvo, read-only to the service) and $STATE_DIRECTORY
// (/var/lib/zarvo, its one writable folder); the same variables set by hand do the same.
#pragma once

#include <QString>
#include <functional>

namespace Zarvo {

struct ProcessFolders {
  QString configuration;  // relative configuration file names are taken from here
  QString working;        // the working folder: the store, uploads and journals live here

  // `environment` reads a variable (empty when unset); tests pass their own.
  static ProcessFolders find(const QString& executableFolder,
                             const std::function<QString(const char*)>& environment);
  // From this process's environment.
  static ProcessFolders find(const QString& executableFolder);

  // `name` as a path: absolute names stay, relative ones are taken from `configuration`.
  QString configurationFile(const QString& name) const;
};

}  // namespace Zarvo
