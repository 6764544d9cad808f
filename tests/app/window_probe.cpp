// The analyzer's window on a real display, for the screen test:
//
//   window_probe CAPTURE OUT.png
//
// Builds the main window as the program does, opens CAPTURE as `orvane
// CAPTURE` does, waits until every view shows all its rows, expands
// the first transfer, grabs the window from the screen into OUT.png and
// prints each view's rectangle (x y width height, in window pixels; the
// transaction, package, data and descriptor views).
// Exit status 0, or 2 with a message when something did not happen in time.
#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTreeView>
#include <QWindow>
#include <cstdio>

#include "acquisition/qt/interface_io.h"
#include "app/app_style.h"
#include "app/main_window.h"
#include "tests/app/app_test_util.h"
#include "tests/support/qt_test_util.h"
#include "views/qt/large_tree_model.h"

// The xcb platform's D-Bus connection is never freed; LeakSanitizer would
// fail every run for it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace {

const SessionView kViews[] = {VIEW_TRANSACTIONS, VIEW_PACKAGES, VIEW_DATA, VIEW_DESCRIPTORS};

int fail(const char* why) {
  fprintf(stderr, "window_probe: %s\n", why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: window_probe CAPTURE OUT.png");
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(icons);
  MainWindow window;
  window.show();
  app.setStyleSheet(kAppStyleSheet);
  if (!QTest::qWaitForWindowExposed(&window, 10000)) return fail("the window was never exposed");

  {
    // A file that cannot be opened is reported in a message box: close it.
    apptest::ModalAnswer close([](QWidget* w) { w->close(); });
    if (!window.openFile(QString::fromLocal8Bit(argv[1]))) return fail("the capture was not opened");
  }
  if (!window.worker()->waitCaptureIdle(20000)) return fail("the worker did not get idle");
  auto shown = [&] {
    for (SessionView v : kViews) {
      LargeTreeModel* m = window.model(v);
      if (m->rowCount() == 0 || (uint32_t)m->rowCount() != m->liveRowCount()) return false;
    }
    return true;
  };
  if (!qttest::wait_until(shown, 5000)) return fail("the views did not show their rows");

  QTreeView* transactions = window.view(VIEW_TRANSACTIONS);
  QAbstractItemModel* m = transactions->model();
  for (int r = 0; r < m->rowCount(); r++) {
    QModelIndex i = m->index(r, 0);
    if (m->hasChildren(i) && m->rowCount(i) > 1) {  // a transfer: transactions under it
      transactions->scrollTo(i, QAbstractItemView::PositionAtTop);
      transactions->expand(i);
      break;
    }
  }
  // The expansion's layout, then every widget painted and flushed to the
  // display before the grab (the display handles requests in order).
  QApplication::processEvents();
  window.repaint();
  QPixmap shot = window.screen()->grabWindow(window.winId());
  if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[2]), "PNG")) return fail("no screen grab");
  for (SessionView v : kViews) {
    QWidget* vp = window.view(v)->viewport();
    QPoint at = vp->mapTo(&window, QPoint(0, 0));
    printf("%d %d %d %d\n", at.x(), at.y(), vp->width(), vp->height());
  }
  window.close();
  return 0;
}
