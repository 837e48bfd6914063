// In-process tests of the service object: name checks and the one-instance pointer.
#include "service/QtService.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace Zarvo {
namespace {

class Idle : public QtService<QCoreApplication> {
 public:
  explicit Idle(const QString& name) : QtService(1, argv_, name) {}

 protected:
  void start() override {}

 private:
  static char program_[];
  static char* argv_[];
};
char Idle::program_[] = "idle";
char* Idle::argv_[] = {program_, nullptr};

// Collects qWarning texts while it exists.
class WarningCapture {
 public:
  WarningCapture() {
    captured_ = &messages_;
    previous_ = qInstallMessageHandler(&WarningCapture::handle);
  }
  ~WarningCapture() {
    qInstallMessageHandler(previous_);
    captured_ = nullptr;
  }
  const QStringList& messages() const { return messages_; }

 private:
  static void handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (captured_ && type == QtWarningMsg) captured_->append(text);
  }
  static inline QStringList* captured_ = nullptr;
  QStringList messages_;
  QtMessageHandler previous_ = nullptr;
};

const QString kTooLong = QStringLiteral("QtService: 'name' is longer than 255 characters.");
const QString kBackslash = QStringLiteral("QtService: 'name' contains backslashes '\\'.");

TEST(ServiceName, ChecksCutLongNamesAndReplaceBackslashes) {
  const QString x255(255, QLatin1Char('x'));
  // U+1D11E is a surrogate pair; placed at units 254-255 its low half falls past the cut.
  const QString pairAtCut = QString(254, QLatin1Char('y')) + QString::fromUcs4(U"\U0001D11E") + "z";
  struct Case {
    const char* why;
    QString name;
    QString expected;
    QStringList warnings;
  };
  const Case cases[] = {
      {"ordinary name is kept", "ZarvoPluginDSM", "ZarvoPluginDSM", {}},
      {"exactly 255 characters is not too long", x255, x255, {}},
      {"300 characters are cut to the first 255, one warning", QString(300, QLatin1Char('x')), x255,
       {kTooLong}},
      {"backslash becomes NUL in the middle, one warning", "a\\b", QString("a") + QChar(0) + "b",
       {kBackslash}},
      {"every backslash is replaced, still one warning", "\\a\\\\", QString(QChar(0)) + "a" +
       QChar(0) + QChar(0), {kBackslash}},
      {"a backslash past the cut is gone before it is looked for",
       QString(255, QLatin1Char('x')) + "\\", x255, {kTooLong}},
      {"backslash inside the first 255 with a long name: two warnings in order",
       "\\" + QString(299, QLatin1Char('x')), QString(QChar(0)) + QString(254, QLatin1Char('x')),
       {kTooLong, kBackslash}},
      {"the cut never leaves half a surrogate pair", pairAtCut, QString(254, QLatin1Char('y')),
       {kTooLong}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    WarningCapture warnings;
    Idle service(c.name);
    EXPECT_EQ(service.serviceName(), c.expected);
    EXPECT_EQ(warnings.messages(), c.warnings);
  }
}

TEST(ServiceInstance, NamesTheLiveServiceOnlyWhileItExists) {
  EXPECT_EQ(QtServiceBase::instance(), nullptr);
  {
    Idle service("one");
    EXPECT_EQ(QtServiceBase::instance(), &service);
  }
  EXPECT_EQ(QtServiceBase::instance(), nullptr) << "a later service must be able to exist";
  Idle again("two");
  EXPECT_EQ(QtServiceBase::instance(), &again);
}

}  // namespace

}  // namespace Zarvo
