// The analyzer's window on a real X display: the window suite's paint test
// runs again in a child of this suite, on a private Xvfb server instead of
// the offscreen platform.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <climits>

#include "os/process.h"

TEST(Screen, EveryViewPaintsRowsOnARealDisplay) {
  char path[PATH_MAX];
  if (os_process_resolve("Xvfb", path, sizeof path) != 0)
    GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh --with-test-tools)";
  // QProcess ends both children when they go out of scope.
  QProcess server;
  server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"});
  QByteArray display;
  while (!display.contains('\n') && server.waitForReadyRead(10000)) display += server.readAllStandardOutput();
  ASSERT_FALSE(display.trimmed().isEmpty()) << "Xvfb did not start";

  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DISPLAY", ":" + QString::fromLatin1(display.trimmed()));
  env.insert("QT_QPA_PLATFORM", "xcb");
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QCoreApplication::applicationFilePath(),
              {"--gtest_filter=WindowTest.EveryViewPaintsTheRowsOfADroppedCapture"});
  ASSERT_TRUE(child.waitForFinished(120000)) << "the window test did not end";
  const QByteArray out = child.readAll();
  EXPECT_EQ(0, child.exitCode()) << out.right(3000).toStdString();
  EXPECT_TRUE(out.contains("[  PASSED  ] 1 test.")) << out.right(3000).toStdString();
}
