// bench_worker: generates a high-speed capture of 1,000,000 simulated packets
// with "qelvo.exe --offline", has the capture worker start the backend
// replaying it as fast as the ring allows ("QELVO_REPLAY_RATE=max"), and
// measures, with an event loop standing in for the main window (a 100 ms
// timer reading the four trees' row counts, as the window's refresh step
// does, and a 5 ms timer watching the loop itself):
//   - packets per second from the first packet read to the last decoded,
//   - packets lost (decoded compared with the file),
//   - the peak RssAnon and the live queue's peak length,
//   - the longest gap of the event loop,
//   - the time from the first packet to the first row being present.
//
//   bench_worker [PACKETS]      (default 1000000)
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/support/bench_util.h"
#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "decode/data_parse.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/capture/capture_file.h"
#include "store/store_files.h"
#include "views/row_tree.h"

namespace {

using benchutil::status_kb;

void quiet(QtMsgType type, const QMessageLogContext&, const QString& msg) {
  if (type >= QtCriticalMsg) fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t want = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;

  std::string dir, file;
  if (!benchutil::make_capture("worker", want, &dir, &file)) return 1;
  uint64_t filePackets = 0;
  char err[512];
  CaptureReader* r = capture_reader_open(file.c_str(), err, sizeof err);
  if (!r) {
    fprintf(stderr, "bench_worker: %s\n", err);
    return 1;
  }
  CapturePacket p;
  while (capture_reader_next(r, &p, err, sizeof err) == 1) ++filePackets;
  capture_reader_close(r);

  std::string suffix = ".bench" + std::to_string(getpid());
  setenv("QELVO_SHM_SUFFIX", suffix.c_str(), 1);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  orvane_log_set_muted(1);
  qInstallMessageHandler(quiet);

  QCoreApplication app(argc, argv);
  store_set_data_dir(dir.c_str());
  CaptureSession* session = capture_session_open(1, err, sizeof err);
  if (!session) {
    fprintf(stderr, "bench_worker: %s\n", err);
    return 1;
  }
  long anonBefore = status_kb("RssAnon");
  struct rusage selfBefore;
  getrusage(RUSAGE_SELF, &selfBefore);
  interface_io* worker = new interface_io(session);
  interface_io::setSpeedCode(3);

  bool backendStopped = false;
  QObject::connect(worker->processManager(), &ProcManager::processStopped,
                   [&] { backendStopped = true; });

  // The loop watcher: the longest gap between 5 ms ticks, the first row, the end.
  uint64_t lastTick = 0, longestGapNs = 0, firstRowNs = 0, endNs = 0, ticks = 0, longGaps = 0;
  long anonPeak = 0;
  uint64_t refreshFirstRowNs = 0;
  uint32_t rowCounts[kSessionViewCount] = {0, 0, 0, 0};
  QTimer watch, refresh, giveUp;
  watch.setTimerType(Qt::PreciseTimer);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    uint64_t now = os_monotonic_ns();
    if (lastTick && now - lastTick > longestGapNs) longestGapNs = now - lastTick;
    if (lastTick && now - lastTick > 50000000ull) longGaps++;
    ticks++;
    lastTick = now;
    if (!firstRowNs && row_tree_child_count(session->trees.package, 0) > 0) firstRowNs = now;
    if (backendStopped && worker->counters().packetsDecoded >= filePackets) {
      endNs = now;
      app.quit();
    }
  });
  // The window's refresh step: the row counts under the root of each tree.
  uint64_t longestRefreshNs = 0;
  QObject::connect(&refresh, &QTimer::timeout, [&] {
    uint64_t t0 = os_monotonic_ns();
    for (int v = 0; v < kSessionViewCount; v++)
      rowCounts[v] = row_tree_child_count(capture_session_tree(session, (SessionView)v), 0);
    if (!refreshFirstRowNs && rowCounts[VIEW_PACKAGES] > 0) refreshFirstRowNs = os_monotonic_ns();
    long anon = status_kb("RssAnon");
    if (anon > anonPeak) anonPeak = anon;
    uint64_t took = os_monotonic_ns() - t0;
    if (took > longestRefreshNs) longestRefreshNs = took;
  });
  // A run that loses packets never reaches the end condition: it ends when
  // nothing more is decoded for 3 s after the backend stopped.
  uint64_t lastDecoded = 0;
  int stillSeconds = 0;
  QObject::connect(&giveUp, &QTimer::timeout, [&] {
    uint64_t decoded = worker->counters().packetsDecoded;
    stillSeconds = backendStopped && decoded == lastDecoded ? stillSeconds + 1 : 0;
    lastDecoded = decoded;
    if (stillSeconds >= 3) app.quit();
  });
  watch.start(5);
  refresh.start(100);
  giveUp.start(1000);

  uint64_t tStart = os_monotonic_ns();
  QString failed = worker->startTrace();
  if (!failed.isEmpty()) {
    fprintf(stderr, "bench_worker: %s\n", failed.toLocal8Bit().constData());
    return 1;
  }
  app.exec();
  if (!endNs) endNs = os_monotonic_ns();
  long anonEnd = status_kb("RssAnon");
  if (anonEnd > anonPeak) anonPeak = anonEnd;

  CaptureCounters c = worker->counters();
  uint32_t rows[kSessionViewCount];
  worker->waitCaptureIdle(10000);
  for (int v = 0; v < kSessionViewCount; v++)
    rows[v] = row_tree_row_count(capture_session_tree(session, (SessionView)v));
  delete worker;  // reaps the backend
  struct rusage self, children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto secs = [](const struct timeval& a) { return a.tv_sec + a.tv_usec / 1e6; };
  double cpuSelf = secs(self.ru_utime) + secs(self.ru_stime) - secs(selfBefore.ru_utime) -
                   secs(selfBefore.ru_stime);
  // The generating run of qelvo.exe counts among the children too; it ran before.
  double cpuChildren = secs(children.ru_utime) + secs(children.ru_stime);
  capture_session_close(session, 1);
  for (const char* name : {"/MySharedMemorySegment", "/MySharedMemoryMutex", "/MySharedMemoryEvent"})
    shm_unlink((std::string(name) + suffix).c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  double span = c.firstPacketNs && endNs > c.firstPacketNs ? (double)(endNs - c.firstPacketNs) / 1e9 : 0;
  printf("file packets            %llu\n", (unsigned long long)filePackets);
  printf("read from the channel   %llu\n", (unsigned long long)c.packetsRead);
  printf("decoded                 %llu\n", (unsigned long long)c.packetsDecoded);
  printf("lost                    %lld\n", (long long)filePackets - (long long)c.packetsDecoded);
  printf("packets/s end to end    %.0f  (first packet read to last decoded, %.3f s; start to end %.3f s)\n",
         span > 0 ? c.packetsDecoded / span : 0.0, span, (double)(endNs - tStart) / 1e9);
  printf("CPU seconds             analyzer %.2f, both backend runs %.2f (%.0f cores available)\n", cpuSelf,
         cpuChildren, (double)sysconf(_SC_NPROCESSORS_ONLN));
  printf("rows                    packages %u, transactions %u, data %u, descriptors %u\n",
         rows[VIEW_PACKAGES], rows[VIEW_TRANSACTIONS], rows[VIEW_DATA], rows[VIEW_DESCRIPTORS]);
  printf("RssAnon peak            %.1f MB (%.1f MB before the worker)\n", anonPeak / 1e3, anonBefore / 1e3);
  printf("live queue peak         %llu entries\n", (unsigned long long)c.liveQueuePeak);
  printf("longest event-loop gap  %.1f ms (target < 50); %llu of %llu 5 ms ticks came over 50 ms late;"
         " longest refresh step %.2f ms\n",
         longestGapNs / 1e6, (unsigned long long)longGaps, (unsigned long long)ticks,
         longestRefreshNs / 1e6);
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) > 0) printf("machine load average    %.2f (1 min)\n", load[0]);
  printf("first packet to row     %.1f ms (target < 200); seen by the 100 ms refresh after %.1f ms\n",
         firstRowNs && c.firstPacketNs ? (double)(firstRowNs - c.firstPacketNs) / 1e6 : -1.0,
         refreshFirstRowNs && c.firstPacketNs ? (double)(refreshFirstRowNs - c.firstPacketNs) / 1e6 : -1.0);
  return c.packetsDecoded == filePackets ? 0 : 1;
}
