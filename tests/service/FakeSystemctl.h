// A stand-in for the `systemctl` program: a shell script in a temporary folder that appends
// each command line to the file "calls" and answers from files beside it:
//   <Property>      the value printed by "show --property=<Property> --value"
//   fail-<verb>     the verb fails with this text on stderr and exit code 1
//   stop-sets       "stop" copies it to ActiveState (a service that stops at once)
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class FakeSystemctl {
 public:
  FakeSystemctl();

  bool isValid() const { return valid_; }
  QString program() const;  // the script's path

  void set(const QString& file, const QByteArray& content);
  void remove(const QString& file);
  QStringList calls() const;  // one command line per entry, in order
  void clearCalls();

 private:
  QTemporaryDir dir_;
  bool valid_ = false;
};
