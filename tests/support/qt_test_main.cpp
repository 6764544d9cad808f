// main() of the GUI test suites (list this file in a suite's SOURCES): one
// QApplication for the whole run, on the offscreen platform unless another
// is asked for, so tests and their discovery run without a display.
#include <gtest/gtest.h>

#include <QApplication>

// Qt 5.15's offscreen platform never frees its screen; LeakSanitizer would
// fail every GUI suite at exit for it. Only allocations made inside Qt are
// named here: a leaked object of ours is still reported where we made it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libqoffscreen.so\n"
         "leak:QScreen::QScreen\n"
         "leak:QPlatformScreen::QPlatformScreen\n"
         "leak:QWindowSystemInterface::handleScreenAdded\n"
         "leak:QObject::QObject\n"
         "leak:ExternalRefCountData::getAndRef\n"
         "leak:libdbus-1.so\n";  // the xcb platform's accessibility bus
}

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
