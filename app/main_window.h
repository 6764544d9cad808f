// The analyzer's one window: four views over the capture session's row
// trees (two in the central area, two in docks), the trace actions, the
// packet filters on the tool bar, and the status bar.
//
// Rows reach the trees from the capture worker's threads; the window never
// receives row signals. Its refresh timer (100 ms) announces what grew to
// the views, so a view only ever sees announced rows.
//
// Lifetimes: the session outlives the worker and the models (the window
// closes it last); closing the window stops the trace, ends every thread of
// the worker and deletes the store files.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QModelIndex>
#include <QString>
#include <cstdint>

#include "acquisition/pipeline/capture_session.h"

class QCheckBox;
class QDockWidget;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QTimer;
class QTreeView;
class CaptureFiles;
class LargeTreeModel;
class interface_io;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Opens a capture file (command line, a dropped file) after stopping the trace.
  bool openFile(const QString& path);

  // The parts the tests look at.
  LargeTreeModel* model(SessionView view) const { return models_[view]; }
  QTreeView* view(SessionView view) const { return views_[view]; }
  interface_io* worker() const { return worker_; }
  CaptureSession* session() const { return session_; }
  uint32_t attrFlag() const { return attr_flag; }

 public slots:
  // Start enabled, Stop disabled. The worker calls it (queued) when the
  // backend has stopped; a trace that the user did not stop gets a notice.
  void resetTraceActions();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private slots:
  // Reached by name from the form.
  void on_action_clear_triggered();
  void on_action_open_triggered();
  void on_action_save_triggered();
  void on_action_start_triggered();
  void on_action_stop_triggered();
  void on_actionExit_E_triggered();
  void on_treeView_Data_doubleClicked(const QModelIndex& index);

 private:
  // Connected explicitly (their senders are made after the form).
  void on_cb_sof_stateChanged(int);
  void on_cb_ping_stateChanged(int);
  void on_cb_split_stateChanged(int);
  void on_cb_nak_stateChanged(int);
  void on_cb_stall_stateChanged(int);
  void on_cb_err_stateChanged(int);
  void on_msg_rcv(QString msg);

  void buildFilters();
  QCheckBox* addFilterBox(const char* text, void (MainWindow::*slot)(int));
  QLineEdit* addFilterField(const char* placeholder, int top);
  void buildViews();
  QTreeView* setUpView(QTreeView* view, SessionView which, const char* title, bool header);
  void applyAttrFlag();
  void pickAddress(QListWidgetItem* item);
  void refreshViews();
  void refreshFrom(int step);
  void checkStorage();
  QString storageFailure() const;
  void clearAll();
  void showAbout();
  void showStatus();

  Ui::MainWindow* ui;
  QCheckBox* cb_sof = nullptr;
  QCheckBox* cb_ping = nullptr;
  QCheckBox* cb_split = nullptr;
  QCheckBox* cb_nak = nullptr;
  QCheckBox* cb_stall = nullptr;
  QCheckBox* cb_err = nullptr;
  QLineEdit* le_addr = nullptr;
  QLineEdit* le_ep = nullptr;
  QListWidget* addressList = nullptr;
  QDockWidget* transactionDock_ = nullptr;
  QDockWidget* descriptorDock_ = nullptr;
  CaptureSession* session_ = nullptr;  // owned; closed after the worker and the models
  interface_io* worker_ = nullptr;     // owned
  CaptureFiles* captureFiles_ = nullptr;
  LargeTreeModel* models_[kSessionViewCount] = {};
  QTreeView* views_[kSessionViewCount] = {};
  uint32_t attr_flag = 0xFFFF0000u;
  QTimer* refreshTimer = nullptr;
  QProgressBar* progressBar = nullptr;
  QLabel* statusLabel = nullptr;
  QElapsedTimer clock_;
  qint64 nextAnnounce_[kSessionViewCount] = {};  // clock_ time before which a view waits
  bool refreshing_ = false;                      // a refresh step goes on in a later event

  bool tracing_ = false;        // a backend was started and has not been seen to stop
  bool stopRequested_ = false;  // the user (or the window) stopped it
  bool startDialogOpen_ = false;
  QString backendError_;        // the backend's last error during this trace
  QString lastStatus_;          // the worker's last text
  QString traceNotice_;         // why the last trace ended, when not by Stop
  bool storageFailureShown_ = false;
  bool closed_ = false;
};
