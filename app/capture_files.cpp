// Save and Open of captures (see capture_files.h).
#include "app/capture_files.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include <climits>

#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "os/clock.h"
#include "store/capture/loaded_capture.h"
#include "store/capture/loaded_packets.h"

const QString CaptureFiles::kQelvoFilter = QStringLiteral("usb data file (*.qelvo)");
const QString CaptureFiles::kPcapFilter = QStringLiteral("pcap/pcapng file (*.pcap *.pcapng)");
const QString CaptureFiles::kPcapngFilter = QStringLiteral("pcapng file (*.pcapng)");
const QString CaptureFiles::kAllFilter = QStringLiteral("all files (*)");

namespace {

const char kSaveTitle[] = "save usb data package";
const char kOpenTitle[] = "read usb data package";
// Save waits this long at most for the packets the backend delivered to be
// recorded, in slices between which the window repaints.
const int kIdleWaitMs = 10000;
const int kIdleSliceMs = 200;
// Least time between two progress steps.
const int64_t kStepNs = 30000000;
// Bytes per piece of moveFile.
const qint64 kMovePiece = 65536;

// Marks a Save or Open as running for its scope.
struct Busy {
  explicit Busy(bool* flag) : flag_(flag) { *flag_ = true; }
  ~Busy() { *flag_ = false; }
  bool* flag_;
};

// The shift that brings `total` into the int range of a progress dialog.
int rangeShift(uint64_t total) {
  int shift = 0;
  while ((total >> shift) > (uint64_t)INT_MAX) shift++;
  return shift;
}

// Lets the event loop run during a long operation. User input waits until
// the (modal) progress dialog shows, which takes a few seconds: before it,
// a click could start another Save or Open inside this one.
void pumpEvents(QProgressDialog* progress) {
  QCoreApplication::processEvents(progress && progress->isVisible()
                                      ? QEventLoop::AllEvents
                                      : QEventLoop::ExcludeUserInputEvents);
}

class DialogUi : public CaptureFilesUi {
 public:
  explicit DialogUi(QWidget* window) : window_(window) {}

  QString askSaveFile(bool* pcapng) override {
    QFileDialog dialog(nullptr, kSaveTitle, QDir::homePath(),
                       CaptureFiles::kQelvoFilter + ";;" + CaptureFiles::kPcapngFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("qelvo");
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& f) {
      dialog.setDefaultSuffix(f == CaptureFiles::kPcapngFilter ? "pcapng" : "qelvo");
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    *pcapng = dialog.selectedNameFilter() == CaptureFiles::kPcapngFilter;
    return dialog.selectedFiles().first();
  }

  QString askOpenFile() override {
    return QFileDialog::getOpenFileName(nullptr, kOpenTitle, QDir::homePath(),
                                        CaptureFiles::kQelvoFilter + ";;" + CaptureFiles::kPcapFilter +
                                            ";;" + CaptureFiles::kAllFilter);
  }

  void showMessage(const QString& title, const QString& text) override {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, window_);
    box.exec();
  }

  void progressBegin(const QString& label, uint64_t total) override {
    shift_ = rangeShift(total);
    progress_ = new QProgressDialog(label, QObject::tr("Cancel"), 0, (int)(total >> shift_), window_);
    progress_->setWindowModality(Qt::WindowModal);
    progress_->setAutoReset(false);
  }

  bool progressStep(uint64_t done) override {
    if (!progress_) return true;
    progress_->setValue((int)(done >> shift_));
    pumpEvents(progress_);
    return progress_ && !progress_->wasCanceled();
  }

  void progressEnd() override { delete progress_; }

 private:
  QWidget* window_;
  QPointer<QProgressDialog> progress_;
  int shift_ = 0;
};

}  // namespace

bool moveFile(const QString& source, const QString& target, QWidget* parent, QString* error) {
  QString why;
  QFile in(source);
  if (!in.open(QIODevice::ReadOnly)) {
    qDebug().noquote() << "无法打开源文件:" << in.errorString();
    if (error) *error = source + ": " + in.errorString();
    return false;
  }
  // Opening the target would cut the source.
  QString same = QFileInfo(source).canonicalFilePath();
  if (!same.isEmpty() && same == QFileInfo(target).canonicalFilePath()) {
    qDebug().noquote() << "无法打开目标文件:" << target << "is the source";
    if (error) *error = target + ": is the file being saved";
    return false;
  }
  QFile out(target);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    qDebug().noquote() << "无法打开目标文件:" << out.errorString();
    if (error) *error = target + ": " + out.errorString();
    in.close();
    return false;
  }
  qint64 total = in.size();
  int shift = rangeShift((uint64_t)total);
  QProgressDialog progress("正在移动文件...", "取消", 0, (int)(total >> shift), parent);
  progress.setWindowTitle("文件移动");
  progress.setWindowModality(Qt::WindowModal);
  QByteArray buf(kMovePiece, 0);
  qint64 copied = 0;
  bool ok = true;
  while (!in.atEnd()) {
    qint64 n = in.read(buf.data(), buf.size());
    if (n < 0) {
      qDebug() << "读取文件失败";
      why = source + ": " + in.errorString();
      ok = false;
      break;
    }
    if (n == 0) break;  // the source shrank under us: what it holds is copied
    if (out.write(buf.constData(), n) != n) {
      qDebug() << "写入文件失败";
      why = target + ": " + out.errorString();
      ok = false;
      break;
    }
    copied += n;
    progress.setValue((int)(copied >> shift));
    pumpEvents(&progress);
    if (progress.wasCanceled()) {
      why = QObject::tr("cancelled");
      ok = false;
      break;
    }
  }
  // Buffered bytes can still fail to reach the disk.
  if (ok && !out.flush()) {
    qDebug() << "写入文件失败";
    why = target + ": " + out.errorString();
    ok = false;
  }
  in.close();
  out.close();
  if (ok) {
    if (QFile::remove(source)) {
      progress.setValue((int)(total >> shift));
      return true;
    }
    qDebug() << "无法删除源文件";
    why = source + ": " + QObject::tr("cannot be deleted");
  }
  QFile::remove(target);
  if (error) *error = why;
  return false;
}

CaptureFiles::CaptureFiles(QWidget* window, interface_io* worker, CaptureSession* session,
                           std::function<void()> clearAll, QObject* parent)
    : QObject(parent),
      window_(window),
      worker_(worker),
      session_(session),
      clearAll_(std::move(clearAll)),
      ui_(new DialogUi(window)) {}

CaptureFiles::~CaptureFiles() = default;

void CaptureFiles::setUi(std::unique_ptr<CaptureFilesUi> ui) { ui_ = std::move(ui); }

uint64_t CaptureFiles::recordedBytes() const {
  return capture_data_size(session_->pipeline);
}

int CaptureFiles::progressHook(void* self, uint64_t done, uint64_t) {
  CaptureFiles* cf = static_cast<CaptureFiles*>(self);
  int64_t now = (int64_t)os_monotonic_ns();
  if (cf->lastStepNs_ < 0 || now - cf->lastStepNs_ >= kStepNs) {
    cf->lastStepNs_ = now;
    if (!cf->ui_->progressStep(done)) cf->cancelled_ = true;
  }
  return cf->cancelled_ ? 1 : 0;
}

void CaptureFiles::save() {
  if (busy_) return;
  Busy busy(&busy_);
  bool pcapng = false;
  QString target = ui_->askSaveFile(&pcapng);
  if (target.isEmpty()) {
    qWarning("cancel save");
    return;
  }
  CaptureFormat format = pcapng || target.endsWith(".pcapng", Qt::CaseInsensitive)
                             ? CAPTURE_FORMAT_PCAPNG
                             : CAPTURE_FORMAT_QELVO;
  // The capture data file is closed only once everything the backend
  // delivered is in it, with the consumer paused so that nothing is
  // recorded while it is closed.
  bool ran = false;
  QString problem;  // shown once the consumer runs again
  QElapsedTimer waited;
  waited.start();
  while (!worker_->waitCaptureIdle(kIdleSliceMs, [&] {
    ran = true;
    problem = saveWhileIdle(target, format);
  })) {
    // Busy with the replay of an opened capture, nothing recorded: the
    // opened packets can be written meanwhile.
    if (recordedBytes() == 0 && loaded_list_count(loaded_packets_current()) > 0) break;
    if (waited.elapsed() >= kIdleWaitMs) break;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  if (!ran) {
    if (recordedBytes() == 0 && loaded_list_count(loaded_packets_current()) > 0)
      problem = saveLoaded(target, format);
    else
      problem = tr("The capture is still being decoded; nothing was saved to %1.\n"
                   "Save again when the views are complete.")
                    .arg(target);
  }
  if (!problem.isEmpty()) ui_->showMessage(kSaveTitle, problem);
}

QString CaptureFiles::saveWhileIdle(const QString& target, CaptureFormat format) {
  CapturePipeline* pipeline = session_->pipeline;
  // Nothing recorded since an Open: what is on screen is the opened file.
  if (recordedBytes() == 0 && loaded_list_count(loaded_packets_current()) > 0)
    return saveLoaded(target, format);
  QString source = QFile::decodeName(capture_data_path());
  capture_data_close(pipeline);
  qDebug().noquote().nospace() << ">>>dataFile = " << source << ", filename = " << target;
  QString why;
  bool moved = format == CAPTURE_FORMAT_QELVO ? moveFile(source, target, nullptr, &why)
                                              : convertDataFile(source, target, &why);
  if (moved) {
    capture_data_open(pipeline);
    return QString();
  }
  // Never lose a capture: keep it and record the next trace after it.
  capture_data_reopen(pipeline);
  return tr("The capture was not saved to %1:\n%2\n\n"
            "It is kept, and the next trace is recorded after it.")
      .arg(target, why);
}

bool CaptureFiles::convertDataFile(const QString& source, const QString& target, QString* why) {
  char err[1024] = "";
  lastStepNs_ = -1;
  cancelled_ = false;
  ui_->progressBegin("正在移动文件...", (uint64_t)QFileInfo(source).size());
  int rc = capture_convert(QFile::encodeName(source).constData(), QFile::encodeName(target).constData(),
                           CAPTURE_FORMAT_PCAPNG, &CaptureFiles::progressHook, this, err, sizeof err);
  ui_->progressEnd();
  if (rc == CAPTURE_IO_CANCELLED) *why = tr("cancelled");
  if (rc == CAPTURE_IO_FAILED) *why = QString::fromLocal8Bit(err);
  if (rc != CAPTURE_IO_OK) return false;
  if (QFile::remove(source)) return true;
  qDebug() << "无法删除源文件";
  QFile::remove(target);
  *why = source + ": " + tr("cannot be deleted");
  return false;
}

QString CaptureFiles::saveLoaded(const QString& target, CaptureFormat format) {
  char err[1024] = "";
  lastStepNs_ = -1;
  cancelled_ = false;
  ui_->progressBegin(tr("saving usb data package..."), loaded_list_bytes(loaded_packets_current()));
  int rc = capture_save_list(loaded_packets_current(), QFile::encodeName(target).constData(), format,
                             &CaptureFiles::progressHook, this, err, sizeof err);
  ui_->progressEnd();
  if (rc == CAPTURE_IO_CANCELLED) qWarning("cancel save");
  if (rc != CAPTURE_IO_FAILED) return QString();
  return tr("The capture was not saved:\n%1").arg(QString::fromLocal8Bit(err));
}

void CaptureFiles::openWithDialog() {
  if (busy_) return;
  QString path = ui_->askOpenFile();
  if (path.isEmpty()) {
    qWarning("cancle read");
    return;
  }
  open(path);
}

bool CaptureFiles::open(const QString& path) {
  if (busy_) {
    qWarning().noquote() << "can not open file to read:" << path << "(a Save or Open is running)";
    return false;
  }
  Busy busy(&busy_);
  // Read and check the whole file first: the views change only for a good one.
  CaptureLoadInfo info;
  int status = CAPTURE_IO_FAILED;
  char err[1024] = "";
  lastStepNs_ = -1;
  cancelled_ = false;
  QFileInfo fi(path);
  ui_->progressBegin(tr("reading usb data package..."), fi.exists() ? (uint64_t)fi.size() : 0);
  LoadedPackets* list = capture_load(QFile::encodeName(path).constData(), &CaptureFiles::progressHook,
                                     this, &info, &status, err, sizeof err);
  ui_->progressEnd();
  if (!list) {
    if (status == CAPTURE_IO_CANCELLED) {
      qWarning("cancle read");
      return false;
    }
    qWarning().noquote() << "can not open file to read:" << path;
    ui_->showMessage(kOpenTitle, QString::fromLocal8Bit(err));
    return false;
  }
  if (clearAll_) clearAll_();
  else worker_->clearCapture();
  loaded_packets_install(list);
  qDebug().noquote() << ">>>data_count:" << info.dataCount;
  if (info.endedEarly)
    ui_->showMessage(kOpenTitle, tr("%1 ends before the data its header declares;\n"
                                    "the %2 whole packets before that point are opened.")
                                     .arg(path)
                                     .arg(info.packets));
  if (info.packets == 0) {
    qDebug("***************sData is empty!!!");
    return true;
  }
  worker_->stopReplay();
  worker_->startReplay();
  return true;
}
