// The service shell: command-line options, the run of the application object, and the
// orderly end of a console run on SIGINT/SIGTERM.
#include "service/QtService.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

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

// Prints `message` and the text of the last system error on stderr.
void systemErrorWarning(const char* message) {
  const int error = errno;
  if (error == 0)  // no system error to name; "Success" after a failure would mislead
    std::fprintf(stderr, "%s\n", message);
  else
    std::fprintf(stderr, "%s %s\n", message, std::strerror(error));
}

// The executable's absolute path, as the service manager must be given it.
QString executablePath() {
  const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
  return target;
}

// Write end of the console run's signal pipe; -1 while no console run is in progress. Atomic
// because a signal may be delivered on any thread.
std::atomic<int> gQuitPipeWrite{-1};

extern "C" void onQuitSignal(int) {
  const int savedErrno = errno;  // the interrupted code may be about to read errno
  const int fd = gQuitPipeWrite.load();
  if (fd >= 0 && ::write(fd, "q", 1) < 0) {
    // A full pipe already holds a pending quit request; nothing else is safe to do here.
  }
  errno = savedErrno;
}

// While it exists, SIGINT and SIGTERM make the event loop quit instead of killing the process,
// so the application's own code after the loop still runs. A signal handler may do almost
// nothing, so it only writes a byte to a pipe; the main thread's notifier reads it and quits.
class SignalQuitter {
 public:
  SignalQuitter() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      fds_[0] = fds_[1] = -1;  // signals keep their previous behaviour
      return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      char buf[64];
      while (::read(fds_[0], buf, sizeof buf) > 0) {
      }
      QCoreApplication::quit();
    });
    gQuitPipeWrite.store(fds_[1]);

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = ::sigaction(SIGINT, &action, &oldInt_) == 0 &&
                 ::sigaction(SIGTERM, &action, &oldTerm_) == 0;
  }

  ~SignalQuitter() {
    if (fds_[0] < 0) return;
    if (installed_) {
      ::sigaction(SIGINT, &oldInt_, nullptr);
      ::sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    gQuitPipeWrite.store(-1);
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  SignalQuitter(const SignalQuitter&) = delete;
  SignalQuitter& operator=(const SignalQuitter&) = delete;

 private:
  int fds_[2] = {-1, -1};
  bool installed_ = false;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

// The process's connection to the service manager while it runs as a service. Without a
// service-manager binding the process can never have been started by one, so connecting to
// the dispatcher always reports that.
class QtServiceSysPrivate {
 public:
  enum class Dispatch {
    Served,               // the manager ran the service and it has stopped
    NotStartedByManager,  // an ordinary process: nothing to connect to
    Failed,
  };

  [[nodiscard]] Dispatch connectToDispatcher() { return Dispatch::NotStartedByManager; }
  // Readies the status reporting for a run as a service.
  [[nodiscard]] bool prepare() { return false; }
  void release() {}
};

class QtServiceBasePrivate {
 public:
  QtServiceBasePrivate(QtServiceBase* q, const QString& name, const QStringList& arguments)
      : q_(q), serviceName_(name), args_(arguments), controller_(name) {}

  static QString checkedName(QString name);
  [[nodiscard]] int run(bool asService, const QStringList& arguments);
  [[nodiscard]] bool startAsService();

  static QtServiceBase* instance;

  QtServiceBase* const q_;
  const QString serviceName_;
  const QStringList args_;
  QString description_;
  QtServiceController::StartupType startupType_ = QtServiceController::AutoStartup;
  QtServiceBase::ServiceFlags flags_ = QtServiceBase::Default;
  QtServiceController controller_;
  std::unique_ptr<QtServiceSysPrivate> sys_;  // only while running as a service
};

QtServiceBase* QtServiceBasePrivate::instance = nullptr;

// Runs the service's start() from inside the event loop rather than before it.
class QtServiceStarter : public QObject {
  Q_OBJECT
 public:
  explicit QtServiceStarter(QtServiceBase* service) : service_(service) {}

 public Q_SLOTS:
  void slotStart() { service_->start(); }

 private:
  QtServiceBase* service_;
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

  if (asService && !(sys_ && sys_->prepare())) {
    if (ownsApp) delete app;
    return -1;
  }

  int result;
  {
    std::unique_ptr<SignalQuitter> quitter;
    if (!asService) quitter = std::make_unique<SignalQuitter>();
    QtServiceStarter starter(q_);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    result = q_->runApplication();
  }

  if (ownsApp) delete app;
  if (asService && sys_) sys_->release();
  return result;
}

bool QtServiceBasePrivate::startAsService() {
  sys_ = std::make_unique<QtServiceSysPrivate>();
  bool ok = false;
  switch (sys_->connectToDispatcher()) {
    case QtServiceSysPrivate::Dispatch::Served:
      ok = true;
      break;
    case QtServiceSysPrivate::Dispatch::NotStartedByManager: {
      // Started from a console: ask the service manager to start the installed service.
      QStringList rest = args_;
      if (!rest.isEmpty()) rest.removeFirst();
      ok = controller_.start(rest);
      break;
    }
    case QtServiceSysPrivate::Dispatch::Failed:
      q_->logMessage(QStringLiteral("The Service failed to start [%1]")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))),
                     QtServiceBase::Error);
      ok = false;
      break;
  }
  sys_.reset();
  return ok;
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
      if (controller.isInstalled()) {
        std::fprintf(stderr, "The service %s is already installed\n", n);
        return 0;
      }
      if (!controller.install(executablePath(), d_->description_, d_->startupType_)) {
        std::fprintf(stderr, "The service %s could not be installed\n", n);
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
        systemErrorWarning("Reason for failure:");
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
      if (!controller.stop()) systemErrorWarning("The service could not be stopped.");
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
  }

  if (!d_->startAsService()) {
    std::fprintf(stderr, "The service %s could not start\n", n);
    return -4;
  }
  return 0;
}

void QtServiceBase::logMessage(const QString& message, MessageType type, int id,
                               uint category, const QByteArray& /*data*/) {
  int priority = LOG_NOTICE;
  switch (type) {
    case Error: priority = LOG_ERR; break;
    case Warning: priority = LOG_WARNING; break;
    case Information: priority = LOG_INFO; break;
    case Success: break;
  }
  // The system log carries text only, so the data bytes are not written.
  ::syslog(LOG_USER | priority, "%s: [%d/%u] %s", d_->serviceName_.toUtf8().constData(), id,
           category, message.toUtf8().constData());
}

#include "QtService.moc"
