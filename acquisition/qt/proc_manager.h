// The backend process manager: runs one child process (the capture backend
// "qelvo.exe") through a QProcess, reports its state and errors through
// signals, and delivers Unix signal numbers to it: 2 as Ctrl+C (falling back
// to a forced kill of its process group), 15 as a graceful termination
// (falling back to a hard one), 9 as a hard termination.
//
// States: NotRunning -> start -> Starting -> started -> Running -> stop ->
// Stopping -> finished -> NotRunning. A child that ends by itself goes from
// Running to NotRunning; a start failure from Starting to NotRunning.
//
// The child leads a process group of its own, so that the forced kill of
// its tree never reaches this program. A bare program name is resolved as
// the system resolves a program to start (the running program's directory,
// the current directory, then PATH), not by QProcess's own search.
//
// GUI thread only: the manager, its process and its timers live in the
// thread that created them; the waits below block that thread for up to
// their time-outs.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>

class ProcManager : public QObject {
  Q_OBJECT
 public:
  enum ProcessState { NotRunning = 0, Starting = 1, Running = 2, Stopping = 3 };
  Q_ENUM(ProcessState)

  explicit ProcManager(QObject* parent = nullptr);
  ~ProcManager() override;

  ProcessState state() const { return state_; }

  Q_INVOKABLE void start(const QString& program, const QStringList& arguments = QStringList());
  Q_INVOKABLE void stop();
  Q_INVOKABLE void restart();
  // The process id while Running, else 0.
  Q_INVOKABLE qlonglong processId() const;
  Q_INVOKABLE bool isRunning() const;
  // Delivers `signal` (2, 9 and 15 are carried out; see the file comment).
  // Emits signalSent with the outcome and returns it.
  Q_INVOKABLE bool sendSignal(int signal);
  Q_INVOKABLE bool sendInterrupt() { return sendSignal(2); }
  Q_INVOKABLE bool sendTerminate() { return sendSignal(15); }
  Q_INVOKABLE bool sendKill() { return sendSignal(9); }
  Q_INVOKABLE bool sendHangup() { return sendSignal(1); }
  Q_INVOKABLE void sendStop();
  Q_INVOKABLE void sendContinue();

 signals:
  void processStateChanged(ProcManager::ProcessState state);
  void processStarted();
  void processStopped();
  void processError(const QString& error);
  void signalSent(int signal, bool success);

 private slots:
  void onProcessStarted();
  void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
  void onProcessErrorOccurred(QProcess::ProcessError error);

 private:
  void setState(ProcessState state);
  // Terminates (SIGTERM) and waits `graceMs`; kills and waits 1 s when needed.
  void terminateAndWait(int graceMs);
  bool ctrlC(uint32_t pid);
  bool hardTerminate(uint32_t pid);
  bool gracefulTerminate(uint32_t pid);

  QProcess* process_;
  ProcessState state_ = NotRunning;
  QString program_;
  QStringList arguments_;
};
