// The storage manager's executable with one stand-in for the file jobs, which are built apart:
// "DSMAddFile" downloads each named store file, as a PCL font, to the request's DeviceIP through
// the service's own sender, on a thread of its own, and logs the outcome as
//   "Test download <name> to <address>: <true|false> <text>"
// Everything else is the real process: its HTTP listener, the naming registration, "SNMPTrap"
// over HTTP into the sender, the trap-destination registration, and the orderly stop on
// "MGMTCloseApplication" or SIGTERM.
#include <QFile>
#include <mutex>
#include <thread>
#include <vector>

#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "framework/Application.h"
#include "framework/LMXPacket.h"
#include "framework/Log.h"
#include "framework/Service.h"
#include "plugin/TCP9100File.h"
#include "plugin/ZarvoPluginDSM.h"

namespace {

class DownloadingDSM : public ZarvoPluginDSM {
 public:
  using AddRequest = Zarvo::LMXRequest<DSMAddFile_Request::c_OrxRequest>;
  using AddResponse = Zarvo::LMXResponse<DSMAddFile_Response::c_OrxResponse>;

  DownloadingDSM() { registerHandler(QStringLiteral("DSMAddFile"), &DownloadingDSM::add); }
  // As the jobs will: the sender's waits end first, then the download threads are joined.
  ~DownloadingDSM() override {
    sender().stopAll();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& t : threads_) t.join();
  }

  std::unique_ptr<AddResponse> add(AddRequest& request) {
    const QString address = QString::fromStdU16String(request.get_DeviceIP());
    for (std::size_t i = 0; i < request.size_FileName(); ++i) {
      const QString name = QString::fromStdU16String(request.get_FileName(i));
      QFile file(store().directory() + name);
      const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
      std::lock_guard<std::mutex> lock(mutex_);
      threads_.emplace_back([this, address, name, content] {
        const auto [ok, text] = sender().send(address, TCP9100FilePCLFont(content));
        ZLOG("info") << "Test download " << name << " to " << address << ": "
                     << (ok ? "true " : "false ") << text;
      });
    }
    return std::make_unique<AddResponse>();
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_NO_GLIB", "1");
  Zarvo::Application app(argc, argv, QStringLiteral("ZarvoPluginDSM"),
                         QStringLiteral("ZarvoPluginDSM.cfg"));
  app.registerServiceFactory(QStringLiteral("DSM"), new Zarvo::ServiceFactory<DownloadingDSM>());
  return app.exec();
}
