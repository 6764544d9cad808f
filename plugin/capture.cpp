// Opening and closing a capture: stale backends are killed, the channel is
// attached and cleared, and two threads run until the capture is closed:
// the record reader, which hands every packet of the channel to the host's
// callback, and the backend runner, which runs "qelvo.exe" and reports its end.
//
// Invariants:
//  1. One capture at a time: ovix_open refuses while a capture is open or
//     while threads of a closed one still run (they would read the same
//     channel under the same running flag).
//  2. The current context is set before either thread starts, and both
//     threads use the context they were started with.
//  3. ovix_close kills the backend (by name, and its own child's process
//     group directly: the backend is started as the leader of a group of
//     its own, so neither a backend of another image name nor the processes
//     a backend started outlive the capture), clears the running
//     flag and waits, within 2 s in all, for both threads. When both ended it
//     frees the context and detaches the channel; when the host's callback
//     keeps a thread beyond that (or close is called from the callback
//     itself), the context is left to the last thread to free and the
//     channel stays attached for the next capture.
//  4. The runner starts the backend under the context lock and only while
//     close has not begun, so close always finds the child it has to kill.
//  5. When the backend ends by itself (a replay reaching its end), the reader
//     first hands on every record left in the ring; "capture stop" is always
//     the last callback of a capture.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <shared_mutex>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "os/process.h"
#include "plugin/plugin_internal.h"

// Process-wide capture state.
static ShmHandle* g_channel;                // attached channel, null when none
static uint8_t g_running;                   // set while the capture runs
static std::shared_mutex g_runningLock;     // guards g_running
static CaptureContext* g_current;           // the open capture, null when none
static std::mutex g_openClose;              // serialises ovix_open and ovix_close
static std::atomic<int> g_lingering{0};     // closed contexts whose threads still run

// Bound of ovix_close's wait for the threads, and of the first part of it
// that waits for the backend runner before the running flag is cleared.
static const int kCloseWaitMs = 2000;
static const int kRunnerGraceMs = 200;

static bool is_running() {
  std::shared_lock<std::shared_mutex> g(g_runningLock);
  return g_running != 0;
}

static void set_running(uint8_t value) {
  std::unique_lock<std::shared_mutex> g(g_runningLock);
  g_running = value;
}

// Clears the running flag and wakes a reader waiting on the data event, so
// it sees the flag now rather than at the end of its read's time-out.
static void stop_running() {
  set_running(0);
  if (g_channel) shm_notify(g_channel);
}

// Marks one thread of the context as ended; the last thread of an abandoned
// context frees it.
static void thread_ended(CaptureContext* ctx, bool reader) {
  bool free_it;
  {
    std::lock_guard<std::mutex> g(ctx->lock);
    if (reader)
      ctx->readerDone = true;
    else
      ctx->runnerDone = true;
    free_it = ctx->abandoned && ctx->readerDone && ctx->runnerDone;
    ctx->wake.notify_all();
  }
  if (free_it) {
    delete ctx;
    g_lingering.fetch_sub(1);
  }
}

static void data_thread(CaptureContext* ctx) {
  {
    std::unique_lock<std::mutex> g(ctx->lock);
    ctx->readerId = os_current_thread_id();
  }
  printf(">>>data_thread<<<\n");
  {
    // Gives the backend time to start; a close meanwhile cuts it short.
    std::unique_lock<std::mutex> g(ctx->lock);
    ctx->wake.wait_for(g, std::chrono::milliseconds(200), [ctx] { return ctx->closing; });
  }
  RecordReader* reader = new (std::nothrow) RecordReader;
  if (reader) record_reader_init(reader);
  while (reader && is_running()) {
    CaptureRecordOut rec;
    if (record_read_plugin(g_channel, reader, &rec) == 1) {
      if (ctx->callback)
        ctx->callback(ctx->user, rec.stampHigh, rec.stampLow, (char*)rec.packet,
                      (int32_t)rec.dataLength, (int32_t)ctx->speed);
      continue;
    }
    // The backend has ended and all it wrote has been read.
    if (ctx->drain.load() && record_reader_buffered(reader) == 0 &&
        shm_get_info(g_channel, nullptr, nullptr) == 0)
      break;
  }
  delete reader;
  printf("usb_trace_flag is stop\n");
  thread_ended(ctx, true);
}

// Runs the backend at `speed` until it ends; "capture err" when it cannot
// be started. True when the backend ran.
static bool start_trace(CaptureContext* ctx, int32_t speed) {
  const char* code = speed == 1 ? "ls" : speed == 2 ? "fs" : "hs";
  char command[64];
  snprintf(command, sizeof command, "qelvo.exe -s %s -c -f cfile.qelvo", code);

  OsProcess* proc = nullptr;
  {
    std::lock_guard<std::mutex> g(ctx->lock);
    // Closed before the backend was started: nothing to start, nothing failed.
    if (ctx->closing) return false;
    proc = os_process_spawn_flags(command, OS_SPAWN_NEW_GROUP);
    ctx->backend = proc;
  }
  if (!proc) {
    send_notice(ctx, -2, os_tick_ms(), "capture err");
  } else {
    printf("qelvo.exe 启动成功！PID: %lu\n", (unsigned long)os_process_id(proc));
    OsProcessExit how{0, 0, 0};
    os_process_wait(proc, 0xFFFFFFFFu, &how);
    // A killed backend has no exit code; report it the way a shell does.
    unsigned long code_out = how.crashed ? 128ul + (unsigned long)how.signal : (unsigned long)how.exit_code;
    printf("qelvo.exe 执行完毕，退出码: %lu\n", code_out);
    std::lock_guard<std::mutex> g(ctx->lock);
    ctx->backend = nullptr;
    os_process_close(proc);
  }
  return proc != nullptr;
}

// Waits until the record reader has ended.
static void wait_reader(CaptureContext* ctx) {
  std::unique_lock<std::mutex> g(ctx->lock);
  ctx->wake.wait(g, [ctx] { return ctx->readerDone; });
}

static void backend_runner(CaptureContext* ctx) {
  bool ran = start_trace(ctx, g_speedCode);
  bool closing;
  {
    std::lock_guard<std::mutex> g(ctx->lock);
    closing = ctx->closing;
  }
  if (ran && !closing) {
    // The records of a backend that ended by itself are still in the ring:
    // the reader hands them all on before the capture counts as stopped.
    ctx->drain.store(true);
    wait_reader(ctx);
  }
  stop_running();
  // "capture stop" is the capture's last callback.
  wait_reader(ctx);
  printf("capture stop\n");
  send_notice(ctx, -2, os_tick_ms(), "capture stop");
  thread_ended(ctx, false);
}

// Kills stale backends, attaches to (or creates) the channel, clears it and
// sets the running flag. False after a kind -1 notice when the channel can
// be neither opened nor created.
static bool trace_init(CaptureContext* ctx) {
  KillProcessByName("qelvo.exe");
  if (!g_channel) {
    ShmConfig config{SHM_DEFAULT_SIZE, 5000, 1, 1};
    ShmHandle* handle = shm_open(&config);
    if (!handle) {
      printf("creat share mem\n");
      handle = shm_create(&config);
    }
    if (!handle) {
      // A library must not end its host: the host hears of it instead.
      const char* status = shm_get_last_error();
      printf("creat mem failed: %s\n", status);
      char message[320];
      snprintf(message, sizeof message, "creat mem failed: %s", status);
      send_notice(ctx, -1, 0, message);
      return false;
    }
    g_channel = handle;
  }
  shm_clear(g_channel);
  set_running(1);
  return true;
}

static void release_channel() {
  shm_destroy(g_channel);
  g_channel = nullptr;
}

QELVO_EXPORT void* ovix_open(const char* option, void* user, CaptureCallback callback) {
  std::lock_guard<std::mutex> guard(g_openClose);
  CaptureContext* ctx = new (std::nothrow) CaptureContext();
  if (!ctx) return nullptr;
  ctx->user = user;
  ctx->callback = callback;
  ctx->speed = (uint32_t)g_speedCode;
  if (g_current || g_lingering.load() > 0) {
    send_notice(ctx, -1, 0, "capture already open");
    delete ctx;
    return nullptr;
  }
  if (parse_option(ctx, option) != 0 || !trace_init(ctx)) {
    delete ctx;
    return nullptr;
  }
  g_current = ctx;
  try {
    ctx->reader = std::thread(data_thread, ctx);
  } catch (...) {
    set_running(0);
    g_current = nullptr;
    release_channel();
    delete ctx;
    return nullptr;
  }
  try {
    ctx->runner = std::thread(backend_runner, ctx);
  } catch (...) {
    // No runner, no backend: stop the reader again before giving up.
    {
      std::lock_guard<std::mutex> g(ctx->lock);
      ctx->closing = true;
      ctx->wake.notify_all();
    }
    set_running(0);
    ctx->reader.join();
    g_current = nullptr;
    release_channel();
    delete ctx;
    return nullptr;
  }
  return ctx;
}

QELVO_EXPORT int ovix_close(void* handle) {
  if (!handle) return 0;
  std::lock_guard<std::mutex> guard(g_openClose);
  CaptureContext* ctx = (CaptureContext*)handle;
  // A handle that is not the open capture (closed already, or never ours)
  // is not touched.
  if (ctx != g_current) return 0;

  {
    // The backend's group first, while its leader is surely unreaped (the
    // kill by name below would let the runner reap it).
    std::lock_guard<std::mutex> g(ctx->lock);
    ctx->closing = true;
    if (ctx->backend) os_process_signal_group(ctx->backend, OS_SIGNAL_KILL);
  }
  KillProcessByName("qelvo.exe");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
  // A host may close from inside its callback, on one of the capture's own
  // threads: that thread cannot be waited for, it ends after this returns.
  std::thread::id self = std::this_thread::get_id();
  bool onReader = self == ctx->reader.get_id();
  bool onRunner = self == ctx->runner.get_id();
  std::unique_lock<std::mutex> g(ctx->lock);
  ctx->wake.notify_all();
  // The runner normally sees the killed backend end at once and clears the
  // flag itself; it is cleared here in any case. (It waits for the reader,
  // so there is no point waiting for it on the reader's thread.)
  if (!onReader && !onRunner)
    ctx->wake.wait_for(g, std::chrono::milliseconds(kRunnerGraceMs), [ctx] { return ctx->runnerDone; });
  g.unlock();
  stop_running();
  g.lock();
  bool ended = !onReader && !onRunner &&
               ctx->wake.wait_until(g, deadline, [ctx] { return ctx->readerDone && ctx->runnerDone; });
  if (onRunner && !onReader)
    ctx->wake.wait_until(g, deadline, [ctx] { return ctx->readerDone; });
  g_current = nullptr;
  if (!ended) {
    // A thread is still in the host's callback: leave the context to it.
    ctx->reader.detach();
    ctx->runner.detach();
    ctx->abandoned = true;
    g_lingering.fetch_add(1);
    return 0;
  }
  g.unlock();
  ctx->reader.join();
  ctx->runner.join();
  delete ctx;
  release_channel();
  return 0;
}
