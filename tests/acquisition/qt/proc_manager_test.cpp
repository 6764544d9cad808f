// The backend process manager against real child processes.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "acquisition/qt/proc_manager.h"
#include "os/process_signal.h"
#include "tests/support/qt_test_util.h"
#include "tests/support/test_env.h"

using qttest::wait_until;

namespace {

class ProcManagerTest : public ::testing::Test {
 protected:
  // Starts `program` and waits until it runs.
  void startRunning(const QString& program, const QStringList& args) {
    QSignalSpy started(&pm, &ProcManager::processStarted);
    pm.start(program, args);
    ASSERT_TRUE(started.count() > 0 || started.wait(5000)) << "did not start";
    ASSERT_TRUE(pm.isRunning() && pm.processId() > 0);
  }
  bool gone(qlonglong pid) { return os_pid_check((uint32_t)pid) != 0; }
  std::vector<ProcManager::ProcessState> states(const QSignalSpy& spy) {
    std::vector<ProcManager::ProcessState> out;
    for (const QList<QVariant>& args : spy) out.push_back(args[0].value<ProcManager::ProcessState>());
    return out;
  }
  bool app_ = (qttest::ensure_app(), true);  // before any Qt member
  qttest::LogCapture log;
  ProcManager pm;
};

}  // namespace

// A missing program, a bare name found through PATH, a second start and a
// restart; then signals: those that end the child are reported while the
// manager still sees it running, and the process object brings NotRunning
// later; refused signals report without touching the child.
TEST_F(ProcManagerTest, StartsRestartsAndSignalsItsChild) {
  QSignalSpy changes(&pm, &ProcManager::processStateChanged);
  std::vector<std::string> sent;  // each signalSent, with whether the manager saw the child running then
  QObject::connect(&pm, &ProcManager::signalSent, [&](int sig, bool ok) {
    sent.push_back(std::to_string(sig) + (ok ? " sent" : " refused") + (pm.state() == ProcManager::Running ? " running" : ""));
  });
  EXPECT_FALSE(pm.sendKill());
  EXPECT_EQ(sent, std::vector<std::string>{"9 refused"});
  EXPECT_TRUE(log.contains("进程未运行，无法发送信号"));
  pm.stop();
  EXPECT_TRUE(log.contains("进程未运行，无需停止"));
  EXPECT_EQ(0, changes.count());

  QSignalSpy errors(&pm, &ProcManager::processError);
  pm.start("no-such-backend-program.exe", {"-s", "hs"});
  ASSERT_TRUE(errors.count() > 0 || errors.wait(5000));
  EXPECT_TRUE(errors[0][0].toString().startsWith("启动失败: ")) << errors[0][0].toString().toStdString();
  EXPECT_EQ(states(changes), (std::vector<ProcManager::ProcessState>{ProcManager::Starting, ProcManager::NotRunning}));
  EXPECT_EQ(0, pm.processId());

  changes.clear();
  startRunning("sleep", {"30"});  // found through PATH by the manager's own lookup
  EXPECT_EQ(states(changes), (std::vector<ProcManager::ProcessState>{ProcManager::Starting, ProcManager::Running}));
  qlonglong first = pm.processId();
  EXPECT_EQ(first, (qlonglong)getpgid((pid_t)first)) << "the child must lead its own process group";
  pm.start("sleep", {"1"});
  EXPECT_TRUE(log.contains("进程已在运行或正在启动"));
  EXPECT_EQ(first, pm.processId());
  EXPECT_EQ(2, changes.count());

  pm.stop();
  ASSERT_EQ(ProcManager::NotRunning, pm.state());
  EXPECT_TRUE(gone(first));
  QSignalSpy started(&pm, &ProcManager::processStarted);
  QElapsedTimer t;
  t.start();
  pm.restart();
  EXPECT_EQ(ProcManager::NotRunning, pm.state()) << "the start waits for its timer";
  ASSERT_TRUE(started.wait(5000));
  EXPECT_GE(t.elapsed(), 95);
  EXPECT_NE(first, pm.processId());

  for (int sig : {1, 19, 42, 2, 9, 15}) {
    SCOPED_TRACE(sig);
    if (!pm.isRunning()) startRunning("/bin/sleep", {"30"});
    qlonglong pid = pm.processId();
    sent.clear();
    bool carried = sig == 2 || sig == 9 || sig == 15;
    EXPECT_EQ(carried, pm.sendSignal(sig));
    EXPECT_EQ(sent, std::vector<std::string>{std::to_string(sig) + (carried ? " sent running" : " refused running")});
    if (!carried) {
      EXPECT_TRUE(log.contains(sig == 42 ? QString("未知信号: 42") : QString("信号 %1 在Windows上无直接对应实现").arg(sig)));
      EXPECT_TRUE(pm.isRunning());
      continue;
    }
    EXPECT_TRUE(wait_until([&] { return pm.state() == ProcManager::NotRunning; }, 5000));
    EXPECT_TRUE(gone(pid));
  }

  // A child that ended before the manager heard of it: not sent.
  startRunning("/bin/sleep", {"30"});
  qlonglong pid = pm.processId();
  sent.clear();
  ASSERT_EQ(0, os_pid_kill((uint32_t)pid));
  // No events are processed meanwhile: the manager still sees it running.
  ASSERT_TRUE(testenv::wait_until([&] { return os_pid_check((uint32_t)pid) != 0; }, 5000));
  ASSERT_EQ(ProcManager::Running, pm.state());
  EXPECT_FALSE(pm.sendTerminate());
  EXPECT_EQ(sent, std::vector<std::string>{"15 refused running"});
}

// stop() and signal 15 both give a child that ignores SIGTERM three seconds,
// then kill it.
TEST_F(ProcManagerTest, AChildThatIgnoresSigtermIsKilledAfterThreeSeconds) {
  testenv::TempDir dir;
  std::string ready = dir.file("ready");
  for (bool bySignal : {false, true}) {
    SCOPED_TRACE(bySignal ? "sendTerminate" : "stop");
    std::remove(ready.c_str());
    startRunning("/bin/sh", {"-c", QString("trap '' TERM; : > '%1'; exec sleep 30").arg(ready.c_str())});
    ASSERT_TRUE(wait_until([&] { return std::ifstream(ready).good(); }, 5000)) << "the script did not arm";
    qlonglong pid = pm.processId();
    QElapsedTimer t;
    t.start();
    if (bySignal)
      EXPECT_TRUE(pm.sendTerminate());
    else
      pm.stop();
    EXPECT_TRUE(t.elapsed() >= 2900 && t.elapsed() < 4500) << t.elapsed();
    EXPECT_TRUE(wait_until([&] { return pm.state() == ProcManager::NotRunning; }, 5000));
    EXPECT_TRUE(gone(pid));
  }
  EXPECT_TRUE(log.contains("优雅终止失败，强制终止"));
}
