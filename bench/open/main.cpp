// bench_open: Open of a large capture as the analyzer does it. Generates a
// high-speed capture with "qelvo.exe --offline N -s hs", opens it through
// CaptureFiles into four LargeTreeModels shown in four LargeTreeViews (offscreen,
// with their delegates) and runs the main window's 100 ms refresh step
// (`if (model->announceRows() > 0) view->scrollToBottom();` per model).
// Measures:
//   - the load (reading and checking the file) and the time until the first
//     rows are visible and until all rows are in,
//   - the longest gap of the GUI event loop meanwhile (a 5 ms timer), with
//     the longest refresh step and the longest load step as a breakdown,
//   - the peak RssAnon (sampled every 5 ms; target < 500 MB at 10,000,000).
//
//   bench_open [--models-only | --plain-views] [PACKETS...]     (default 1000000 10000000)
// Each size runs in a process of its own, so each peak is its own.
// --models-only leaves the views out, to tell the views' share of a gap;
// --plain-views shows the rows in plain QTreeViews (a full layout per
// insert), to compare with the LargeTreeViews of the analyzer.
#include <sys/mman.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/bench_util.h"
#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "app/capture_files.h"
#include "os/clock.h"
#include "os/log.h"
#include "os/process.h"
#include "store/capture/loaded_packets.h"
#include "store/store_files.h"
#include "views/qt/large_tree_model.h"
#include "views/qt/large_tree_view.h"
#include "views/qt/line_table_delegate.h"
#include "views/qt/table_delegate.h"
#include "views/row_tree.h"

namespace {

using benchutil::status_kb;
using benchutil::bin_dir;

void quiet(QtMsgType type, const QMessageLogContext&, const QString& msg) {
  if (type >= QtCriticalMsg) fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
}

double ms(uint64_t ns) { return (double)ns / 1e6; }

const char* const kViewNames[kSessionViewCount] = {"transactions", "packages", "data", "descriptors"};

// No dialogs: the event loop runs at every progress step, as under a progress dialog.
struct BenchUi : CaptureFilesUi {
  uint64_t lastStep = 0, longestStepNs = 0;
  QString askSaveFile(bool*) override { return QString(); }
  QString askOpenFile() override { return QString(); }
  void showMessage(const QString& title, const QString& text) override {
    fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(), text.toLocal8Bit().constData());
  }
  void progressBegin(const QString&, uint64_t) override { lastStep = os_monotonic_ns(); }
  bool progressStep(uint64_t) override {
    uint64_t now = os_monotonic_ns();
    if (now - lastStep > longestStepNs) longestStepNs = now - lastStep;
    QCoreApplication::processEvents();
    lastStep = os_monotonic_ns();
    return true;
  }
  void progressEnd() override {}
};

int run_one(int argc, char** argv, uint64_t want, bool withViews, bool plainViews) {
  uint64_t g0 = os_monotonic_ns();
  std::string dir, file;
  if (!benchutil::make_capture("open", want, &dir, &file)) return 1;
  double genSeconds = (double)(os_monotonic_ns() - g0) / 1e9;

  std::string suffix = ".bench-open" + std::to_string(getpid());
  setenv("QELVO_SHM_SUFFIX", suffix.c_str(), 1);
  orvane_log_set_muted(1);
  qInstallMessageHandler(quiet);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  store_set_data_dir(dir.c_str());
  char err[512];
  CaptureSession* session = capture_session_open(1, err, sizeof err);
  if (!session) {
    fprintf(stderr, "bench_open: %s\n", err);
    return 1;
  }
  interface_io* worker = new interface_io(session);

  // The four views as the main window lays them out.
  LargeTreeModel* models[kSessionViewCount];
  QTreeView* views[kSessionViewCount] = {};
  for (int v = 0; v < kSessionViewCount; v++) {
    models[v] = new LargeTreeModel(capture_session_tree(session, (SessionView)v), nullptr);
    if (!withViews) continue;
    views[v] = plainViews ? new QTreeView() : new LargeTreeView();
    views[v]->setModel(models[v]);
    if (v == VIEW_DESCRIPTORS) {
      views[v]->setItemDelegate(new linetabledelegate(views[v]));
    } else {
      views[v]->setItemDelegate(new TableDelegate(views[v]));
      views[v]->setUniformRowHeights(true);
    }
    views[v]->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    views[v]->resize(v == VIEW_PACKAGES ? 900 : 600, v == VIEW_DATA ? 200 : 400);
    views[v]->show();
  }
  CaptureFiles files(nullptr, worker, session, [&] {
    worker->clearCapture([&] {
      for (LargeTreeModel* m : models) m->clear();
    });
  });
  BenchUi* ui = new BenchUi;
  files.setUi(std::unique_ptr<CaptureFilesUi>(ui));

  uint64_t t0 = 0, loadedNs = 0, firstRowsNs = 0, allRowsNs = 0;
  uint64_t lastTick = 0, longestGapNs = 0, longGaps = 0, longestRefreshNs = 0, longestRefreshCpuNs = 0;
  long anonPeak = status_kb("RssAnon"), anonBefore = anonPeak;
  bool opened = false;
  uint64_t target = 0, lastDecoded = 0;  // packets in the file; decoded at the last check
  int stillSeconds = 0;
  QTimer watch, refresh, giveUp;
  watch.setTimerType(Qt::PreciseTimer);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    uint64_t now = os_monotonic_ns();
    if (lastTick && t0 && now - lastTick > longestGapNs) longestGapNs = now - lastTick;
    if (lastTick && t0 && now - lastTick > 100000000ull) longGaps++;
    lastTick = now;
    long anon = status_kb("RssAnon");
    if (anon > anonPeak) anonPeak = anon;
  });
  // Breakdown of the refresh step: the longest announce and scroll per view.
  uint64_t longestAnnounceNs[kSessionViewCount] = {}, longestScrollNs[kSessionViewCount] = {};
  QObject::connect(&refresh, &QTimer::timeout, [&] {
    uint64_t s = os_monotonic_ns(), cpu = os_thread_cpu_ns();
    int announced = 0;
    for (int v = 0; v < kSessionViewCount; v++) {
      uint64_t a = os_monotonic_ns();
      int n = models[v]->announceRows();
      uint64_t b = os_monotonic_ns();
      if (n > 0) {
        if (views[v]) views[v]->scrollToBottom();
        announced++;
      }
      uint64_t c = os_monotonic_ns();
      if (b - a > longestAnnounceNs[v]) longestAnnounceNs[v] = b - a;
      if (c - b > longestScrollNs[v]) longestScrollNs[v] = c - b;
    }
    uint64_t now = os_monotonic_ns();
    if (now - s > longestRefreshNs) longestRefreshNs = now - s;
    if (os_thread_cpu_ns() - cpu > longestRefreshCpuNs) longestRefreshCpuNs = os_thread_cpu_ns() - cpu;
    if (announced && !firstRowsNs) firstRowsNs = now;
    if (opened && !allRowsNs && worker->counters().packetsDecoded >= target && worker->waitCaptureIdle(2000)) {
      for (int v = 0; v < kSessionViewCount; v++)
        if (models[v]->announceRows() > 0 && views[v]) views[v]->scrollToBottom();
      allRowsNs = os_monotonic_ns();
      app.quit();
    }
  });
  QTimer::singleShot(0, [&] {
    t0 = os_monotonic_ns();
    opened = files.open(QString::fromStdString(file));
    loadedNs = os_monotonic_ns();
    target = loaded_packets_count();
    if (!opened) app.quit();
  });
  // A run that stalls ends after 10 s without progress.
  QObject::connect(&giveUp, &QTimer::timeout, [&] {
    uint64_t decoded = worker->counters().packetsDecoded;
    stillSeconds = opened && decoded == lastDecoded ? stillSeconds + 1 : 0;
    lastDecoded = decoded;
    if (stillSeconds >= 10) app.quit();
  });
  watch.start(5);
  refresh.start(100);
  giveUp.start(1000);
  app.exec();
  long anonEnd = status_kb("RssAnon");
  if (anonEnd > anonPeak) anonPeak = anonEnd;

  uint64_t decoded = worker->counters().packetsDecoded;
  uint32_t rows[kSessionViewCount];
  for (int v = 0; v < kSessionViewCount; v++)
    rows[v] = row_tree_row_count(capture_session_tree(session, (SessionView)v));
  uint64_t fileSize = std::filesystem::file_size(file);
  for (int v = 0; v < kSessionViewCount; v++) delete views[v];
  delete worker;
  for (LargeTreeModel* m : models) delete m;
  loaded_packets_clear();
  capture_session_close(session, 1);
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(name) + suffix).c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  double all = allRowsNs ? ms(allRowsNs - t0) : -1;
  printf("== open of %llu high-speed packets (%.1f MB file, generated in %.1f s)%s\n",
         (unsigned long long)want, fileSize / 1e6, genSeconds,
         withViews ? (plainViews ? ", plain QTreeViews" : "") : ", models without views");
  printf("read and checked        %.0f ms (longest step between two event-loop turns %.1f ms)\n",
         ms(loadedNs - t0), ms(ui->longestStepNs));
  printf("first rows visible      %.0f ms\n", firstRowsNs ? ms(firstRowsNs - t0) : -1.0);
  printf("all rows in             %.0f ms (%.0f packets/s)\n", all, all > 0 ? decoded / (all / 1e3) : 0.0);
  printf("decoded                 %llu of %llu\n", (unsigned long long)decoded, (unsigned long long)target);
  printf("rows                    packages %u, transactions %u, data %u, descriptors %u\n",
         rows[VIEW_PACKAGES], rows[VIEW_TRANSACTIONS], rows[VIEW_DATA], rows[VIEW_DESCRIPTORS]);
  printf("longest event-loop gap  %.1f ms (target < 100; %llu gaps over 100 ms); longest refresh step %.1f ms\n",
         ms(longestGapNs), (unsigned long long)longGaps, ms(longestRefreshNs));
  // The work of a step, without the time the thread waited for a processor
  // (the figure to compare when the machine is busy).
  printf("longest refresh step    %.1f ms of GUI-thread processor time\n", ms(longestRefreshCpuNs));
  printf("refresh breakdown       longest announceRows / scrollToBottom in ms:");
  for (int v = 0; v < kSessionViewCount; v++)
    printf(" %s %.1f/%.1f", kViewNames[v], ms(longestAnnounceNs[v]), ms(longestScrollNs[v]));
  printf("\n");
  printf("RssAnon peak            %.1f MB (%.1f MB before the worker; target < 500 MB)\n", anonPeak / 1e3,
         anonBefore / 1e3);
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) > 0) printf("machine load average    %.2f (1 min)\n", load[0]);
  fflush(stdout);
  return opened && allRowsNs && decoded == target ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--one") == 0)
    return run_one(1, argv, strtoull(argv[2], nullptr, 10), strcmp(argv[3], "models") != 0,
                   strcmp(argv[3], "plain") == 0);
  std::vector<std::string> sizes;
  const char* views = "views";
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--models-only") == 0) views = "models";
    else if (strcmp(argv[i], "--plain-views") == 0) views = "plain";
    else sizes.push_back(argv[i]);
  }
  if (sizes.empty()) sizes = {"1000000", "10000000"};
  int status = 0;
  for (const std::string& n : sizes) {
    fflush(stdout);
    // A process per size, so each RssAnon peak is its own.
    std::string self = bin_dir() + "/bench_open --one " + n + " " + views;
    OsProcess* proc = os_process_spawn(self.c_str());
    OsProcessExit how{};
    if (!proc || os_process_wait(proc, 0xFFFFFFFFu, &how) != 1 || how.crashed || how.exit_code) status = 1;
    if (proc) os_process_close(proc);
  }
  return status;
}
