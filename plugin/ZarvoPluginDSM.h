// ZarvoPluginDSM: the storage manager, hosted under the service name "DSM". It binds each of its
// commands to a handler member; every handler answers Result 0 with empty Details except
// DSMGetFileList, which passes on what the services it asks report.
//
// libcurl's global state (used by the device CGI client) lives exactly as long as the service:
// initialised before any handler can run, released after everything that could use it is gone.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "DSMAddFile_Request.h"
#include "DSMAddFile_Response.h"
#include "DSMCancelOperation_Request.h"
#include "DSMCancelOperation_Response.h"
#include "DSMClearCompletedOperation_Request.h"
#include "DSMClearCompletedOperation_Response.h"
#include "DSMCopyFile_Request.h"
#include "DSMCopyFile_Response.h"
#include "DSMDeleteFile_Request.h"
#include "DSMDeleteFile_Response.h"
#include "DSMDetailsOperation_Request.h"
#include "DSMDetailsOperation_Response.h"
#include "DSMGetFileList_Request.h"
#include "DSMGetFileList_Response.h"
#include "DSMGetOperationList_Request.h"
#include "DSMGetOperationList_Response.h"
#include "DSMMoveFile_Request.h"
#include "DSMMoveFile_Response.h"
#include "DSMRetryOperation_Request.h"
#include "DSMRetryOperation_Response.h"
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
#include "framework/Configuration.h"
#include "framework/LMXPacket.h"
#include "framework/Service.h"
#include "framework/ServiceClient.h"
#include "plugin/DSMJob.h"
#include "plugin/DeviceSender.h"
#include "plugin/ServerFileStore.h"
#include "plugin/TCP9100Sender.h"
#include "plugin/TrapHandling.h"
#include "plugin/TrapSources.h"
#include "plugin/TrapRowJournal.h"

namespace Zarvo::dsm {

class ZarvoPluginDSM : public Zarvo::Service {
 public:
  using GetFileListRequest = Zarvo::LMXRequest<DSMGetFileList_Request::c_OrxRequest>;
  using GetFileListResponse = Zarvo::LMXResponse<DSMGetFileList_Response::c_OrxResponse>;
  // --- File jobs and the operation registry ---
  using CopyFileRequest = Zarvo::LMXRequest<DSMCopyFile_Request::c_OrxRequest>;
  using CopyFileResponse = Zarvo::LMXResponse<DSMCopyFile_Response::c_OrxResponse>;
  using MoveFileRequest = Zarvo::LMXRequest<DSMMoveFile_Request::c_OrxRequest>;
  using MoveFileResponse = Zarvo::LMXResponse<DSMMoveFile_Response::c_OrxResponse>;
  using AddFileRequest = Zarvo::LMXRequest<DSMAddFile_Request::c_OrxRequest>;
  using AddFileResponse = Zarvo::LMXResponse<DSMAddFile_Response::c_OrxResponse>;
  using DeleteFileRequest = Zarvo::LMXRequest<DSMDeleteFile_Request::c_OrxRequest>;
  using DeleteFileResponse = Zarvo::LMXResponse<DSMDeleteFile_Response::c_OrxResponse>;
  using GetOperationListRequest = Zarvo::LMXRequest<DSMGetOperationList_Request::c_OrxRequest>;
  using GetOperationListResponse = Zarvo::LMXResponse<DSMGetOperationList_Response::c_OrxResponse>;
  using DetailsOperationRequest = Zarvo::LMXRequest<DSMDetailsOperation_Request::c_OrxRequest>;
  using DetailsOperationResponse = Zarvo::LMXResponse<DSMDetailsOperation_Response::c_OrxResponse>;
  using ClearCompletedOperationRequest =
      Zarvo::LMXRequest<DSMClearCompletedOperation_Request::c_OrxRequest>;
  using ClearCompletedOperationResponse =
      Zarvo::LMXResponse<DSMClearCompletedOperation_Response::c_OrxResponse>;
  using CancelOperationRequest = Zarvo::LMXRequest<DSMCancelOperation_Request::c_OrxRequest>;
  using CancelOperationResponse = Zarvo::LMXResponse<DSMCancelOperation_Response::c_OrxResponse>;
  using RetryOperationRequest = Zarvo::LMXRequest<DSMRetryOperation_Request::c_OrxRequest>;
  using RetryOperationResponse = Zarvo::LMXResponse<DSMRetryOperation_Response::c_OrxResponse>;
  // --- The server-side store ---
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

  // Every constructor takes the client through which the other services of the suite are asked
  // (device lists, SNMP values, trap destinations); it must outlive the service.
  //
  // The store is the directory "Files" in the current directory (start-up makes that the
  // executable's directory), created here when missing; uploads are read from the
  // configuration's UploadDirectory elements, or from "uploads" (created here) and the system
  // temporary folder. The device trap identifiers hang under the configuration's
  // DeviceEnterpriseArc; traps are taken from this machine and TrapSources (TrapSources.h);
  // devices are reached only at addresses DeviceNetworks allows (DeviceAddressPolicy.h). The
  // trap rows borrowed from devices are journaled in "TrapDestinations.journal" there too.
  // A file job serves up to its ParallelDownloads destinations of a file at once.
  ZarvoPluginDSM(Zarvo::ServiceClient& services, const Configuration& configuration);
  // The store in `storeDirectory`, the settings of `configuration` (uploads: the listed
  // directories, or the system temporary folder alone), and the time limits of the downloads
  // and of the device pages as given (tests: shorter ones; cgi's device addresses come from
  // the configuration).
  ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                 const Configuration& configuration, const TCP9100Sender::Limits& senderLimits = {},
                 DeviceCgiSettings cgi = {});
  // As above with every setting at its default but the trap identifiers' prefix.
  ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                 const QString& deviceEnterpriseArc = kDefaultDeviceEnterpriseArc,
                 const TCP9100Sender::Limits& senderLimits = {}, DeviceCgiSettings cgi = {},
                 int parallelDownloads = Zarvo::kDefaultParallelDownloads);
  // Jobs download through `sender` (not owned; it outlives the service) instead of the
  // service's own sender, and reach the device pages as `cgi` says (tests: fakes on loopback).
  ZarvoPluginDSM(Zarvo::ServiceClient& services, const QString& storeDirectory,
                 DeviceSender* sender, DeviceCgiSettings cgi = {},
                 int parallelDownloads = Zarvo::kDefaultParallelDownloads);
  // Asks every job to stop and ends every wait in the sender, so that downloads under way end
  // (their registrations undone) in bounded time; then releases the registry, each job being
  // destroyed once its run has ended.
  ~ZarvoPluginDSM() override;

  // Journals the trap-destination rows the downloads borrow in the file at `path`, and restores
  // at start() those an earlier run left (as `restore` says). Before start() and any download.
  void journalTrapRows(const QString& path, TrapRowRestorer::Limits restore = {});
  // The journal, if any.
  TrapRowJournal* trapRowJournal() { return journal_.get(); }

  // Restores, in the background, the trap rows an earlier run left borrowed.
  void start() override;

  const ServerFileStore& store() const { return store_; }
  TCP9100Sender& sender() { return sender_; }
  // The registered job of operation `id`, or null; tests wait on it.
  std::shared_ptr<DSMJob> operation(std::uint32_t id);

  // Handlers, one per command, in the order of the handler table.
  std::unique_ptr<GetFileListResponse> DSMGetFileList(GetFileListRequest& request);
  std::unique_ptr<CopyFileResponse> DSMCopyFile(CopyFileRequest& request);
  std::unique_ptr<MoveFileResponse> DSMMoveFile(MoveFileRequest& request);
  std::unique_ptr<AddFileResponse> DSMAddFile(AddFileRequest& request);
  std::unique_ptr<DeleteFileResponse> DSMDeleteFile(DeleteFileRequest& request);
  std::unique_ptr<GetOperationListResponse> DSMGetOperationList(GetOperationListRequest& request);
  std::unique_ptr<DetailsOperationResponse> DSMDetailsOperation(DetailsOperationRequest& request);
  std::unique_ptr<ClearCompletedOperationResponse> DSMClearCompletedOperation(
      ClearCompletedOperationRequest& request);
  std::unique_ptr<CancelOperationResponse> DSMCancelOperation(CancelOperationRequest& request);
  std::unique_ptr<RetryOperationResponse> DSMRetryOperation(RetryOperationRequest& request);
  std::unique_ptr<SNMPTrapResponse> SNMPTrap(SNMPTrapRequest& request);
  std::unique_ptr<ServerGetFileListResponse> DSMServerGetFileList(
      ServerGetFileListRequest& request);
  std::unique_ptr<ServerAddFileResponse> DSMServerAddFile(ServerAddFileRequest& request);
  std::unique_ptr<ServerDeleteFileResponse> DSMServerDeleteFile(ServerDeleteFileRequest& request);
  std::unique_ptr<ServerSetFileIdResponse> DSMServerSetFileId(ServerSetFileIdRequest& request);

 protected:
  // The host stops the service before destroying it, and waits for the requests in progress; a
  // retry waiting for a running job is one of them. Every job is asked to stop and every wait of
  // the sender ends here, so that wait lasts seconds, not a download's confirmation time.
  void aboutToStop() override;
  // "SNMPTrap" only from this machine and the trap sources; every other command from any
  // client the host serves.
  bool admitsCaller(const QString& command, const QHostAddress& caller) override;

 private:
  // Asks every registered job to stop and ends every wait of the sender; later downloads fail
  // at once. Used by the stop and by the destructor.
  void stopAllWork();

  // Holds libcurl's global state; declared first so it is released last.
  class CurlGlobal {
   public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
  };

  void registerHandlers();
  // One trap registration per download, journaled when a journal is kept.
  TrapRegistrationFactory trapRegistrations();
  // Registers `job` under the next operation ID and starts its first run.
  void createOperation(std::shared_ptr<DSMJob> job);
  template <class Plan>
  std::shared_ptr<DSMJob> makeJob(Plan plan) const {
    return Zarvo::makeSharedThread<DSMJob>(jobSender_, std::move(plan), cgi_, parallelDownloads_);
  }

  CurlGlobal curl_;
  Zarvo::ServiceClient& services_;
  ServerFileStore store_;
  // Declared before the sender, whose downloads use it, and the restorer, which writes to it.
  std::unique_ptr<TrapRowJournal> journal_;
  TrapRowRestorer::Limits restoreLimits_;

  // --- The operation registry and the sender ---
  // Owns the jobs, by operation ID.
  std::map<int, std::shared_ptr<DSMJob>> operations_;
  // Guards operations_ and nextOperationId_. Never held by a job's thread, and never held while
  // waiting for a job, so every registry handler gets it quickly.
  std::mutex mutex_;
  TCP9100Sender sender_;
  int nextOperationId_ = 0;  // from 0 at each start, never reused while the process runs

  const DeviceTrapIds trapIds_;
  DeviceSender* jobSender_;      // what jobs download through: sender_ unless a test gave another
  const DeviceCgiSettings cgi_;  // its device addresses are the service's
  const int parallelDownloads_;
  TrapSources trapSources_;
  std::unique_ptr<TrapRowRestorer> restorer_;  // stopped before everything it uses goes
};

}  // namespace Zarvo::dsm
