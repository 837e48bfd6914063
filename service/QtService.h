// The service shell: lets one executable run as a service started by the service manager, as
// a console program ("-exec"), or as a small tool that controls the installed service. It owns
// the command line, creates the core application and runs its event loop.
//
// A program derives from QtService<QCoreApplication>, overrides start() (and, if it needs
// them, stop/pause/resume/customCommand), and returns exec() from main():
//
//   class Host : public QtService<QCoreApplication> {
//    public:
//     Host(int argc, char** argv) : QtService(argc, argv, "Host") {}
//    protected:
//     void start() override { /* runs as the first event of the loop */ }
//   };
//   int main(int argc, char** argv) { Host host(argc, argv); return host.exec(); }
//
// Exactly one service object exists per process; instance() names it.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>

#include "service/QtServiceController.h"

namespace Zarvo {

class QtServiceBasePrivate;

class QtServiceBase {
 public:
  // Kinds of event-log entry; the numbers are what the log binding maps.
  enum MessageType { Success = 0, Error = 1, Warning = 2, Information = 3 };

  enum ServiceFlag {
    Default = 0x00,
    CanBeSuspended = 0x01,   // the service may be paused and resumed
    CannotBeStopped = 0x02,  // the service manager may not stop it
  };
  Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

  // Records argv (argument 0 included) and `name`. A name longer than 255 characters is cut;
  // backslashes in it become NUL characters (each with a warning on stderr).
  QtServiceBase(int argc, char** argv, const QString& name);
  virtual ~QtServiceBase();
  QtServiceBase(const QtServiceBase&) = delete;
  QtServiceBase& operator=(const QtServiceBase&) = delete;

  QString serviceName() const;

  // Given to the service manager at installation; empty by default.
  QString serviceDescription() const;
  void setServiceDescription(const QString& description);

  QtServiceController::StartupType startupType() const;  // AutoStartup by default
  void setStartupType(QtServiceController::StartupType type);

  ServiceFlags serviceFlags() const;  // Default by default
  void setServiceFlags(ServiceFlags flags);

  // Interprets argument 1 (an option, or none to run as a service) and returns the process
  // exit code; main() returns it.
  [[nodiscard]] int exec();

  // Writes one entry to the system log.
  void logMessage(const QString& message, MessageType type = Success, int id = 0,
                  uint category = 0, const QByteArray& data = QByteArray());

  // The process's service object, or null when none exists.
  static QtServiceBase* instance();

 protected:
  // Begins the service's work. Runs as the first event of the event loop.
  virtual void start() = 0;
  virtual void stop();
  virtual void pause();
  virtual void resume();
  // A user command (0 to 127) sent through the service manager.
  virtual void customCommand(int code);
  // Creates the application object; argc/argv stay valid until it is destroyed.
  virtual void createApplication(int& argc, char** argv) = 0;
  // Runs the application's event loop and returns its exit code.
  virtual int runApplication() = 0;

 private:
  friend class QtServiceBasePrivate;
  friend class QtServiceStarter;
  friend class QtServiceSysPrivate;

  std::unique_ptr<QtServiceBasePrivate> d_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

// A service whose application object is an `Application` (a QCoreApplication or a subclass).
// The shell destroys the application after its loop ends; application() is then null.
template <typename Application>
class QtService : public QtServiceBase {
 public:
  QtService(int argc, char** argv, const QString& name) : QtServiceBase(argc, argv, name) {}
  ~QtService() override = default;

 protected:
  Application* application() const { return app_.data(); }

  void createApplication(int& argc, char** argv) override { app_ = new Application(argc, argv); }

  int runApplication() override { return app_ ? app_->exec() : -1; }

 private:
  QPointer<Application> app_;  // cleared when the shell deletes the application
};

}  // namespace Zarvo
