// Runs a helper program (the service manager's command-line client) and collects its output.
// Every run is bounded in time; a child that outlives its time is killed.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Zarvo {

struct ProgramResult {
  bool ran = false;   // the program was started and ended on its own in time
  int exitCode = -1;  // valid when ran
  QByteArray out;     // standard output
  QByteArray err;     // standard error
  QString failure;    // why it did not run, when !ran

  bool succeeded() const { return ran && exitCode == 0; }
  // The first line of standard error, else `failure`, else a note of the exit code.
  QString describe(const QString& program) const;
};

// Runs `program` (looked up in PATH unless it holds a slash) with `arguments` and no input.
ProgramResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs);

}  // namespace Zarvo
