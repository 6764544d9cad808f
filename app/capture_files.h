// Save and Open of captures in the analyzer. The main window stops the trace
// and then calls save() or openWithDialog(); the command line and a dropped
// file call open(path).
//
// Save moves the capture data file (the raw packets of the traces since the
// last Clear, Open or Save) to the chosen "*.qelvo" file, or writes it as
// pcapng, and starts a fresh one. Open reads a capture file ("*.qelvo",
// pcap, pcapng) into the loaded-packet list and replays it through the
// worker into the views.
//
// Rules:
//   1. Save closes the capture data file only with the worker's consumer
//      paused and after every packet the backend delivered was recorded
//      (waitCaptureIdle); a capture that cannot be moved is kept and
//      recorded on, and the user is told.
//   2. Right after an Open (nothing recorded since), Save writes the opened
//      packets, with the times the views show.
//   3. Open reads and checks the whole file before it clears anything: a
//      file that cannot be opened, is no capture, is damaged, or changes or
//      vanishes meanwhile leaves the views and the loaded packets as they
//      were, and a message box names the file and the problem.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "store/capture/capture_file.h"

class QWidget;
class interface_io;
struct CaptureSession;

// The dialogs and boxes of Save and Open. The default asks with the file
// dialogs and shows message boxes and a progress dialog; tests answer them.
class CaptureFilesUi {
 public:
  virtual ~CaptureFilesUi() = default;
  // The save dialog: the chosen file, empty when cancelled; *pcapng tells
  // whether the pcapng filter was chosen.
  virtual QString askSaveFile(bool* pcapng) = 0;
  // The open dialog: the chosen file, empty when cancelled.
  virtual QString askOpenFile() = 0;
  // A warning box with one button.
  virtual void showMessage(const QString& title, const QString& text) = 0;
  // A long read or write, shown from begin to end. step() is called at most
  // every few tens of milliseconds and returns false once the user cancelled.
  virtual void progressBegin(const QString& label, uint64_t total) = 0;
  virtual bool progressStep(uint64_t done) = 0;
  virtual void progressEnd() = 0;
};

// Copies `source` to `target` in 64 KiB pieces with a progress dialog, then
// deletes `source`. True only when everything succeeded; otherwise the
// target is deleted, the source stays, and `error` (when given) says why.
bool moveFile(const QString& source, const QString& target, QWidget* parent,
              QString* error = nullptr);

class CaptureFiles : public QObject {
  Q_OBJECT
 public:
  // `clearAll` runs the main window's Clear (the models, the row counts, the
  // loaded-packet list, the capture data file).
  CaptureFiles(QWidget* window, interface_io* worker, CaptureSession* session,
               std::function<void()> clearAll, QObject* parent = nullptr);
  ~CaptureFiles() override;

  // The Save action, after the window stopped the trace.
  void save();
  // The Open action, after the window stopped the trace.
  void openWithDialog();
  // Opens `path` (command line, drop, dialog): on failure a message box, views unchanged.
  bool open(const QString& path);

  // Replaces the dialogs and boxes (tests).
  void setUi(std::unique_ptr<CaptureFilesUi> ui);

  // File dialog filters.
  static const QString kQelvoFilter;    // "usb data file (*.qelvo)"
  static const QString kPcapFilter;     // pcap and pcapng
  static const QString kPcapngFilter;   // pcapng only (Save)
  static const QString kAllFilter;

 private:
  // Both return what the user must be told, empty when nothing.
  QString saveWhileIdle(const QString& target, CaptureFormat format);
  QString saveLoaded(const QString& target, CaptureFormat format);
  bool convertDataFile(const QString& source, const QString& target, QString* why);
  uint64_t recordedBytes() const;
  static int progressHook(void* self, uint64_t done, uint64_t total);

  QWidget* window_;
  interface_io* worker_;
  CaptureSession* session_;
  std::function<void()> clearAll_;
  std::unique_ptr<CaptureFilesUi> ui_;
  int64_t lastStepNs_ = -1;  // when progressStep was last called; -1 before the first
  bool cancelled_ = false;   // progressStep said so
  bool busy_ = false;        // a Save or Open runs (events are processed meanwhile)
};
