// The capture worker: attaches to the capture channel, starts and stops the
// backend through the process manager, reads capture records on a channel
// reader thread, queues the packets, and decodes them on its own thread (the
// consumer) through a capture session's pipeline into the session's four
// row trees. A replay thread feeds the loaded-packet list through the same
// consumer.
//
// Threads and what ends them (no thread is ever terminated):
//   channel reader  runs from construction to shutdown(); without a channel
//                   it only waits for shutdown.
//   consumer        run(); ends on requestStop() (wakes it at once) or
//                   shutdown(). Opens the Lua host when it starts and closes
//                   it when it ends.
//   sThread         one per replay, from startReplay() to stopReplay().
// shutdown() (also run by the destructor) kills the backend and ends all
// three within the waits of their stop paths.
//
// Rules:
//   1. The decoder, the pipeline and the trees' appends are used by the
//      consumer only, or by another thread while the consumer is paused
//      (clearCapture, the callback of waitCaptureIdle).
//   2. Live packets are recorded into the capture data file before they are
//      decoded, replayed ones never (the flag travels with each entry).
//   3. When the backend has stopped and the channel and live queue are
//      drained, and when a replay has fed its last packet, the pipeline is
//      finished, so the last packets of a capture reach the views. A
//      trace's end that reaches the consumer behind replayed packets is
//      dropped: it would cut the replay short.
//   4. Status texts ("parsePackage: %u") go out at most every 100 ms, and
//      the last one always when the queues run empty.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "acquisition/qt/proc_manager.h"

struct CaptureSession;
struct PacketQueues;
struct QueuedPacket;
struct ShmHandle;

// Figures of a worker's work so far (benchmarks, diagnostics).
struct CaptureCounters {
  uint64_t packetsRead;      // live packets the channel reader queued
  uint64_t packetsDecoded;   // packets (live and replayed) the consumer decoded
  uint64_t firstPacketNs;    // monotonic time the first live packet was queued, 0 before
  uint64_t liveQueuePeak;    // most entries the live queue has held
  uint64_t replayQueuePeak;  // most entries the replay queue has held
};

class interface_io : public QThread {
  Q_OBJECT
 public:
  // Attaches to (or creates) the channel, creates the process manager and
  // starts the channel reader and the consumer. `session` stays the
  // caller's and must outlive the worker.
  explicit interface_io(CaptureSession* session, QObject* parent = nullptr);
  ~interface_io() override;

  // The one worker of the process, null when none.
  static interface_io* instance();
  // The process-wide speed code: 1 low, 2 full, 3 high speed; 2 at start.
  // Written by the "Trace Config" dialog, read by startTrace.
  static int32_t speedCode();
  static void setSpeedCode(int32_t code);

  // The window whose resetTraceActions is called (queued, on its own thread)
  // when the backend reaches NotRunning.
  void setMainWindow(QObject* window);
  ProcManager* processManager() const { return procManager_; }

  // Asks the consumer to leave its loop; it wakes at once.
  void requestStop();
  // Starts feeding the loaded-packet list through the consumer (after a
  // decoder reset); nothing when a replay thread exists already.
  void startReplay();
  // Ends the replay early (its queued packets are dropped) and ends its thread.
  void stopReplay();
  bool replayRunning() const { return sThread_ != nullptr; }

  // Waits up to `timeoutMs` until every packet handed to the worker has been
  // decoded and recorded: the channel reader has found the ring empty after
  // this call began, no replay is feeding, both queues are empty and the
  // consumer is idle. With `whileIdle`, it then runs that on the calling
  // thread with the consumer paused (for closing the capture data file).
  // False on time-out (whileIdle is not run).
  bool waitCaptureIdle(int timeoutMs, const std::function<void()>& whileIdle = {});
  // The Clear action: ends a replay, pauses the consumer, drops the queued
  // packets, clears the views (by `clearViews`, which the window uses to
  // clear its models; null clears the session's trees directly), the rows
  // under construction, the loaded-packet list and the capture data file,
  // then lets the consumer go on.
  void clearCapture(const std::function<void()>& clearViews = {});

  // Kills the backend and ends every thread of the worker; safe to call twice.
  void shutdown();

  CaptureCounters counters() const;

 public slots:
  // Starts the backend at the speed code's speed. An empty text when it was
  // started, else the reason (no usable channel).
  QString startTrace();
  // Kills the backend.
  void stopTrace();

 signals:
  void state_msg_snd(QString msg);

 protected:
  void run() override;

 private slots:
  void onProcessStateChanged(ProcManager::ProcessState state);
  void onSignalSent(int signal, bool success);

 private:
  void startReader();
  void stopReader();
  void data_package_handler();
  static void readerIdle(void* user);
  void replayBody();
  void decodeEntry(const QueuedPacket& e, const uint8_t* bytes);
  void noteStatus();
  void flushStatus();

  ProcManager* procManager_ = nullptr;        // owned
  CaptureSession* session_;                   // not owned
  PacketQueues* queues_ = nullptr;            // owned
  ShmHandle* channel_ = nullptr;              // owned; null when unusable
  QString channelError_;                      // why there is no channel
  QPointer<QObject> mainWindow_;
  QThread* sThread_ = nullptr;                // the replay thread, null when none
  std::atomic<bool> replayAbort_{false};
  std::atomic<bool> replayFeeding_{false};    // the replay body runs

  std::thread reader_;
  std::atomic<bool> readerStop_{false};       // asks the reader to leave
  std::atomic<bool> readerExited_{true};      // the reader has left its loop
  std::atomic<bool> finishLive_{false};       // the backend stopped: finish once drained
  std::atomic<uint64_t> readerIdleCount_{0};  // times the reader found the ring empty
  std::mutex waitLock_;                       // with waitCond_: reader idle, replay end, reader stop
  std::condition_variable waitCond_;

  std::atomic<uint64_t> packetsRead_{0};
  std::atomic<uint64_t> packetsDecoded_{0};
  std::atomic<uint64_t> firstPacketNs_{0};

  // Consumer thread only: the decoder's count last noted, whether it still
  // has to be sent, and when the last text went.
  uint32_t statusCount_ = 0;
  int lastQueue_ = 0;  // the queue of the last entry taken (a PacketQueueId)
  bool statusPending_ = false;
  uint64_t statusSentNs_ = 0;

  bool shutDown_ = false;
};
