// The console's configuration file, in the same form as the other programs' (any root element):
//
//   <ConsoleConfig>
//     <ServiceURL>http://127.0.0.1:8070/</ServiceURL>          where to listen (port 0: any free)
//     <DispatcherURL>http://127.0.0.1:8090/</DispatcherURL>    the naming service
//     <UploadDirectory>uploads</UploadDirectory>              where uploads wait for the store
//   </ConsoleConfig>
//
// ServiceURL and DispatcherURL are read by the framework's Configuration; UploadDirectory is the
// console's own element. A relative UploadDirectory is taken from the executable's directory,
// beside which the storage manager and its own "uploads" sit in a build and in the README's run
// (from the state folder /var/lib/zarvo, the storage manager's working folder, under systemd).
#pragma once

#include <QString>
#include <QUrl>

namespace Zarvo::console {

struct ConsoleSettings {
  static inline const QString kDefaultServiceUrl = QStringLiteral("http://127.0.0.1:8070/");
  static inline const QString kDefaultUploadDirectory = QStringLiteral("uploads");

  QUrl listen{kDefaultServiceUrl};
  QUrl namingService;  // empty: none configured
  QString uploadDirectory;
  QString error;  // what was wrong with the file; the defaults hold then

  // The file at `path`; relative directories are taken from `executableDir`. A missing file is
  // no error: the defaults hold.
  static ConsoleSettings fromFile(const QString& path, const QString& executableDir);
  static ConsoleSettings fromBytes(const QByteArray& bytes, const QString& executableDir);
};

}  // namespace Zarvo::console
