// zarvo-console: the operator's web console. It listens on http://127.0.0.1:8070/ by default
// (zarvo-console.cfg beside the executable or in $CONFIGURATION_DIRECTORY, or --config FILE)
// and reaches the storage manager and the device management service through the naming
// service, as every caller does.
//
//   zarvo-console [--config FILE] [--url-file FILE]
//
// At start it makes a fresh token, prints the page's address with it ("Console ready at
// http://127.0.0.1:8070/#token=..."), and writes that address into the --url-file (readable by
// its owner only). SIGINT and SIGTERM stop it: live pages are let go, answers under way finish.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <thread>

#include "console/ConsoleApi.h"
#include "console/ConsoleServices.h"
#include "console/ConsoleSettings.h"
#include "console/HttpFront.h"
#include "console/OperationFeed.h"
#include "console/RequestGuard.h"
#include "console/UploadDirectory.h"
#include "framework/Log.h"
#include "framework/OrxServiceClient.h"
#include "framework/ProcessFolders.h"

namespace console = Zarvo::console;

namespace {

QString executableDir() {
  return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

bool writeOwnerOnly(const QString& path, const QByteArray& text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  // Before anything is written: the token is the key to every change.
  if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) return false;
  return file.write(text) == text.size() && file.flush();
}

}  // namespace

int main(int argc, char** argv) {
  // Beside the executable, or in systemd's ConfigurationDirectory= and StateDirectory= (a
  // relative UploadDirectory is taken from the second, where the storage manager's uploads are).
  const Zarvo::ProcessFolders folders = Zarvo::ProcessFolders::find(executableDir());
  QString config = folders.configurationFile(QStringLiteral("zarvo-console.cfg"));
  QString urlFile;
  for (int i = 1; i < argc; ++i) {
    const QByteArray arg(argv[i]);
    if ((arg == "--config" || arg == "--url-file") && i + 1 < argc) {
      const QString value = QFileInfo(QString::fromLocal8Bit(argv[++i])).absoluteFilePath();
      (arg == "--config" ? config : urlFile) = value;
    } else {
      std::fprintf(stderr, "usage: zarvo-console [--config FILE] [--url-file FILE]\n");
      return 2;
    }
  }

  // The stop signals are taken by a thread of our own, so every thread made below blocks them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Zarvo::setupLogging();
  const console::ConsoleSettings settings =
      console::ConsoleSettings::fromFile(config, folders.working);
  if (!settings.error.isEmpty())
    ZLOG("err") << "Configuration " << config << ": " << settings.error;

  Zarvo::OrxServiceClient& client = *Zarvo::OrxServiceClient::instance();
  if (!settings.namingService.isEmpty()) client.setNamingServiceUrl(settings.namingService);
  // An operator waits at the page: a service that is away is told within seconds. With the
  // services' own pause of 3 s, five attempts, each asking a naming service that is away five
  // times too, take more than a minute.
  Zarvo::OrxServiceClient::Limits limits = client.limits();
  limits.retryDelay = std::chrono::milliseconds(200);
  client.setLimits(limits);
  console::ConsoleServices services(client);
  console::RequestGuard guard(console::RequestGuard::newToken(), 0);
  const console::UploadDirectory uploads(settings.uploadDirectory);
  if (QString error; !uploads.prepare(&error)) ZLOG("err") << error;
  console::ConsoleApi api(services, guard);
  console::OperationFeed feed(
      [&services] { return console::ConsoleApi::summaryOf(services.operations()); });
  console::HttpFront front(api, feed, uploads, guard, console::HttpFront::Limits{});

  const QString host = settings.listen.host();
  if (QString error; !front.bind(host, quint16(settings.listen.port()), &error)) {
    ZLOG("err") << error;
    return 1;
  }
  const QString shownHost = host == QLatin1String("0.0.0.0") ? QStringLiteral("127.0.0.1") : host;
  const QString url = QStringLiteral("http://%1:%2/#token=%3")
                          .arg(shownHost)
                          .arg(front.port())
                          .arg(QString::fromLatin1(guard.token()));
  ZLOG("info") << "Uploads wait in " << uploads.path();
  ZLOG("info") << "Console ready at " << url;
  if (!urlFile.isEmpty() && !writeOwnerOnly(urlFile, url.toUtf8() + '\n')) {
    ZLOG("err") << "Cannot write the console's address into " << urlFile;
  }

  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    feed.close();
    front.stop();
  });
  const bool served = front.serve();
  // serve() also ends when the server fails; wake the stopper with a signal it waits for.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  ZLOG("info") << "Console stopped";
  return served ? 0 : 1;
}
