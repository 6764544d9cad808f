// The main window (see main_window.h).
#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDebug>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include "acquisition/pipeline/capture_pipeline.h"
#include "acquisition/qt/interface_io.h"
#include "app/capture_files.h"
#include "app/data_dialog.h"
#include "app/dialog.h"
#include "lua.h"
#include "os/process.h"
#include "ui_mainwindow.h"
#include "views/qt/data_delegate.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/large_tree_view.h"
#include "views/qt/line_table_delegate.h"
#include "views/qt/table_delegate.h"

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif

namespace {

const char kTitle[] = "RID Uvare  https://rid-uvare.example";

const char kMenuBarStyle[] =
    "QMenuBar {   color: #FFFFFF;}QMenuBar::item:selected {   background-color: #3498DB;}";
const char kFileMenuStyle[] =
    "QMenu {   color: #FFFFFF;}QMenu::item:selected {   background-color: #3498DB;}"
    "QMenu::item:disabled {background-color: #3498DB;}";
const char kToolsMenuStyle[] =
    "QMenu {   color: #FFFFFF;}QMenu::item:selected {   background-color: #3498DB;}";
const char kToolBarStyle[] = "QToolBar QToolButton:disabled {    background-color: #000000;}";
const char kDockStyle[] = "QDockWidget::title {   background-color: #f5f5f5;}";
const char kHeaderStyle[] =
    "QHeaderView::section {   background-color: rgb(85, 87, 83);   color: white;}";
const char kStatusBarStyle[] = "QStatusBar::item { border: 0px; }";

const int kRefreshMs = 100;
// A layout this long (ms) yields to the event loop; the view then waits
// this many times its cost before it is told of new rows again.
const qint64 kSlowLayoutMs = 20;
const qint64 kSlowLayoutSpacing = 3;

// The kill routine's messages go to the debug log; walked processes are not named.
void reportKill(const OsKillEvent* ev, void*) {
  switch (ev->kind) {
    case OS_KILL_SEEN:
      break;
    case OS_KILL_OPEN_FAILED:
      qDebug("打开进程失败，可能是权限不足，错误码: %lu\n", (unsigned long)ev->error);
      break;
    case OS_KILL_DONE:
      qDebug("成功关闭进程: %s (PID: %lu)\n", ev->image, (unsigned long)ev->pid);
      break;
    case OS_KILL_FAILED:
      qDebug("终止进程失败，错误码: %lu\n", (unsigned long)ev->error);
      break;
  }
}

// Terminates every stale backend, so that none writes into the channel the
// worker is about to attach to.
void killStaleBackends() {
  int error = 0;
  int killed = os_kill_by_image_name("qelvo.exe", reportKill, nullptr, &error);
  if (killed < 0)
    qDebug("创建进程快照失败，错误码: %lu\n", (unsigned long)error);
  else
    qDebug() << (killed > 0 ? "find api!!!" : "not find api!!!");
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
  killStaleBackends();
  ui->setupUi(this);
  setWindowTitle(kTitle);
  ui->menubar->setStyleSheet(kMenuBarStyle);
  ui->menu_F->setStyleSheet(kFileMenuStyle);
  ui->menu_T->setStyleSheet(kToolsMenuStyle);
  ui->toolBar->setStyleSheet(kToolBarStyle);
  ui->action_stop->setEnabled(false);
  ui->actionExit_E->setShortcut(QKeySequence::Quit);
  connect(ui->menuHelp->addAction("About"), &QAction::triggered, this, &MainWindow::showAbout);
  setAcceptDrops(true);

  buildFilters();
  buildViews();

  worker_ = new interface_io(session_);
  worker_->setMainWindow(this);
  connect(worker_, &interface_io::state_msg_snd, this, &MainWindow::on_msg_rcv, Qt::QueuedConnection);
  // Why a trace ended without Stop: the backend's own error, if it had one.
  connect(worker_->processManager(), &ProcManager::processError, this,
          [this](const QString& error) { backendError_ = error; });
  captureFiles_ = new CaptureFiles(this, worker_, session_, [this] { clearAll(); }, this);

  progressBar = new QProgressBar(this);
  progressBar->hide();
  progressBar->setTextVisible(true);
  statusLabel = new QLabel("", this);
  statusLabel->setObjectName("statusLabel");
  ui->statusbar->addWidget(statusLabel, 0);
  ui->statusbar->addWidget(progressBar, 1);
  ui->statusbar->setStyleSheet(kStatusBarStyle);

  clock_.start();
  refreshTimer->start();
}

MainWindow::~MainWindow() {
  delete worker_;  // ends its threads (at once when the close event did it already)
  for (LargeTreeModel*& m : models_) {
    delete m;  // the views forget their models
    m = nullptr;
  }
  capture_session_close(session_, 0);  // the close event has deleted the store files
  delete ui;
}

// ---- construction -----------------------------------------------------------

QTreeView* MainWindow::setUpView(QTreeView* view, SessionView which, const char* title, bool header) {
  LargeTreeModel* model = new LargeTreeModel(capture_session_tree(session_, which), this);
  model->setHeaderText(title);
  models_[which] = model;
  views_[which] = view;
  view->setRootIsDecorated(true);
  view->setModel(model);
  if (which == VIEW_DESCRIPTORS)
    view->setItemDelegate(new linetabledelegate(view));
  else
    view->setItemDelegate(new TableDelegate(view));
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  if (!header) view->setHeaderHidden(true);
  if (which != VIEW_DESCRIPTORS) {
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view->setUniformRowHeights(true);
  }
  view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  return view;
}

void MainWindow::buildViews() {
  char err[256];
  session_ = capture_session_open(1, err, sizeof err);
  if (!session_) {
    // Nothing can be shown or recorded without the store files.
    QMessageBox::critical(nullptr, "RID Uvare", QString("Cannot create the store files: %1").arg(err));
    exit(1);
  }
  QTreeView* transactions = setUpView(new LargeTreeView(), VIEW_TRANSACTIONS, "Package View", false);
  setUpView(ui->treeView_RawData, VIEW_PACKAGES, "Transfers View", true);
  ui->treeView_RawData->setStyleSheet(kHeaderStyle);
  setUpView(ui->treeView_Data, VIEW_DATA, "Data View", true);
  ui->treeView_Data->setStyleSheet(kHeaderStyle);

  refreshTimer = new QTimer(ui->treeView_RawData);
  refreshTimer->setInterval(kRefreshMs);
  refreshTimer->setTimerType(Qt::CoarseTimer);
  connect(refreshTimer, &QTimer::timeout, this, &MainWindow::refreshViews);

  QTreeView* descriptors = setUpView(new LargeTreeView(), VIEW_DESCRIPTORS, "Parse View", false);

  struct Dock {
    QDockWidget** field;
    const char* title;
    Qt::DockWidgetArea area;
    QTreeView* view;
  } docks[] = {{&transactionDock_, "Package View", Qt::LeftDockWidgetArea, transactions},
               {&descriptorDock_, "Enumeration View", Qt::RightDockWidgetArea, descriptors}};
  for (const Dock& d : docks) {
    QDockWidget* dock = new QDockWidget(d.title, this);
    dock->setAllowedAreas(d.area);
    dock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    dock->setMinimumWidth(300);
    dock->setStyleSheet(kDockStyle);
    dock->setWidget(d.view);
    addDockWidget(d.area, dock);
    *d.field = dock;
  }
}

// ---- refresh ----------------------------------------------------------------

void MainWindow::refreshViews() {
  if (!refreshing_) refreshFrom(0);
}

// Rows appended at the end cost a view only their own layout, but a view
// may still lay out all its rows again (after a filter change, or when an
// expanded row that is no longer the last one grows; scrollToBottom runs
// that layout at once). A view whose turn took long lets the event loop run
// before the next view's turn, and is told of new rows less often, so that
// the GUI stays free most of the time however large the views grow.
void MainWindow::refreshFrom(int step) {
  static const SessionView order[] = {VIEW_TRANSACTIONS, VIEW_DATA, VIEW_PACKAGES, VIEW_DESCRIPTORS};
  refreshing_ = false;
  for (; step < kSessionViewCount; step++) {
    SessionView v = order[step];
    if (clock_.elapsed() < nextAnnounce_[v]) continue;
    qint64 begin = clock_.elapsed();
    if (models_[v]->announceRows() == 0) continue;
    views_[v]->scrollToBottom();
    qint64 cost = clock_.elapsed() - begin;
    nextAnnounce_[v] = cost >= kSlowLayoutMs ? clock_.elapsed() + kSlowLayoutSpacing * cost : 0;
    if (cost >= kSlowLayoutMs && step + 1 < kSessionViewCount) {
      refreshing_ = true;
      QTimer::singleShot(0, this, [this, step] { refreshFrom(step + 1); });
      return;
    }
  }
  checkStorage();
}

// A row or packet that could not be stored (a full disk, a file past the
// size limit) stops the storing for good; what was stored stays readable.
QString MainWindow::storageFailure() const {
  const char* why = pipeline_failure(session_->pipeline);
  return why ? QString("The capture cannot be stored: %1.").arg(QString::fromUtf8(why)) : QString();
}

void MainWindow::checkStorage() {
  if (storageFailureShown_) return;
  QString why = storageFailure();
  if (why.isEmpty()) return;
  storageFailureShown_ = true;
  qWarning().noquote() << why;
  if (ui->action_stop->isEnabled()) on_action_stop_triggered();
  QMessageBox* box = new QMessageBox(
      QMessageBox::Critical, "Storage",
      why + "\n\nThe trace was stopped. The rows and packets recorded before are kept and can be "
            "browsed and saved.",
      QMessageBox::Ok, this);
  box->setObjectName("storageFailureBox");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();  // not exec(): the refresh timer goes on meanwhile
}

// ---- trace ------------------------------------------------------------------

void MainWindow::on_action_start_triggered() {
  Dialog dialog(nullptr);
  ui->action_start->setEnabled(false);
  ui->action_stop->setEnabled(true);
  startDialogOpen_ = true;
  int answer = dialog.exec();
  startDialogOpen_ = false;
  if (answer != QDialog::Accepted) {
    resetTraceActions();
    return;
  }
  stopRequested_ = false;
  backendError_.clear();
  traceNotice_.clear();
  showStatus();
  // Nothing could be recorded after a storage failure.
  QString why = storageFailure();
  if (why.isEmpty()) why = worker_->startTrace();
  if (!why.isEmpty()) {
    QMessageBox box(QMessageBox::NoIcon, "Start Trace", why, QMessageBox::Cancel);
    box.exec();
    resetTraceActions();
    return;
  }
  tracing_ = true;
}

void MainWindow::on_action_stop_triggered() {
  ui->action_start->setEnabled(true);
  ui->action_stop->setEnabled(false);
  stopRequested_ = true;
  worker_->stopTrace();
}

void MainWindow::resetTraceActions() {
  // The end of an earlier backend, reported late: a new start goes on.
  ProcManager::ProcessState state = worker_->processManager()->state();
  if (startDialogOpen_ || state == ProcManager::Starting || state == ProcManager::Running) return;
  ui->action_start->setEnabled(true);
  ui->action_stop->setEnabled(false);
  if (tracing_ && !stopRequested_) {
    traceNotice_ = backendError_.isEmpty()
                       ? QString("Trace ended: the capture backend stopped by itself")
                       : QString("Trace ended: the capture backend failed (%1)").arg(backendError_);
    qWarning().noquote() << traceNotice_;
    showStatus();
  }
  tracing_ = false;
}

void MainWindow::on_msg_rcv(QString msg) {
  lastStatus_ = msg;
  showStatus();
}

void MainWindow::showStatus() {
  statusLabel->setText(traceNotice_.isEmpty() ? lastStatus_
                                              : lastStatus_.isEmpty() ? traceNotice_
                                                                      : lastStatus_ + "    " + traceNotice_);
}

void MainWindow::on_action_clear_triggered() { clearAll(); }

void MainWindow::clearAll() {
  for (qint64& t : nextAnnounce_) t = 0;
  worker_->clearCapture([this] {
    for (SessionView v : {VIEW_TRANSACTIONS, VIEW_PACKAGES, VIEW_DATA, VIEW_DESCRIPTORS})
      models_[v]->clear();
  });
}

// ---- files ------------------------------------------------------------------

void MainWindow::on_action_save_triggered() {
  on_action_stop_triggered();
  captureFiles_->save();
}

void MainWindow::on_action_open_triggered() {
  on_action_stop_triggered();
  captureFiles_->openWithDialog();
}

bool MainWindow::openFile(const QString& path) {
  on_action_stop_triggered();
  return captureFiles_->open(path);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() == 1 && urls[0].isLocalFile()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() != 1 || !urls[0].isLocalFile()) return;
  event->acceptProposedAction();
  // Opened after the drop has finished: a failure shows a message box.
  QString path = urls[0].toLocalFile();
  QTimer::singleShot(0, this, [this, path] { openFile(path); });
}

// ---- packet text ------------------------------------------------------------

void MainWindow::on_treeView_Data_doubleClicked(const QModelIndex& index) {
  DataDelegate parser;
  if (!index.isValid()) return;
  QVariant v = index.model()->data(index, LargeTreeModel::PayloadRole);
  bool ok = false;
  qulonglong address = v.isValid() ? v.toULongLong(&ok) : 0;
  if (!ok || parser.parse(reinterpret_cast<const uint8_t*>((uintptr_t)address)) != 0) return;
  const ParsedPairRow& row = parser.row();
  DataDialog dialog(this);
  dialog.setWindowTitle(QString("Package ") +
                        QString::fromUtf8(row.infoCount > 0 ? row.infos[0].value.text : ""));
  dialog.setText(row.valueCount > 0 ? row.values[0].value.text : "");
  dialog.exec();
}

// ---- about, exit, close -----------------------------------------------------

void MainWindow::showAbout() {
  QMessageBox::about(
      this, "About",
      QString("RID Uvare %1\n\nA packet-level USB 2.0 bus analyzer.\n\n"
              "Built with Qt %2 (GNU Lesser General Public License v3) and %3 (MIT License).")
          .arg(ORVANE_VERSION, qVersion(), LUA_RELEASE));
}

void MainWindow::on_actionExit_E_triggered() { close(); }

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    on_action_stop_triggered();
    // Every thread ends before the files go: nothing writes into a deleted store.
    worker_->shutdown();
    for (SessionView v : {VIEW_TRANSACTIONS, VIEW_PACKAGES, VIEW_DESCRIPTORS, VIEW_DATA})
      models_[v]->deleteStoreFiles();
    closed_ = true;
    qDebug() << "Thread stopped, accepting close event";
  }
  event->accept();
}
