// ZarvoPluginDSM: the storage manager, hosted under the service name "DSM". It binds each of its
// commands to a handler member; every handler answers Result 0 with empty Details except
// DSMGetFileList, which passes on what the services it asks report.
//
// libcurl's global state (used by the device CGI client) lives exactly as long as the service:
// initialised before any handler can run, released after everything that could use it is gone.
#pragma once

#include <QString>
#include <memory>

#include "DSMGetFileList_Request.h"
#include "DSMGetFileList_Response.h"
#include "DSMServerAddFile_Request.h"
#include "DSMServerAddFile_Response.h"
#include "DSMServerDeleteFile_Request.h"
#include "DSMServerDeleteFile_Response.h"
#include "DSMServerGetFileList_Request.h"
#include "DSMServerGetFileList_Response.h"
#include "DSMServerSetFileId_Request.h"
#include "DSMServerSetFileId_Response.h"
#include "SNMPTrap_Request.h"
#include "SNMPTrap_Response.h"
#include "framework/LMXPacket.h"
#include "framework/Service.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100Sender.h"
#include "plugin/TrapHandling.h"

class ZarvoPluginDSM : public Zarvo::Service {
 public:
  using GetFileListRequest = Zarvo::LMXRequest<DSMGetFileList_Request::c_OrxRequest>;
  using GetFileListResponse = Zarvo::LMXResponse<DSMGetFileList_Response::c_OrxResponse>;
  using ServerGetFileListRequest = Zarvo::LMXRequest<DSMServerGetFileList_Request::c_OrxRequest>;
  using ServerGetFileListResponse =
      Zarvo::LMXResponse<DSMServerGetFileList_Response::c_OrxResponse>;
  using ServerAddFileRequest = Zarvo::LMXRequest<DSMServerAddFile_Request::c_OrxRequest>;
  using ServerAddFileResponse = Zarvo::LMXResponse<DSMServerAddFile_Response::c_OrxResponse>;
  using ServerDeleteFileRequest = Zarvo::LMXRequest<DSMServerDeleteFile_Request::c_OrxRequest>;
  using ServerDeleteFileResponse = Zarvo::LMXResponse<DSMServerDeleteFile_Response::c_OrxResponse>;
  using ServerSetFileIdRequest = Zarvo::LMXRequest<DSMServerSetFileId_Request::c_OrxRequest>;
  using ServerSetFileIdResponse = Zarvo::LMXResponse<DSMServerSetFileId_Response::c_OrxResponse>;
  using SNMPTrapRequest = Zarvo::LMXRequest<SNMPTrap_Request::c_OrxRequest>;
  using SNMPTrapResponse = Zarvo::LMXResponse<SNMPTrap_Response::c_OrxResponse>;

  // The store is the directory "Files" in the current directory (start-up makes that the
  // executable's directory), created here when missing; the device trap identifiers come from
  // "ZarvoPluginDSM.cfg" there.
  ZarvoPluginDSM();
  // The store in `storeDirectory` and the default trap identifiers (tests).
  explicit ZarvoPluginDSM(const QString& storeDirectory,
                          const QString& deviceEnterpriseArc = kDefaultDeviceEnterpriseArc);
  // Ends every wait in the sender first, so that downloads under way end (their registrations
  // undone) in bounded time instead of waiting out their devices.
  ~ZarvoPluginDSM() override;

  const ServerFileStore& store() const { return store_; }
  TCP9100Sender& sender() { return sender_; }

  // Handlers, one per command, in the order of the handler table.
  std::unique_ptr<GetFileListResponse> DSMGetFileList(GetFileListRequest& request);
  std::unique_ptr<SNMPTrapResponse> SNMPTrap(SNMPTrapRequest& request);
  std::unique_ptr<ServerGetFileListResponse> DSMServerGetFileList(
      ServerGetFileListRequest& request);
  std::unique_ptr<ServerAddFileResponse> DSMServerAddFile(ServerAddFileRequest& request);
  std::unique_ptr<ServerDeleteFileResponse> DSMServerDeleteFile(ServerDeleteFileRequest& request);
  std::unique_ptr<ServerSetFileIdResponse> DSMServerSetFileId(ServerSetFileIdRequest& request);

 private:
  // Holds libcurl's global state; declared first so it is released last.
  class CurlGlobal {
   public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
  };

  void registerHandlers();

  CurlGlobal curl_;
  ServerFileStore store_;
  TCP9100Sender sender_;
  const DeviceTrapIds trapIds_;
};
