// Helpers for tests of Qt objects under GoogleTest: one application object
// per process, waiting for a condition while events are processed, and the
// Qt log captured as lines.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <functional>

namespace qttest {

// The process's application object (created on first use).
inline void ensure_app() {
  static int argc = 1;
  static char name[] = "acquisition_qt_tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

// Processes events until `done` holds or `ms` have passed; returns `done()`.
inline bool wait_until(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Collects every Qt log line (any thread) while it lives.
class LogCapture {
 public:
  LogCapture() {
    current_ = this;
    previous_ = qInstallMessageHandler(&LogCapture::handler);
  }
  ~LogCapture() {
    qInstallMessageHandler(previous_);
    current_ = nullptr;
  }
  bool contains(const QString& text) const {
    QMutexLocker g(&lock_);
    for (const QString& l : lines_)
      if (l.contains(text)) return true;
    return false;
  }

 private:
  static void handler(QtMsgType, const QMessageLogContext&, const QString& msg) {
    if (LogCapture* c = current_) {
      QMutexLocker g(&c->lock_);
      c->lines_ << msg;
    }
  }
  static inline LogCapture* current_ = nullptr;
  mutable QMutex lock_;
  QStringList lines_;
  QtMessageHandler previous_ = nullptr;
};

}  // namespace qttest
