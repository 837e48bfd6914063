// One QCoreApplication per test process, created on first use, for tests that need an event
// loop, posted events or application paths.
#pragma once

#include <QCoreApplication>

namespace testing_qt {

QCoreApplication& coreApp();

// Processes posted events (deferred deletes included) for up to `ms` milliseconds.
void pumpEvents(int ms);

}  // namespace testing_qt
