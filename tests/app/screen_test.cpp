// The analyzer's window on a real X display (Xvfb): every view paints rows.
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTextStream>
#include <climits>

#include "os/process.h"
#include "tests/app/app_test_util.h"
#include "tests/support/test_env.h"

namespace {

// A private X server; the display number it chose, or -1.
class PrivateDisplay {
 public:
  PrivateDisplay() {
    server_.setProgram("Xvfb");
    server_.setArguments({"-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"});
    server_.start();
    if (!server_.waitForStarted(5000)) return;
    QByteArray line;
    while (!line.contains('\n') && server_.waitForReadyRead(10000)) line += server_.readAllStandardOutput();
    bool ok = false;
    int n = line.trimmed().toInt(&ok);
    if (ok) number = n;
  }
  ~PrivateDisplay() {
    server_.terminate();
    if (!server_.waitForFinished(3000)) server_.kill(), server_.waitForFinished(3000);
  }
  int number = -1;

 private:
  QProcess server_;
};

}  // namespace

TEST(Screen, EveryViewPaintsRowsOnARealDisplay) {
  char path[PATH_MAX];
  if (os_process_resolve("Xvfb", path, sizeof path) != 0)
    GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh --with-test-tools)";
  testenv::ShmIsolation iso;
  apptest::ScopedEnv scope("QELVO_KILL_SCOPE", "suffix");
  testenv::TempDir dir;
  const std::string capture = testenv::shared_captures_dir() + "/mouse.pcap";
  PrivateDisplay display;
  ASSERT_GE(display.number, 0) << "Xvfb did not start";

  const QString png = QString::fromStdString(testenv::bin_dir() + "/../app-window.png");
  QProcess probe;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", QString(":%1").arg(display.number));
  env.insert("QT_QPA_PLATFORM", "xcb");
  probe.setProcessEnvironment(env);
  probe.setWorkingDirectory(QString::fromStdString(dir.path()));
  probe.start(QString::fromStdString(testenv::bin_dir() + "/window_probe"), {QString::fromStdString(capture), png});
  ASSERT_TRUE(probe.waitForFinished(90000)) << "the probe did not end";
  ASSERT_EQ(0, probe.exitCode()) << probe.readAllStandardError().right(2000).toStdString();

  QImage shot(png);
  ASSERT_FALSE(shot.isNull());
  QByteArray rects = probe.readAllStandardOutput();
  QTextStream in(&rects);
  const char* names[] = {"transactions", "packages", "data", "descriptors"};
  for (const char* name : names) {
    int x, y, w, h;
    in >> x >> y >> w >> h;
    QRect r = QRect(x, y, w, h).intersected(shot.rect());
    ASSERT_FALSE(r.isEmpty()) << name;
    // An empty or white view has one or two colours; painted cells bring
    // their fills, outlines and antialiased text.
    QSet<QRgb> colours;
    for (int y = r.top(); y <= r.bottom(); y++)
      for (int x = r.left(); x <= r.right(); x++) colours.insert(shot.pixel(x, y));
    EXPECT_GT(colours.size(), 12) << name << " view painted no rows (" << png.toStdString() << ")";
  }
}
