// The backend process manager (see proc_manager.h). On this platform the
// signal table maps to: 2 SIGINT, falling back to SIGKILL of the child's
// process group; 15 SIGTERM with a 3 s wait, falling back to the hard
// termination; 9 SIGKILL with a 5 s wait for the end. The waits never reap
// the child: its QProcess reports the end through the event loop.
#include "acquisition/qt/proc_manager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <climits>

#include "os/process.h"
#include "os/process_signal.h"

namespace {

// Waits of the termination paths, in milliseconds.
const int kGracefulWaitMs = 3000;  // graceful termination, and stop()
const int kKillWaitMs = 1000;      // after a kill in stop(), restart() and the destructor
const int kHardWaitMs = 5000;      // hard termination and the forced group kill
const int kRestartDelayMs = 100;

// A process that leads its own process group, so that its whole tree can
// be killed without reaching this program.
class GroupLeaderProcess : public QProcess {
 public:
  using QProcess::QProcess;

 protected:
  void setupChildProcess() override { os_process_own_group(); }
};

QString errorText(int code) {
  char text[256];
  if (os_error_text(code, text, sizeof text) == 0) return QString::fromLocal8Bit(text);
  return QString("未知错误 (错误码: %1)").arg(code);
}

// The program to start: a bare name is looked up as the system does it; a
// name that is found nowhere stays a path in the current directory, so the
// start fails rather than falling back to QProcess's own PATH search.
QString resolveProgram(const QString& program) {
  if (program.isEmpty()) return program;
  char path[PATH_MAX];
  if (os_process_resolve(QFile::encodeName(program).constData(), path, sizeof path) == 0)
    return QFile::decodeName(path);
  return program.contains('/') ? program : QDir::current().absoluteFilePath(program);
}

}  // namespace

ProcManager::ProcManager(QObject* parent) : QObject(parent), process_(new GroupLeaderProcess(this)) {
  qRegisterMetaType<ProcManager::ProcessState>("ProcManager::ProcessState");
  process_->setProcessChannelMode(QProcess::MergedChannels);
  connect(process_, &QProcess::started, this, &ProcManager::onProcessStarted);
  connect(process_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
          &ProcManager::onProcessFinished);
  connect(process_, &QProcess::errorOccurred, this, &ProcManager::onProcessErrorOccurred);
  // Nobody reads the backend's output; unread, it would pile up in the
  // process object for as long as the backend runs.
  connect(process_, &QProcess::readyReadStandardOutput, process_,
          [this] { process_->readAllStandardOutput(); });
}

ProcManager::~ProcManager() {
  if (process_->state() != QProcess::NotRunning) {
    qDebug().noquote() << "析构函数中停止进程...";
    terminateAndWait(kKillWaitMs);
  }
  program_.clear();
  arguments_.clear();
}

void ProcManager::setState(ProcessState state) {
  if (state_ == state) return;
  state_ = state;
  emit processStateChanged(state);
}

void ProcManager::start(const QString& program, const QStringList& arguments) {
  if (state_ == Starting || state_ == Running) {
    qWarning().noquote() << "进程已在运行或正在启动";
    return;
  }
  program_ = program;
  arguments_ = arguments;
  setState(Starting);
  qDebug().noquote() << "启动进程:" << program << arguments.join(", ");
  process_->start(resolveProgram(program), arguments, QIODevice::ReadWrite);
}

void ProcManager::onProcessStarted() {
  setState(Running);
  qDebug().noquote() << "进程启动成功，PID:" << process_->processId();
  emit processStarted();
}

void ProcManager::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
  setState(NotRunning);
  qDebug().noquote() << "进程已停止，退出码:" << exitCode << "退出状态:"
                     << (exitStatus == QProcess::CrashExit ? "崩溃" : "正常");
  emit processStopped();
}

void ProcManager::onProcessErrorOccurred(QProcess::ProcessError error) {
  const char* text;
  switch (error) {
    case QProcess::FailedToStart: text = "启动失败"; break;
    case QProcess::Crashed: text = "进程崩溃"; break;
    case QProcess::Timedout: text = "操作超时"; break;
    case QProcess::ReadError: text = "读取错误"; break;
    case QProcess::WriteError: text = "写入错误"; break;
    default: text = "未知错误"; break;
  }
  QString message = QString(text) + ": " + process_->errorString();
  qWarning().noquote() << message;
  emit processError(message);
  if (error == QProcess::FailedToStart) setState(NotRunning);
}

void ProcManager::terminateAndWait(int graceMs) {
  process_->terminate();
  if (!process_->waitForFinished(graceMs)) {
    process_->kill();
    process_->waitForFinished(kKillWaitMs);
  }
}

void ProcManager::stop() {
  if (state_ != Running) {
    qDebug().noquote() << "进程未运行，无需停止";
    return;
  }
  setState(Stopping);
  qDebug().noquote() << "停止进程...";
  process_->terminate();
  if (!process_->waitForFinished(kGracefulWaitMs)) {
    qWarning().noquote() << "优雅终止失败，强制终止";
    process_->kill();
    process_->waitForFinished(kKillWaitMs);
  }
}

void ProcManager::restart() {
  if (state_ == Starting || state_ == Running) {
    qDebug().noquote() << "停止当前进程以重启...";
    terminateAndWait(kGracefulWaitMs);
  }
  QTimer::singleShot(kRestartDelayMs, this, [this] { start(program_, arguments_); });
}

qlonglong ProcManager::processId() const {
  return state_ == Running ? (qlonglong)process_->processId() : 0;
}

bool ProcManager::isRunning() const { return state_ == Running; }

// Ctrl+C; when it cannot be delivered, the forced kill of the process tree.
bool ProcManager::ctrlC(uint32_t pid) {
  if (os_pid_interrupt(pid) == 0) return true;
  return os_pid_kill_group(pid) == 0 && os_pid_wait_end(pid, kHardWaitMs) == 1;
}

bool ProcManager::hardTerminate(uint32_t pid) {
  int err = os_pid_kill(pid);
  if (err != 0) {
    qWarning().noquote() << "TerminateProcess失败:" << errorText(err);
    return false;
  }
  os_pid_wait_end(pid, kHardWaitMs);
  return true;
}

bool ProcManager::gracefulTerminate(uint32_t pid) {
  if (os_pid_terminate(pid) == 0 && os_pid_wait_end(pid, kGracefulWaitMs) == 1) return true;
  return hardTerminate(pid);
}

bool ProcManager::sendSignal(int signal) {
  if (state_ != Running) {
    qWarning().noquote() << "进程未运行，无法发送信号";
    emit signalSent(signal, false);
    return false;
  }
  qint64 pid = process_->processId();
  if (pid <= 0 || pid > INT_MAX) {
    qWarning().noquote() << "无效的进程ID";
    emit signalSent(signal, false);
    return false;
  }
  qDebug().noquote() << QString("向进程(PID:%1)发送Windows信号:").arg(pid) << signal;
  int err = os_pid_check((uint32_t)pid);
  if (err != 0) {
    qWarning().noquote() << "打开进程失败:" << errorText(err);
    emit signalSent(signal, false);
    return false;
  }
  bool result = false;
  QString description;
  switch (signal) {
    case 2:
      description = "发送Ctrl+C中断信号";
      qDebug().noquote() << description;
      result = ctrlC((uint32_t)pid);
      break;
    case 9:
      description = "强制终止进程";
      qDebug().noquote() << description;
      result = hardTerminate((uint32_t)pid);
      break;
    case 15:
      description = "优雅终止进程";
      qDebug().noquote() << description;
      result = gracefulTerminate((uint32_t)pid);
      break;
    case 1: case 3: case 6: case 14: case 18: case 19: case 20:
      qWarning().noquote() << QString("信号 %1 在Windows上无直接对应实现").arg(signal);
      break;
    default:
      qWarning().noquote() << QString("未知信号: %1").arg(signal);
      break;
  }
  if (result) qDebug().noquote() << description + "成功";
  emit signalSent(signal, result);
  return result;
}

void ProcManager::sendStop() { qWarning().noquote() << "SIGSTOP仅在Unix/Linux系统可用"; }

void ProcManager::sendContinue() { qWarning().noquote() << "SIGCONT仅在Unix/Linux系统可用"; }
