#include "plugin/FileOutcome.h"

namespace Zarvo::dsm {

// Peers read these texts byte for byte; the misspelling is part of the wire.

FileOutcome FileOutcome::completed() { return {true, QStringLiteral("completed")}; }

FileOutcome FileOutcome::deviceDosntResponse() {
  return {false, QStringLiteral("DeviceDosntResponse")};
}

FileOutcome FileOutcome::unknownFileType() { return {false, QStringLiteral("UnknownFileType")}; }

FileOutcome FileOutcome::timeout() { return {false, QStringLiteral("Timeout")}; }

FileOutcome FileOutcome::confirmed(bool ok, const QString& status) { return {ok, status}; }

FileOutcome FileOutcome::notYetRun() { return {false, QStringLiteral("completed")}; }

}  // namespace Zarvo::dsm
