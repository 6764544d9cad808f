// Save and Open of capture files (stand-in until the real component lands:
// every operation does nothing).
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QWidget;
class interface_io;
struct CaptureSession;

class CaptureFiles : public QObject {
  Q_OBJECT
 public:
  // `clearAll` runs the main window's Clear (the models, the row counts, the
  // loaded-packet list, the capture data file).
  CaptureFiles(QWidget* window, interface_io* worker, CaptureSession* session,
               std::function<void()> clearAll, QObject* parent = nullptr);
  void save();            // the Save action, after the window stopped the trace
  void openWithDialog();  // the Open action, after the window stopped the trace
  bool open(const QString& path);  // opens `path`: on failure a message box, views unchanged
};
