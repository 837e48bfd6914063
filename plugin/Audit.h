// Audit lines of the storage manager: what an operator reads in the "info" log to learn who
// changed what on which printer, and how it ended. One line when an operation starts (or a retry
// starts it again), one when a run of it ends, one per change asked of the server store:
//
//   Operation 3 started: COPY from 127.0.0.2 to 127.0.0.3;127.0.0.4, 2 files
//   Operation 3 ended: FAILED, 3 of 4 tasks done; failed: "Invoice.ps" to 127.0.0.4: Timeout
//   Store: added "Garamond.pfa" from "/opt/dsm/uploads/upload-5f1c"
//   Store: not deleted "Old.pcl" (no such file)
//
// Names and texts that come from requests or devices are quoted with their quotes, backslashes
// and control characters escaped, so a name cannot forge a line or a field of one.
#pragma once

#include <QString>
#include <cstddef>
#include <string>

#include "plugin/JobPlan.h"

namespace Zarvo::dsm::audit {

// At most this many failed files are named in an end line; the rest are counted.
inline constexpr int kMaxFailuresNamed = 20;

// Characters of a quoted text a line shows; the rest are counted after the closing quote.
inline constexpr int kMaxQuotedChars = 256;

// `text` in double quotes, with \" \\ and control characters (\n, \t, \xNN) escaped.
QString quoted(const QString& text);

// `retry`: the operation runs again by a retry, not for the first time.
QString operationStarted(int id, JobType type, const std::u16string& source,
                         const std::u16string& destination, std::size_t files, bool retry);
// The run of `plan` that has just ended: its status, how many tasks are done, and each failed
// file with where it went and its result text. Tasks the run did not reach are counted apart.
QString operationEnded(int id, const JobPlan& plan);

QString storeAdded(const QString& name, const QString& fromPath, bool added);
QString storeDeleted(const QString& name, bool deleted);
QString storeIdSet(const QString& name, const QString& idText, bool set);

}  // namespace Zarvo::dsm::audit
