#include "plugin/ZarvoPluginDSM.h"

#include <curl/curl.h>

#include "plugin/DeviceFileList.h"

namespace {

// libcurl's flags value 3: every subsystem (SSL and Win32 socket set-up).
constexpr long kCurlGlobalAll = 3;

}  // namespace

ZarvoPluginDSM::CurlGlobal::CurlGlobal() { curl_global_init(kCurlGlobalAll); }
ZarvoPluginDSM::CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

ZarvoPluginDSM::ZarvoPluginDSM()
    : ZarvoPluginDSM(ServerFileStore::serverStoreDirectory(),
                     deviceEnterpriseArcFrom(QStringLiteral("ZarvoPluginDSM.cfg"))) {}

ZarvoPluginDSM::ZarvoPluginDSM(const QString& storeDirectory, const QString& deviceEnterpriseArc)
    : store_(storeDirectory), trapIds_(DeviceTrapIds::forArc(deviceEnterpriseArc)) {
  registerHandlers();
}

ZarvoPluginDSM::~ZarvoPluginDSM() { sender_.stopAll(); }

void ZarvoPluginDSM::registerHandlers() {
  // In the order of the handler table. The file-job and registry commands (rows 2 to 10) join
  // here, between the device file list and "SNMPTrap"; until then they are answered like any
  // command the service does not have.
  registerHandler(QStringLiteral("DSMGetFileList"), &ZarvoPluginDSM::DSMGetFileList);
  registerHandler(QStringLiteral("SNMPTrap"), &ZarvoPluginDSM::SNMPTrap);
  registerHandler(QStringLiteral("DSMServerGetFileList"), &ZarvoPluginDSM::DSMServerGetFileList);
  registerHandler(QStringLiteral("DSMServerAddFile"), &ZarvoPluginDSM::DSMServerAddFile);
  registerHandler(QStringLiteral("DSMServerDeleteFile"), &ZarvoPluginDSM::DSMServerDeleteFile);
  registerHandler(QStringLiteral("DSMServerSetFileId"), &ZarvoPluginDSM::DSMServerSetFileId);
}

std::unique_ptr<ZarvoPluginDSM::GetFileListResponse> ZarvoPluginDSM::DSMGetFileList(
    GetFileListRequest& request) {
  return listDeviceFiles(request.get_DeviceID());
}

std::unique_ptr<ZarvoPluginDSM::SNMPTrapResponse> ZarvoPluginDSM::SNMPTrap(
    SNMPTrapRequest& request) {
  // A confirmation for a device without a download under way is dropped by the sender.
  if (const auto status = downloadStatusOf(request, trapIds_)) {
    sender_.notify(status->address, status->ok, status->text);
  }
  // Every trap is answered alike, recognised or not: the service does not act on the answer.
  auto response = std::make_unique<SNMPTrapResponse>();
  (void)response->set_Result(0);
  (void)response->set_Details(u"OK");
  return response;
}

std::unique_ptr<ZarvoPluginDSM::ServerGetFileListResponse> ZarvoPluginDSM::DSMServerGetFileList(
    ServerGetFileListRequest&) {
  auto response = std::make_unique<ServerGetFileListResponse>();
  for (const ServerFileStore::Entry& e : store_.list()) {
    (void)response->append_File();
    auto& file = response->back_File();
    (void)file.set_FileName(e.name.toStdU16String());
    (void)file.set_FileSize(e.size);
    (void)file.set_FileType(e.type.toStdU16String());
    (void)file.set_FileID(e.id.toStdU16String());
    (void)file.set_FileDate(e.date);
  }
  return response;
}

std::unique_ptr<ZarvoPluginDSM::ServerAddFileResponse> ZarvoPluginDSM::DSMServerAddFile(
    ServerAddFileRequest& request) {
  // A copy that fails (unreadable upload, invalid or existing name) is skipped; the rest go on.
  for (std::size_t i = 0; i < request.size_LargeFile(); ++i) {
    const auto& upload = request.get_LargeFile(i);
    (void)store_.add(QString::fromStdU16String(upload.get_value()),
                     QString::fromStdU16String(upload.get_filename()));
  }
  return std::make_unique<ServerAddFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::ServerDeleteFileResponse> ZarvoPluginDSM::DSMServerDeleteFile(
    ServerDeleteFileRequest& request) {
  for (std::size_t i = 0; i < request.size_File(); ++i) {
    (void)store_.remove(QString::fromStdU16String(request.get_File(i).get_FileName()));
  }
  return std::make_unique<ServerDeleteFileResponse>();
}

std::unique_ptr<ZarvoPluginDSM::ServerSetFileIdResponse> ZarvoPluginDSM::DSMServerSetFileId(
    ServerSetFileIdRequest& request) {
  (void)store_.setFileId(QString::fromStdU16String(request.get_FileName()),
                         QString::fromStdU16String(request.get_FileID()));
  return std::make_unique<ServerSetFileIdResponse>();
}
