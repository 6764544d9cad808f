// Helpers of the window tests: answering a modal dialog from the event loop
// its exec() runs.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

#include "tests/support/test_env.h"

namespace apptest {

using testenv::ScopedEnv;

// Runs `answer` on each of the next `count` modal dialogs as soon as it is
// active; lives around the call that opens them.
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(QWidget*)> answer, int count = 1)
      : answer_(std::move(answer)), left_(count) {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal == last_) return;
      last_ = modal;
      if (--left_ == 0) timer_.stop();
      seen++;
      answer_(modal);
    });
    timer_.start();
  }
  int seen = 0;  // dialogs answered

 private:
  std::function<void(QWidget*)> answer_;
  int left_;
  QWidget* last_ = nullptr;
  QTimer timer_;
};

}  // namespace apptest
