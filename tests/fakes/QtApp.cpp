#include "tests/fakes/QtApp.h"

#include <QElapsedTimer>

namespace testing_qt {

QCoreApplication& coreApp() {
  if (QCoreApplication* existing = QCoreApplication::instance()) return *existing;
  static int argc = 1;
  static char name[] = "zarvo_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);  // lives until exit
  return *app;
}

void pumpEvents(int ms) {
  coreApp();
  QElapsedTimer timer;
  timer.start();
  do {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  } while (timer.elapsed() < ms);
}

}  // namespace testing_qt
