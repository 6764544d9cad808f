// The capture worker (see interface_io.h).
#include "acquisition/qt/interface_io.h"

#include <QDebug>
#include <QMetaObject>
#include <chrono>
#include <cstdlib>
#include <new>
#include <system_error>

#include "acquisition/capture_record.h"
#include "acquisition/packet_queues.h"
#include "acquisition/pipeline/capture_session.h"
#include "acquisition/script_host/lua_host.h"
#include "acquisition/shm_channel.h"
#include "decode/data_parse.h"
#include "os/clock.h"
#include "store/capture/loaded_packets.h"
#include "views/row_tree.h"

namespace {

// The channel configuration of the analyzer.
const ShmConfig kChannelConfig = {SHM_DEFAULT_SIZE, 10000, 1, 1};
// Least time between two status texts.
const uint64_t kStatusIntervalNs = 100000000ull;
// The replay thread's wait for its end.
const unsigned long kReplayStopWaitMs = 2000;
// Replayed packets queued ahead of the consumer at most. The loaded-packet
// list holds them all already; queued copies of a long capture would only
// fill the heap (a ten-million-packet replay would hold hundreds of MB).
const uint64_t kReplayQueueLimit = 65536;

interface_io* g_instance = nullptr;
std::atomic<int32_t> g_speedCode{2};

// One more of a counter that only one thread writes.
inline void bump(std::atomic<uint64_t>& c) {
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

const char* stateText(ProcManager::ProcessState state) {
  switch (state) {
    case ProcManager::NotRunning: return "未运行";
    case ProcManager::Starting: return "启动中";
    case ProcManager::Running: return "运行中";
    default: return "停止中";
  }
}

}  // namespace

interface_io* interface_io::instance() { return g_instance; }
int32_t interface_io::speedCode() { return g_speedCode.load(); }
void interface_io::setSpeedCode(int32_t code) { g_speedCode.store(code); }

interface_io::interface_io(CaptureSession* session, QObject* parent)
    : QThread(parent), session_(session) {
  g_instance = this;
  queues_ = packet_queues_create(kPacketQueueLimit);
  if (!queues_) {
    qCritical() << "interface_io: out of memory";
    exit(1);
  }
  packet_queues_set_limit(queues_, QUEUE_REPLAY, kReplayQueueLimit);

  channel_ = shm_create(&kChannelConfig);
  if (!channel_) {
    const char* why = shm_get_last_error();
    qDebug("创建共享内存失败: %s\n", why);
    // Shown once the window has connected to the status signal, and again
    // by every startTrace.
    channelError_ = QString("创建共享内存失败: %1").arg(QString::fromUtf8(why));
    QMetaObject::invokeMethod(
        this, [this] { emit state_msg_snd(channelError_); }, Qt::QueuedConnection);
  }
  shm_clear(channel_);
  uint32_t size = 0;
  int creator = 0;
  uint32_t available = shm_get_info(channel_, &size, &creator);
  qDebug("共享内存大小: %lu 字节\n", (unsigned long)size);
  qDebug("当前数据大小: %lu 字节\n", (unsigned long)available);
  qDebug("是否为创建者: %s\n", creator ? "是" : "否");

  procManager_ = new ProcManager();
  connect(procManager_, &ProcManager::processStateChanged, this,
          &interface_io::onProcessStateChanged);
  connect(procManager_, &ProcManager::signalSent, this, &interface_io::onSignalSent);
  // A backend that cannot be started says why in the status bar.
  connect(procManager_, &ProcManager::processError, this,
          [this](const QString& error) { emit state_msg_snd(error); });

  qDebug() << "interface start";

  startReader();
  start(QThread::InheritPriority);
}

interface_io::~interface_io() {
  qDebug() << "WorkerThread destructor - stopping thread";
  shutdown();
  procManager_->disconnect(this);
  delete procManager_;
  packet_queues_destroy(queues_);
  shm_destroy(channel_);
  if (g_instance == this) g_instance = nullptr;
}

void interface_io::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (procManager_->state() != ProcManager::NotRunning) stopTrace();
  stopReplay();
  requestStop();
  wait();  // the stop request wakes the consumer at once
  stopReader();
}

void interface_io::setMainWindow(QObject* window) { mainWindow_ = window; }

// ---- channel reader ---------------------------------------------------------

void interface_io::startReader() {
  if (reader_.joinable()) reader_.join();
  readerStop_.store(false);
  readerExited_.store(false);
  try {
    reader_ = std::thread(&interface_io::data_package_handler, this);
  } catch (const std::system_error&) {
    qCritical() << "Failed to create thread";
    exit(1);
  }
  qDebug() << ">>>>>>>>>>>>>>>>>>>>>Thread start!!!";
}

void interface_io::stopReader() {
  readerStop_.store(true);
  packet_queues_wake_producers(queues_);
  {
    std::lock_guard<std::mutex> g(waitLock_);
  }
  waitCond_.notify_all();
  if (reader_.joinable()) reader_.join();
}

void interface_io::data_package_handler() {
  qDebug() << ">>>data_package_handler";
  RecordReader* reader = channel_ ? new (std::nothrow) RecordReader : nullptr;
  if (!reader) {
    // Nothing can ever arrive: wait for the end without polling.
    std::unique_lock<std::mutex> g(waitLock_);
    waitCond_.wait(g, [this] { return readerStop_.load(); });
  } else {
    record_reader_init(reader);
    reader->idle = &interface_io::readerIdle;
    reader->idleUser = this;
    CaptureRecordOut rec;
    while (!readerStop_.load() && record_read_exact(channel_, reader, &readerStop_, &rec) == 1) {
      if (firstPacketNs_.load(std::memory_order_relaxed) == 0) firstPacketNs_.store(os_monotonic_ns());
      int r = packet_queues_push(queues_, QUEUE_LIVE, rec.packet, rec.dataLength, rec.timestamp, 1,
                                 &readerStop_);
      if (r == 0) break;
      if (r > 0) bump(packetsRead_);
    }
    delete reader;
  }
  readerExited_.store(true);
  {
    std::lock_guard<std::mutex> g(waitLock_);
  }
  waitCond_.notify_all();
  qDebug() << "data_package_handler exit!!!";
}

// The reader found the ring empty with nothing held: everything it took has
// been queued. A stopped backend's trace can now be finished behind it.
void interface_io::readerIdle(void* user) {
  interface_io* w = static_cast<interface_io*>(user);
  if (w->finishLive_.exchange(false))
    packet_queues_push_marker(w->queues_, QUEUE_LIVE, QUEUED_FINISH, &w->readerStop_);
  w->readerIdleCount_.fetch_add(1);
  {
    std::lock_guard<std::mutex> g(w->waitLock_);
  }
  w->waitCond_.notify_all();
}

// ---- consumer ---------------------------------------------------------------

void interface_io::requestStop() { packet_queues_request_stop(queues_); }

void interface_io::run() {
  lua_host_open();
  qDebug() << ">>>>run!!!";
  uint8_t packet[kQueuedPacketMax];
  for (;;) {
    QueuedPacket e;
    int r = packet_queues_take(queues_, &e, packet, 0);
    // No packet waiting: the rows decoded so far go to the views now.
    if (r == 0) pipeline_flush(session_->pipeline);
    if (r == 0 && statusPending_) {
      // The queues ran empty: the last count goes out when its interval is
      // up, not at once (a slow bus empties them after every packet).
      uint64_t since = os_monotonic_ns() - statusSentNs_;
      if (since < kStatusIntervalNs)
        r = packet_queues_take(queues_, &e, packet, (int)((kStatusIntervalNs - since) / 1000000ull) + 1);
      if (r == 0) flushStatus();
    }
    if (r == 0) r = packet_queues_take(queues_, &e, packet, -1);
    if (r < 0) break;
    decodeEntry(e, packet);
  }
  packet_queues_clear_stop(queues_);
  flushStatus();
  lua_host_close();
  qDebug() << "consumer exit!!!";
}

void interface_io::decodeEntry(const QueuedPacket& e, const uint8_t* bytes) {
  CapturePipeline* pl = session_->pipeline;
  switch (e.kind) {
    case QUEUED_PACKET:
      pipeline_decode_packet(pl, bytes, (int32_t)e.length, e.timestamp, e.record);
      bump(packetsDecoded_);
      noteStatus();
      break;
    case QUEUED_REPLAY_BEGIN:
      // Rows still under construction belong to what was decoded before.
      session_->decoder->reset();
      session_->decoder->freeOutputLists();
      pipeline_forget(pl);
      break;
    case QUEUED_FINISH:
      // A trace's end that reaches the consumer after replayed packets
      // would cut the replay short; the replay ends itself.
      if (e.queue == QUEUE_LIVE && lastQueue_ == QUEUE_REPLAY) break;
      pipeline_finish(pl);
      noteStatus();  // the packets decoded now count too
      break;
  }
  lastQueue_ = e.queue;
}

// The decoder's count ("parsePackage: %u") is formatted only when it is
// sent, not for every packet as the pipeline's status hook would.
void interface_io::noteStatus() {
  uint32_t count = session_->decoder->packageCount();
  if (count == statusCount_) return;
  statusCount_ = count;
  statusPending_ = true;
  if (os_monotonic_ns() - statusSentNs_ >= kStatusIntervalNs) flushStatus();
}

void interface_io::flushStatus() {
  if (!statusPending_) return;
  statusPending_ = false;
  statusSentNs_ = os_monotonic_ns();
  emit state_msg_snd(QString("parsePackage: %1").arg(statusCount_));
}

// ---- trace ------------------------------------------------------------------

QString interface_io::startTrace() {
  int32_t code = speedCode();
  QString speed = code == 1 ? "ls" : code == 2 ? "fs" : "hs";
  if (!channel_) {
    emit state_msg_snd(channelError_);
    return channelError_;
  }
  if (readerExited_.load()) startReader();
  // A finish still pending belongs to the trace before; this one continues it.
  finishLive_.store(false);
  if (procManager_)
    procManager_->start("qelvo.exe", QStringList{"-s", speed, "-c", "-f", "cfile.qelvo"});
  return QString();
}

void interface_io::stopTrace() {
  if (!procManager_) return;
  qDebug() << "发送终止信号(KILL)...";
  procManager_->sendKill();
}

void interface_io::onProcessStateChanged(ProcManager::ProcessState state) {
  qDebug().noquote() << "进程状态:" << stateText(state);
  if (state != ProcManager::NotRunning) return;
  // The reader finishes the trace once it has drained the ring.
  finishLive_.store(true);
  if (mainWindow_)
    QMetaObject::invokeMethod(mainWindow_, "resetTraceActions", Qt::QueuedConnection);
}

void interface_io::onSignalSent(int signal, bool success) {
  qDebug().noquote() << "发送信号" << signal << (success ? "成功" : "失败");
}

// ---- replay -----------------------------------------------------------------

void interface_io::startReplay() {
  if (sThread_) return;
  sThread_ = new QThread();
  // Runs the body on the replay thread itself, before its event loop.
  connect(sThread_, &QThread::started, sThread_, [this] { replayBody(); }, Qt::DirectConnection);
  // Cleared here, not in the body: a stop right after this start must win.
  replayAbort_.store(false);
  replayFeeding_.store(true);
  sThread_->start(QThread::InheritPriority);
  qDebug() << ">>>>>>>>>>>>>>>>>>>>>sTread start!!!";
}

void interface_io::stopReplay() {
  replayAbort_.store(true);
  packet_queues_wake_producers(queues_);
  if (sThread_) {
    sThread_->quit();
    if (sThread_->wait(kReplayStopWaitMs)) {
      delete sThread_;
    } else {
      qCritical() << "sThread termination timeout!";
      connect(sThread_, &QThread::finished, sThread_, &QObject::deleteLater);
    }
    sThread_ = nullptr;
    qDebug() << ">>>>>>>>>>>>>>>>>>>>>sTread quit!!!";
  }
  qDebug() << "save_package_stop ok!!!";
}

void interface_io::replayBody() {
  qDebug() << "sThread->wait(1000)";
  uint8_t packet[kQueuedPacketMax];
  bool fed = packet_queues_push_marker(queues_, QUEUE_REPLAY, QUEUED_REPLAY_BEGIN, &replayAbort_) == 1;
  size_t count = loaded_packets_count();
  for (size_t i = 0; fed && i < count && !replayAbort_.load(); i++) {
    uint32_t length = 0;
    uint64_t timestamp = 0;
    int64_t copied = loaded_packets_copy(i, packet, sizeof packet, &length, &timestamp);
    if (copied < 0) break;
    if ((uint64_t)copied < length) {
      qWarning("unknow data[%u]: longer than the replay buffer (%d bytes), skipped", length,
               (int)sizeof packet);
      continue;
    }
    if (packet_queues_push(queues_, QUEUE_REPLAY, packet, length, timestamp, 0, &replayAbort_) == 0)
      fed = false;
  }
  if (fed && !replayAbort_.load())
    packet_queues_push_marker(queues_, QUEUE_REPLAY, QUEUED_FINISH, &replayAbort_);
  replayFeeding_.store(false);
  {
    std::lock_guard<std::mutex> g(waitLock_);
  }
  waitCond_.notify_all();
}

// ---- idle, clear, figures ---------------------------------------------------

bool interface_io::waitCaptureIdle(int timeoutMs, const std::function<void()>& whileIdle) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  {
    std::unique_lock<std::mutex> g(waitLock_);
    uint64_t seen = readerIdleCount_.load();
    bool reading = channel_ != nullptr;
    // The reader has found the ring empty after this call began (so what the
    // backend delivered before is queued), and no replay is feeding.
    bool ok = waitCond_.wait_until(g, deadline, [&] {
      bool drained = !reading || readerExited_.load() || readerIdleCount_.load() > seen;
      return drained && !replayFeeding_.load();
    });
    if (!ok) return false;
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (!packet_queues_wait_idle(queues_, (uint32_t)(left > 0 ? left : 0), whileIdle ? 1 : 0))
    return false;
  if (whileIdle) {
    whileIdle();
    packet_queues_resume(queues_);
  }
  return true;
}

void interface_io::clearCapture(const std::function<void()>& clearViews) {
  stopReplay();  // the loaded-packet list is about to be freed
  packet_queues_pause(queues_);
  packet_queues_discard(queues_, QUEUE_REPLAY);
  packet_queues_discard(queues_, QUEUE_LIVE);
  if (clearViews) {
    clearViews();
  } else {
    for (int v = 0; v < kSessionViewCount; v++)
      row_tree_clear(capture_session_tree(session_, (SessionView)v), nullptr, nullptr, nullptr);
  }
  pipeline_forget(session_->pipeline);
  session_->decoder->freeOutputLists();
  loaded_packets_clear();
  capture_data_clear(session_->pipeline);
  packet_queues_resume(queues_);
}

CaptureCounters interface_io::counters() const {
  CaptureCounters c;
  c.packetsRead = packetsRead_.load();
  c.packetsDecoded = packetsDecoded_.load();
  c.firstPacketNs = firstPacketNs_.load();
  c.liveQueuePeak = packet_queues_peak(queues_, QUEUE_LIVE);
  c.replayQueuePeak = packet_queues_peak(queues_, QUEUE_REPLAY);
  return c;
}
