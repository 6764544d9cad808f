// The main window with the stand-in backend: the trace flow, the filters and
// their popup, the packet text dialog, and closing during a trace; and the
// two small dialogs on their own.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QImage>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <memory>

#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "app/app_style.h"
#include "app/data_dialog.h"
#include "app/dialog.h"
#include "app/main_window.h"
#include "decode/cells/attr_flag.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "os/mapped_file.h"
#include "os/process.h"
#include "os/process_signal.h"
#include "tests/support/qt_test_util.h"
#include "tests/support/test_env.h"
#include "views/qt/large_tree_model.h"
#include "views/row_tree.h"

using testenv::ScopedEnv;
using qttest::wait_until;

namespace {

// Runs `answer` on each modal dialog as soon as it is active; lives around
// the call that opens them.
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(QWidget*)> answer) {
    QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || modal == last_) return;
      last_ = modal;
      seen++;
      answer(modal);
    });
    timer_.start(0);
  }
  int seen = 0;  // dialogs answered

 private:
  QWidget* last_ = nullptr;
  QTimer timer_;
};

const SessionView kAllViews[] = {VIEW_TRANSACTIONS, VIEW_PACKAGES, VIEW_DATA, VIEW_DESCRIPTORS};
const SessionView kFilteredViews[] = {VIEW_TRANSACTIONS, VIEW_PACKAGES, VIEW_DATA};

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() { orvane_log_set_muted(1); }
  ~WindowTest() override {
    window.reset();
    orvane_log_set_muted(0);
  }

  void makeWindow() { window.reset(new MainWindow); }
  QAction* action(const char* name) { return window->findChild<QAction*>(name); }
  bool idle() { return action("action_start")->isEnabled() && !action("action_stop")->isEnabled(); }
  QString status() { return window->findChild<QLabel*>("statusLabel")->text(); }
  ProcManager* backend() { return window->worker()->processManager(); }
  QCheckBox* box(const char* text) {
    for (QCheckBox* b : window->findChildren<QCheckBox*>())
      if (b->text() == text) return b;
    return nullptr;
  }
  QLineEdit* field(const char* name) { return window->findChild<QLineEdit*>(name); }

  // Start Trace, the "Trace Config" dialog answered with combo index `speed`
  // and OK. A refusal's message box is cancelled and returned as
  // "title|text|buttons" (no backend may run then); "" when none came.
  QString startTrace(int speed = 2) {
    QString refused;
    ModalAnswer answer([&](QWidget* w) {
      if (QMessageBox* m = qobject_cast<QMessageBox*>(w)) {
        refused = QString("%1|%2|%3").arg(m->windowTitle(), m->text()).arg(m->buttons().size());
        return m->button(QMessageBox::Cancel)->click();
      }
      w->findChild<QComboBox*>("cb_speed")->setCurrentIndex(speed);
      w->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    });
    action("action_start")->trigger();
    EXPECT_EQ(refused.isEmpty() ? 1 : 2, answer.seen);
    if (!refused.isEmpty()) {
      EXPECT_EQ(ProcManager::NotRunning, backend()->state());
    }
    return refused;
  }
  // Decoding has ended and every view shows every row its tree holds (the refresh step ran).
  bool settled() {
    return window->worker()->waitCaptureIdle(20000) && wait_until([&] {
      for (SessionView v : kAllViews)
        if ((uint32_t)window->model(v)->rowCount() != window->model(v)->liveRowCount()) return false;
      return true;
    }, 5000);
  }
  // The attribute flags of the top-level rows a view shows.
  std::vector<uint32_t> shownFlags(SessionView v) {
    LargeTreeModel* m = window->model(v);
    std::vector<uint32_t> flags;
    for (int r = 0; r < m->rowCount(); r++) {
      IndexEntry e;
      EXPECT_TRUE(row_tree_entry(m->tree(), (uint32_t)m->index(r, 0).internalId(), &e));
      flags.push_back(e.attr_flags);
    }
    return flags;
  }

  testenv::ShmIsolation iso;
  ScopedEnv scope{"QELVO_KILL_SCOPE", "suffix"};  // stale backends of this test only
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
  qttest::LogCapture log;
  std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST_F(WindowTest, TraceFlowAtEachSpeedWithCancelClearABackendThatDiesAndAFullDisk) {
  makeWindow();
  EXPECT_TRUE(log.contains("not find api!!!"));
  EXPECT_EQ("RID Uvare  https://rid-uvare.example", window->windowTitle());
  EXPECT_TRUE(idle());

  QSignalSpy states(backend(), &ProcManager::processStateChanged);
  {
    ModalAnswer cancel([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
    action("action_start")->trigger();
    ASSERT_EQ(1, cancel.seen);
  }
  EXPECT_TRUE(idle());
  EXPECT_EQ(0, states.count()) << "a cancelled Trace Config started a backend";

  const char* speeds[] = {"ls", "fs", "hs"};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(speeds[i]);
    startTrace(i);
    EXPECT_FALSE(action("action_start")->isEnabled());
    EXPECT_TRUE(action("action_stop")->isEnabled());
    ASSERT_TRUE(wait_until([&] { return backend()->isRunning(); }, 5000));
    std::string want = testenv::bin_dir() + "/qelvo.exe" + '\0' + "-s" + '\0' + speeds[i] + '\0' +
                       "-c" + '\0' + "-f" + '\0' + "cfile.qelvo" + '\0';
    EXPECT_EQ(want, testenv::read_file("/proc/" + std::to_string(backend()->processId()) + "/cmdline"));
    EXPECT_TRUE(wait_until([&] { return window->model(VIEW_PACKAGES)->rowCount() > 0; }, 5000))
        << "no rows announced";
    action("action_stop")->trigger();
    EXPECT_TRUE(idle());
    ASSERT_TRUE(wait_until([&] { return !backend()->isRunning(); }, 5000));
  }

  // Clear empties every view; the next rows are announced from 0.
  ASSERT_TRUE(settled());
  EXPECT_GT(window->model(VIEW_DESCRIPTORS)->rowCount(), 0) << "the enumeration was not decoded";
  action("action_clear")->trigger();
  for (SessionView v : kAllViews) EXPECT_EQ(0u, window->model(v)->rowCount() + window->model(v)->liveRowCount()) << v;
  QSignalSpy inserted(window->model(VIEW_PACKAGES), &QAbstractItemModel::rowsInserted);
  startTrace();
  ASSERT_TRUE(wait_until([&] { return inserted.count() > 0; }, 5000));
  EXPECT_EQ(0, inserted[0][1].toInt()) << "the first rows after Clear start at 0";

  // The backend dying under a trace: idle again, and the status bar says why.
  ASSERT_TRUE(wait_until([&] { return backend()->isRunning(); }, 5000));
  ASSERT_EQ(0, os_pid_kill((uint32_t)backend()->processId()));
  EXPECT_TRUE(wait_until([&] { return idle(); }, 5000));
  EXPECT_TRUE(status().contains("capture backend failed")) << status().toStdString();

  // A full disk stops the next trace with a message and keeps the rows.
  inserted.clear();
  startTrace();
  ASSERT_TRUE(wait_until([&] { return inserted.count() > 0; }, 5000));
  os_file_fail_next("write", 1, ENOSPC);
  QMessageBox* box = nullptr;
  ASSERT_TRUE(wait_until([&] { return (box = window->findChild<QMessageBox*>("storageFailureBox")); }, 10000));
  EXPECT_TRUE(box->text().contains("no space left on the device")) << box->text().toStdString();
  EXPECT_TRUE(idle());
  EXPECT_TRUE(wait_until([&] { return !backend()->isRunning(); }, 5000));
  ASSERT_TRUE(settled());
  int kept = window->model(VIEW_PACKAGES)->rowCount();
  EXPECT_GT(kept, 0);
  box->close();

  // A new trace is refused with the reason; the rows stay.
  EXPECT_TRUE(startTrace().contains("no space left on the device"));
  EXPECT_EQ(kept, window->model(VIEW_PACKAGES)->rowCount());
}

TEST_F(WindowTest, AnUnusableChannelIsShownInTheStartTraceBoxAndStartsNothing) {
  ScopedEnv bad("QELVO_SHM_SUFFIX", std::string(300, 'x'));  // no such object name can exist
  makeWindow();
  EXPECT_EQ("Start Trace|创建共享内存失败: creat share mem failed (err code: 36)|1", startTrace().toStdString());
  EXPECT_TRUE(idle());
  QElapsedTimer t;
  t.start();
  window.reset();  // the channel reader, waiting for a channel, wakes for the end
  EXPECT_LT(t.elapsed(), 1000);
}

TEST_F(WindowTest, FilterMaskFromTheToolBarReachesThreeModelsAndTheSelection) {
  makeWindow();
  // A USB address has 7 bits, an endpoint number 4.
  EXPECT_EQ(127, qobject_cast<const QIntValidator*>(field("le_addr")->validator())->top());
  EXPECT_EQ(15, qobject_cast<const QIntValidator*>(field("le_ep")->validator())->top());

  struct Case {
    const char* boxes;  // the checked boxes, blank-separated
    const char *addr, *ep;
    uint32_t mask;  // its top bytes: the selected address and endpoint
  } cases[] = {
      {"", "", "", 0xFFFF0000u},    {"SOF", "", "", 0xFFFF0002u}, {"", "5", "", 0x05FF0000u},
      {"", "", "1", 0xFF010000u},   {"ERR", "3", "2", 0x03028000u},
      {"SOF PING SPLIT NAK STALL ERR", "127", "15", 0x7F0FB023u},
  };
  const char* names[] = {"SOF", "PING", "SPLIT", "NAK", "STALL", "ERR"};
  uint32_t previous = 0xFFFF0000u;  // as the window opens
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    QStringList on = QString(c.boxes).split(' ', Qt::SkipEmptyParts);
    for (const char* n : names) {
      QSignalBlocker quiet(box(n));
      box(n)->setChecked(on.contains(n));
    }
    field("le_addr")->setText(c.addr);
    field("le_ep")->setText(c.ep);
    EXPECT_EQ(previous, window->attrFlag()) << "typed text took effect before a box changed";
    box("NAK")->toggle();  // each change applies the whole state
    box("NAK")->toggle();
    EXPECT_EQ(c.mask, window->attrFlag());
    for (SessionView v : kFilteredViews) EXPECT_EQ(c.mask, window->model(v)->tree()->filter) << v;
    EXPECT_EQ(c.mask >> 24, selectedAddress);
    EXPECT_EQ((c.mask >> 16) & 0xFF, selectedEndpoint);
    previous = c.mask;
  }
}

// mouse.pcap replayed by the backend, which then ends by itself.
TEST_F(WindowTest, ReplayedCaptureFillsThePopupAndAPickedPairFiltersTheViews) {
  ScopedEnv replay("QELVO_REPLAY", testenv::shared_captures_dir() + "/mouse.pcap");
  ScopedEnv rate("QELVO_REPLAY_RATE", "max");
  makeWindow();
  startTrace();
  ASSERT_TRUE(wait_until([&] { return idle(); }, 30000)) << "the replay did not end";
  EXPECT_TRUE(status().contains("stopped by itself")) << status().toStdString();
  ASSERT_TRUE(settled());
  for (SessionView v : kAllViews) ASSERT_GT(window->model(v)->rowCount(), 0) << v;

  QTest::mouseClick(field("le_addr"), Qt::LeftButton);
  QListWidget* list = window->findChild<QListWidget*>("addressList");
  ASSERT_TRUE(list->isVisible());
  ASSERT_EQ(seenEndpoints.count + 1, list->count());
  EXPECT_EQ("all", list->item(0)->text());  // then one row per pair, and one row spare
  EXPECT_EQ((list->count() + 1) * list->sizeHintForRow(0), list->height());
  EXPECT_EQ(field("le_addr")->mapToGlobal(QPoint(0, field("le_addr")->height())), list->pos());
  int pick = -1;
  for (int i = 0; i < seenEndpoints.count; i++) {
    SeenEndpoint p = seenEndpoints.pairs[i];
    EXPECT_EQ(QString("address:%1\tendpoint:%2").arg(p.address).arg(p.endpoint), list->item(i + 1)->text());
    if (p.endpoint != 0) pick = i;  // the mouse's interrupt endpoint
  }
  ASSERT_GE(pick, 0) << "no interrupt endpoint seen";
  SeenEndpoint picked = seenEndpoints.pairs[pick];

  std::vector<uint32_t> before[kSessionViewCount];
  for (SessionView v : kAllViews) before[v] = shownFlags(v);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualItemRect(list->item(pick + 1)).center());
  EXPECT_EQ(attr_make_address(0, picked.address, picked.endpoint), window->attrFlag());
  for (SessionView v : kFilteredViews) {
    std::vector<uint32_t> want;
    for (uint32_t f : before[v])
      if ((f >> 16) == ((uint32_t)picked.address << 8 | picked.endpoint)) want.push_back(f);
    EXPECT_FALSE(want.empty()) << v;
    EXPECT_EQ(want, shownFlags(v)) << "view " << v;
  }
  EXPECT_EQ(before[VIEW_DESCRIPTORS], shownFlags(VIEW_DESCRIPTORS)) << "the descriptor view is never filtered";

  // The packet text dialog of a shown data row.
  QString title;
  ModalAnswer read([&](QWidget* w) {
    title = w->windowTitle();
    static_cast<QDialog*>(w)->reject();
  });
  QTreeView* data = window->view(VIEW_DATA);
  emit data->doubleClicked(data->model()->index(0, 0));
  ASSERT_EQ(1, read.seen);
  EXPECT_TRUE(QRegExp("Package \\d+").exactMatch(title)) << title.toStdString();

  // "all", picked in the popup opened from the endpoint field, drops the pair.
  QTest::mouseClick(field("le_ep"), Qt::LeftButton);
  ASSERT_TRUE(list->isVisible());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  EXPECT_FALSE(list->isVisible());
  EXPECT_TRUE(field("le_addr")->text().isEmpty() && field("le_ep")->text().isEmpty());
  EXPECT_EQ(0xFFFFu, window->attrFlag() >> 16);
}

// Shown as the program shows it, a capture dropped on it and its first
// transfer expanded: every view has painted rows into what the window
// flushed to the screen (a screen grab, not a fresh render).
TEST_F(WindowTest, EveryViewPaintsTheRowsOfADroppedCapture) {
  makeWindow();
  window->show();
  qApp->setStyleSheet(kAppStyleSheet);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get(), 10000));
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(testenv::shared_captures_dir() + "/mouse.pcap"))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &drop);
  ASSERT_TRUE(wait_until([&] { return window->model(VIEW_DESCRIPTORS)->rowCount() > 0; }, 10000))
      << "the dropped capture was not opened";
  ASSERT_TRUE(settled());
  QTreeView* transactions = window->view(VIEW_TRANSACTIONS);
  QAbstractItemModel* m = transactions->model();
  for (int r = 0; r < m->rowCount(); r++) {
    QModelIndex i = m->index(r, 0);
    if (m->rowCount(i) > 1) {  // a transfer: transactions under it
      transactions->scrollTo(i, QAbstractItemView::PositionAtTop);
      transactions->expand(i);
      break;
    }
  }
  // An empty view has one or two colours; painted cells bring their fills,
  // outlines and text.
  auto colours = [&](SessionView v) {
    QImage shot = window->screen()->grabWindow(window->winId()).toImage();
    QWidget* vp = window->view(v)->viewport();
    QRect r = QRect(vp->mapTo(window.get(), QPoint(0, 0)), vp->size()).intersected(shot.rect());
    QSet<QRgb> seen;
    for (int y = r.top(); y <= r.bottom(); y++)
      for (int x = r.left(); x <= r.right(); x++) seen.insert(shot.pixel(x, y));
    return seen.size();
  };
  for (SessionView v : kAllViews)
    EXPECT_TRUE(wait_until([&] { return colours(v) > 12; }, 5000)) << "view " << v << " painted no rows";
}

TEST_F(WindowTest, ExitDuringATraceKillsStaleAndRunningBackendsAndDeletesTheStores) {
  OsProcess* stale = os_process_spawn((testenv::bin_dir() + "/qelvo.exe -s hs -c").c_str());
  ASSERT_TRUE(stale);
  makeWindow();
  OsProcessExit how;
  ASSERT_EQ(1, os_process_wait(stale, 5000, &how)) << "the stale backend survived";
  EXPECT_TRUE(how.crashed);
  EXPECT_TRUE(log.contains(QString("成功关闭进程: qelvo.exe (PID: %1)").arg(os_process_id(stale))));
  EXPECT_TRUE(log.contains("find api!!!") && !log.contains("not find api!!!"));
  os_process_close(stale);

  startTrace();
  ASSERT_TRUE(wait_until([&] { return backend()->isRunning(); }, 5000));
  ASSERT_TRUE(wait_until([&] { return window->model(VIEW_PACKAGES)->rowCount() > 0; }, 5000));
  action("actionExit_E")->trigger();
  EXPECT_TRUE(log.contains("Thread stopped, accepting close event"));
  EXPECT_FALSE(log.contains("forcing termination"));
  EXPECT_FALSE(window->worker()->isRunning());
  for (int v = 0; v < kSessionViewCount; v++) {
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string("data/") + kSessionTreeFiles[v].value)));
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string("data/") + kSessionTreeFiles[v].index)));
  }
  window.reset();
  EXPECT_EQ(0, os_kill_by_image_name("qelvo.exe", nullptr, nullptr, nullptr)) << "a backend was left";
}

TEST(SmallDialogs, TraceConfigStoresTheSpeedOnOkAndDataDispShowsTheText) {
  EXPECT_EQ(interface_io::speedCode(), 2);  // full speed until a dialog was accepted
  struct Case {
    int index;  // -1: leave the combo box as the dialog opens
    bool ok;
    int expected;
  } cases[] = {{-1, true, 3}, {0, true, 1}, {1, false, 1}, {1, true, 2}, {2, false, 2}};
  for (const Case& c : cases) {
    Dialog d(nullptr);
    EXPECT_EQ(d.windowTitle(), "Trace Config");
    QComboBox* speed = d.findChild<QComboBox*>("cb_speed");
    EXPECT_EQ(speed->currentText(), "HighSpeed");  // every dialog starts at high speed
    if (c.index >= 0) speed->setCurrentIndex(c.index);
    d.findChild<QDialogButtonBox*>("buttonBox")->button(c.ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(d.result(), c.ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(interface_io::speedCode(), c.expected) << c.index << " " << c.ok;
  }

  DataDialog d(nullptr);
  EXPECT_EQ(d.windowTitle(), "Data Disp");
  QTextBrowser* browser = d.findChild<QTextBrowser*>("textBrowser");
  d.setText("0x12 \xc3\xa9");
  EXPECT_EQ(browser->toPlainText(), QString::fromUtf8("0x12 \xc3\xa9"));
  d.setText(nullptr);
  EXPECT_TRUE(browser->toPlainText().isEmpty());
}
