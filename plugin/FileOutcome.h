// What became of one file on one device: whether it succeeded and the text shown beside it in an
// operation's details. The texts a job or the sender produces on their own are made here and
// nowhere else; the only other text is the status a device reports for its download, passed on
// unchanged.
#pragma once

#include <QString>

namespace Zarvo::dsm {

struct FileOutcome {
  bool succeeded = false;
  QString text;

  // The device confirmed the download as stored.
  static FileOutcome completed();
  // The device could not be reached, a transfer to it broke off, its web page failed, or the
  // job was stopped before anything was sent.
  static FileOutcome deviceDosntResponse();
  // The file is of no kind a device stores, or a PostScript font that cannot be converted.
  static FileOutcome unknownFileType();
  // The device took the download but did not confirm it in time.
  static FileOutcome timeout();
  // The device's own confirmation; `ok` is true exactly when its status says stored.
  static FileOutcome confirmed(bool ok, const QString& status);
  // Shown for a task no run has reached yet: not succeeded, yet beside the text "completed".
  static FileOutcome notYetRun();

  friend bool operator==(const FileOutcome& a, const FileOutcome& b) {
    return a.succeeded == b.succeeded && a.text == b.text;
  }
  friend bool operator!=(const FileOutcome& a, const FileOutcome& b) { return !(a == b); }
};

}  // namespace Zarvo::dsm
