// Builders of file-job requests and waits on job state, shared by the plan, job and registry
// tests.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <thread>

#include "plugin/DSMJob.h"

namespace testing_jobs {

struct DeviceFile {
  QString name;
  quint32 size;
  QString type;  // "psFont", "psForm", "pclFont", "pclMacro"
  quint32 id;
};

// A copy or move request (the two trees are the same).
template <class Request>
Request transferRequest(const QString& source, const QList<DeviceFile>& files,
                        const QStringList& destinations) {
  Request r;
  (void)r.get_Source().set_DeviceIP(source.toStdU16String());
  for (const DeviceFile& f : files) {
    (void)r.get_Source().append_File();
    auto& file = r.get_Source().back_File();
    (void)file.set_FileName(f.name.toStdU16String());
    (void)file.set_FileSize(f.size);
    (void)file.set_FileType(f.type.toStdU16String());
    (void)file.set_FileStorageFileID(f.id);
  }
  for (const QString& d : destinations) {
    (void)r.get_Destinations().append_DeviceIP(d.toStdU16String());
  }
  return r;
}

template <class Request>
Request deleteRequest(const QString& device, const QList<DeviceFile>& files) {
  Request r;
  (void)r.set_DeviceIP(device.toStdU16String());
  for (const DeviceFile& f : files) {
    (void)r.append_File();
    auto& file = r.back_File();
    (void)file.set_FileName(f.name.toStdU16String());
    (void)file.set_FileSize(f.size);
    (void)file.set_FileType(f.type.toStdU16String());
    (void)file.set_FileStorageFileID(f.id);
  }
  return r;
}

struct Upload {
  QString path;      // element text
  QString fileName;  // attribute; "" leaves it unset
};

template <class Request>
Request addRequest(const QString& device, const QList<Upload>& uploads, const QStringList& stored) {
  Request r;
  (void)r.set_DeviceIP(device.toStdU16String());
  for (const Upload& u : uploads) {
    (void)r.append_LargeFile();
    auto& large = r.back_LargeFile();
    (void)large.set_value(u.path.toStdU16String());
    if (!u.fileName.isEmpty()) (void)large.set_filename(u.fileName.toStdU16String());
  }
  for (const QString& name : stored) (void)r.append_FileName(name.toStdU16String());
  return r;
}

// Waits (bounded) until the job has left IN_PROGRESS and its thread has ended; the status.
inline Zarvo::dsm::JobStatus finished(Zarvo::dsm::DSMJob& job,
                                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (job.wait(10) && job.status() != Zarvo::dsm::JobStatus::kInProgress) return job.status();
  }
  return job.status();
}

}  // namespace testing_jobs
