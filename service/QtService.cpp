// The service shell: command-line options, the run of the application object (as a console
// program or under systemd), and the orderly end of a run on SIGINT/SIGTERM.
#include "service/QtService.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "service/Journal.h"
#include "service/QtServiceSysPrivate.h"
#include "service/SignalPipe.h"

namespace Zarvo {

namespace {

// The exit code of a command line with an unknown option.
constexpr int kUsageExitCode = 2;

// Names longer than this are cut: the service manager's limit for a service name.
constexpr qsizetype kMaxNameLength = 255;

const char kHelpText[] =
    "%s -[i|u|e|s|v|h]\n\n"
    "\t-i(nstall)\t: Install the service\n"
    "\t-u(ninstall)\t: Uninstall the service\n"
    "\t-e(xec)\t\t: Execute the service\n"
    "\t\t\t  If the service is not installed, run it as a regular program\n"
    "\t-t(erminate)\t: Stop the service\n"
    "\t-v(ersion)\t: Print version and status information\n"
    "\t-h(elp)\t: Show this help\n";

// Prints `message` and why the last operation failed on stderr: the service manager's own
// reason when it gave one, else the text of the last system error.
void systemErrorWarning(const char* message, const QString& reason = QString()) {
  const int error = errno;
  if (!reason.isEmpty())
    std::fprintf(stderr, "%s %s\n", message, reason.toLocal8Bit().constData());
  else if (error == 0)  // no system error to name; "Success" after a failure would mislead
    std::fprintf(stderr, "%s\n", message);
  else
    std::fprintf(stderr, "%s %s\n", message, std::strerror(error));
}

// The executable's absolute path, as the service manager must be given it.
QString executablePath() { return QFile::symLinkTarget(QStringLiteral("/proc/self/exe")); }

// While it exists, SIGINT and SIGTERM make the event loop quit instead of killing the process,
// so the application's own code after the loop still runs.
class SignalQuitter {
 public:
  SignalQuitter() {
    if (!signals_.isValid()) return;  // signals keep their previous behaviour
    notifier_ = std::make_unique<QSocketNotifier>(signals_.readFd(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      signals_.drain();
      QCoreApplication::quit();
    });
  }

 private:
  SignalPipe signals_;
  std::unique_ptr<QSocketNotifier> notifier_;  // destroyed before the pipe it watches
};

}  // namespace

class QtServiceBasePrivate {
 public:
  QtServiceBasePrivate(QtServiceBase* q, const QString& name, const QStringList& arguments)
      : q_(q), serviceName_(name), args_(arguments), controller_(name) {}

  static QString checkedName(QString name);
  [[nodiscard]] int run(bool asService, const QStringList& arguments);
  // The path taken without a matching option; returns exec()'s result.
  [[nodiscard]] int startAsService();

  static QtServiceBase* instance;

  QtServiceBase* const q_;
  const QString serviceName_;
  const QStringList args_;
  QString description_;
  QtServiceController::StartupType startupType_ = QtServiceController::AutoStartup;
  QtServiceBase::ServiceFlags flags_ = QtServiceBase::Default;
  QtServiceController controller_;
  std::unique_ptr<QtServiceSysPrivate> sys_;  // only while running as a service
  QString prepareError_;                      // why the last prepare failed
};

QtServiceBase* QtServiceBasePrivate::instance = nullptr;

// Runs the service's start() from inside the event loop rather than before it.
class QtServiceStarter : public QObject {
  Q_OBJECT
 public:
  QtServiceStarter(QtServiceBase* service, QtServiceSysPrivate* sys)
      : service_(service), sys_(sys) {}

 public Q_SLOTS:
  void slotStart() {
    service_->start();
    // Ready only if start() left the loop running: a start that failed (and quit) must reach
    // the manager as a failed start, not as a service that was ready and then ended.
    if (sys_) QTimer::singleShot(0, this, [this] { sys_->reportStarted(); });
  }

 private:
  QtServiceBase* service_;
  QtServiceSysPrivate* sys_;  // null for a console run
};

QString QtServiceBasePrivate::checkedName(QString name) {
  if (name.size() > kMaxNameLength) {
    qWarning("QtService: 'name' is longer than 255 characters.");
    qsizetype keep = kMaxNameLength;
    // Never keep half of a surrogate pair: the name would no longer be valid text.
    if (name.at(keep - 1).isHighSurrogate()) --keep;
    name.truncate(keep);
  }
  if (name.contains(QLatin1Char('\\'))) {
    qWarning("QtService: 'name' contains backslashes '\\'.");
    name.replace(QLatin1Char('\\'), QChar(0));
  }
  return name;
}

int QtServiceBasePrivate::run(bool asService, const QStringList& arguments) {
  // The application keeps a reference to argc and the pointers in argv: both live here until
  // it is destroyed.
  QByteArrayList storage;
  for (const QString& argument : arguments) storage << argument.toLocal8Bit();
  std::vector<char*> argv;
  for (QByteArray& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int argc = int(storage.size());

  QCoreApplication* const before = QCoreApplication::instance();
  q_->createApplication(argc, argv.data());
  QCoreApplication* const app = QCoreApplication::instance();
  if (!app) return -1;
  // Only what createApplication made is ours to destroy.
  const bool ownsApp = app != before;

  if (asService && !(sys_ && sys_->prepare(&prepareError_))) {
    if (sys_) sys_->release();
    if (ownsApp) delete app;
    return -1;
  }

  int result;
  {
    std::unique_ptr<SignalQuitter> quitter;
    if (!asService) quitter = std::make_unique<SignalQuitter>();
    QtServiceStarter starter(q_, asService ? sys_.get() : nullptr);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    result = q_->runApplication();
  }

  // No control request may reach the service once its application is gone.
  if (asService && sys_) sys_->release();
  if (ownsApp) delete app;
  return result;
}

int QtServiceBasePrivate::startAsService() {
  const QByteArray name = serviceName_.toLatin1();
  if (!QtServiceSysPrivate::startedByServiceManager()) {
    // Started from a console: ask the service manager to start the installed service.
    QStringList rest = args_;
    if (!rest.isEmpty()) rest.removeFirst();
    if (controller_.start(rest)) return 0;
    std::fprintf(stderr, "The service %s could not start\n", name.constData());
    return -4;
  }
  // Started by systemd: run here; the process's exit code is what the manager records.
  sys_ = std::make_unique<QtServiceSysPrivate>(*q_, flags_.testFlag(QtServiceBase::CanBeSuspended));
  prepareError_.clear();
  const int result = run(true, args_);
  sys_.reset();
  if (!prepareError_.isEmpty()) {
    q_->logMessage(QStringLiteral("The Service failed to start [%1]").arg(prepareError_),
                   QtServiceBase::Error);
    std::fprintf(stderr, "The service %s could not start\n", name.constData());
    return -4;
  }
  return result;
}

QtServiceBase::QtServiceBase(int argc, char** argv, const QString& name) {
  Q_ASSERT(!QtServiceBasePrivate::instance);
  QStringList arguments;
  for (int i = 0; i < argc && argv && argv[i]; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  d_ = std::make_unique<QtServiceBasePrivate>(this, QtServiceBasePrivate::checkedName(name),
                                              arguments);
  QtServiceBasePrivate::instance = this;
}

QtServiceBase::~QtServiceBase() {
  if (QtServiceBasePrivate::instance == this) QtServiceBasePrivate::instance = nullptr;
}

QtServiceBase* QtServiceBase::instance() { return QtServiceBasePrivate::instance; }

QString QtServiceBase::serviceName() const { return d_->serviceName_; }

QString QtServiceBase::serviceDescription() const { return d_->description_; }

void QtServiceBase::setServiceDescription(const QString& description) {
  d_->description_ = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const { return d_->startupType_; }

void QtServiceBase::setStartupType(QtServiceController::StartupType type) {
  d_->startupType_ = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const { return d_->flags_; }

void QtServiceBase::setServiceFlags(ServiceFlags flags) { d_->flags_ = flags; }

void QtServiceBase::stop() {}

void QtServiceBase::pause() {}

void QtServiceBase::resume() {}

void QtServiceBase::customCommand(int /*code*/) {}

int QtServiceBase::exec() {
  const QStringList& args = d_->args_;
  QtServiceController& controller = d_->controller_;
  const QByteArray name = d_->serviceName_.toLatin1();
  const char* const n = name.constData();

  if (args.size() > 1) {
    const QString& option = args.at(1);
    const auto is = [&option](const char* shortForm, const char* longForm) {
      return option == QLatin1String(shortForm) || option == QLatin1String(longForm);
    };

    if (is("-i", "-install")) {
      const QString self = executablePath();
      if (controller.isInstalled()) {
        std::fprintf(stderr, "The service %s is already installed\n", n);
        // Installed for another program: this one is not installed, so the request failed.
        const QString other = controller.installedExecutable();
        if (!other.isEmpty() && other != self) {
          std::fprintf(stderr, "It runs %s, not %s\n", other.toLocal8Bit().constData(),
                       self.toLocal8Bit().constData());
          return -1;
        }
        return 0;
      }
      if (!controller.install(self, d_->description_, d_->startupType_, int(d_->flags_))) {
        std::fprintf(stderr, "The service %s could not be installed\n", n);
        systemErrorWarning("Reason for failure:", controller.errorString());
        return -1;
      }
      return 0;
    }
    if (is("-u", "-uninstall")) {
      if (!controller.isInstalled()) {
        std::fprintf(stderr, "The service %s is not installed\n", n);
        return 0;
      }
      if (!controller.uninstall()) {
        const int error = errno;  // fprintf may change it
        std::fprintf(stderr, "The service %s could not be uninstalled\n", n);
        errno = error;
        systemErrorWarning("Reason for failure:", controller.errorString());
        return -1;
      }
      return 0;
    }
    if (is("-v", "-version")) {
      const bool installed = controller.isInstalled();
      const bool running = controller.isRunning();
      std::fprintf(stdout, "The service\n\t%s\n\t%s\n\n", n, args.at(0).toLocal8Bit().constData());
      std::fprintf(stdout, "is %s", installed ? "installed" : "not installed");
      std::fprintf(stdout, " and %s\n\n", running ? "running" : "not running");
      std::fprintf(stdout, "Version %s\n", ZARVO_VERSION);
      return 0;
    }
    if (is("-e", "-exec")) {
      QStringList rest = args;
      rest.removeAt(1);
      errno = 0;
      const int result = d_->run(false, rest);
      if (result != 0) systemErrorWarning("The service could not be started.");
      return result;
    }
    if (is("-t", "-terminate")) {
      if (!controller.stop())
        systemErrorWarning("The service could not be stopped.", controller.errorString());
      return 0;
    }
    if (is("-p", "-pause")) {
      (void)controller.pause();
      return 0;
    }
    if (is("-r", "-resume")) {
      (void)controller.resume();
      return 0;
    }
    if (is("-c", "-command")) {
      // Absent or not a number: code 0.
      const int code = args.size() > 2 ? args.at(2).toInt() : 0;
      (void)controller.sendCommand(code);
      return 0;
    }
    if (is("-h", "-help")) {
      std::fprintf(stdout, kHelpText, n);
      return 0;
    }
    // A mistyped option must not start the service: say what the options are instead. The
    // service manager starts the process without arguments, which still runs it.
    std::fprintf(stderr, kHelpText, n);
    return kUsageExitCode;
  }

  return d_->startAsService();
}

void QtServiceBase::logMessage(const QString& message, MessageType type, int id, uint category,
                               const QByteArray& data) {
  writeJournalEntry(journalFields(d_->serviceName_, message, type, id, category, data),
                    d_->serviceName_, message, type);
}

}  // namespace Zarvo

#include "QtService.moc"
