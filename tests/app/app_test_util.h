// Helpers of the window tests: an environment variable set for a scope,
// answering a modal dialog from the event loop its exec() runs, and a
// process's command line.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <string>

namespace apptest {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    if (old) had_ = true, old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

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

// /proc/PID/cmdline with its NUL separators ("" when it cannot be read).
inline std::string proc_cmdline(long long pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::string();
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
  close(fd);
  return out;
}

}  // namespace apptest
