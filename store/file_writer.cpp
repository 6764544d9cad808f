// The writing thread of staged bytes (see file_writer.h).
#include "store/file_writer.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "os/clock.h"
#include "store/append_buffer.h"

namespace {

struct Job {
  AppendBuffer* ab;
  os_file file;
  uint64_t offset;
  const uint8_t* bytes;
  uint32_t len;
};

}  // namespace

struct FileWriter {
  std::mutex lock;
  std::condition_variable work;  // a job came, or the end
  std::condition_variable done;  // a job was made
  std::deque<Job> jobs;          // handed over, oldest first
  bool stop;
  std::atomic<uint64_t> cpuNs;   // processor time of the thread after its last job
  uint64_t cacheKeep;            // see file_writer_start
  uint64_t cacheAfter;           // see file_writer_start
  uint64_t written;              // bytes written in all; the thread's own
  std::thread thread;
};

// Bytes between two requests to the system (at most): few calls, and the
// disk gets work in pieces it can take at once.
constexpr uint64_t kCacheStep = 4u << 20;

// After a write of `job`: sends what came since the last request to the
// disk, and lets go of the pages that lie cache_keep bytes behind. Each
// range let go overlaps the one before, so pages still on their way to the
// disk last time are let go now.
static void bound_cache(const FileWriter* w, const Job& job) {
  AppendBuffer* ab = job.ab;
  uint64_t keep = w->cacheKeep;
  uint64_t step = keep < kCacheStep ? keep : kCacheStep;
  uint64_t end = job.offset + job.len;
  if (!ab->cacheBounded) {  // what came before stays cached, unwritten
    ab->writebackFrom = ab->cachedFrom = job.offset;
    ab->cacheBounded = true;
  }
  if (end - ab->writebackFrom < step) return;
  os_file_start_writeback(job.file, ab->writebackFrom, end - ab->writebackFrom);
  ab->writebackFrom = end;
  if (end - ab->cachedFrom <= keep) return;
  uint64_t to = end - keep;
  uint64_t from = to - ab->cachedFrom > 2 * step ? to - 2 * step : ab->cachedFrom;
  os_file_drop_cached(job.file, from, to - from);
  if (to - ab->cachedFrom > step) ab->cachedFrom = to - step;
}

static void run(FileWriter* w) {
  std::unique_lock<std::mutex> hold(w->lock);
  for (;;) {
    w->work.wait(hold, [&] { return w->stop || !w->jobs.empty(); });
    if (w->jobs.empty()) return;  // stopped, and nothing left
    Job job = w->jobs.front();
    hold.unlock();
    int err = 0;
    if (os_file_write_at(job.file, job.offset, job.bytes, job.len) != 0)
      err = errno ? errno : EIO;
    else if (w->cacheKeep && (w->written += job.len) > w->cacheAfter)
      bound_cache(w, job);
    w->cpuNs.store(os_thread_cpu_ns(), std::memory_order_relaxed);
    hold.lock();
    w->jobs.pop_front();
    if (err && !job.ab->writeFailed) job.ab->writeFailed = err;
    job.ab->writing = false;
    w->done.notify_all();
  }
}

FileWriter* file_writer_start(uint64_t cache_keep, uint64_t cache_after) {
  FileWriter* w = new (std::nothrow) FileWriter();
  if (!w) return nullptr;
  w->stop = false;
  w->cacheKeep = cache_keep;
  w->cacheAfter = cache_after;
  w->written = 0;
  w->cpuNs.store(0);
  try {
    w->thread = std::thread(run, w);
  } catch (...) {
    delete w;
    return nullptr;
  }
  return w;
}

void file_writer_stop(FileWriter* w) {
  if (!w) return;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->stop = true;
    w->work.notify_one();
  }
  w->thread.join();
  delete w;
}

void file_writer_submit(FileWriter* w, AppendBuffer* ab, os_file f, uint64_t offset,
                        const uint8_t* bytes, uint32_t len) {
  std::lock_guard<std::mutex> hold(w->lock);
  ab->writing = true;
  w->jobs.push_back(Job{ab, f, offset, bytes, len});
  w->work.notify_one();
}

uint64_t file_writer_cpu_ns(FileWriter* w) {
  return w ? w->cpuNs.load(std::memory_order_relaxed) : 0;
}

void file_writer_wait(FileWriter* w, AppendBuffer* ab) {
  std::unique_lock<std::mutex> hold(w->lock);
  w->done.wait(hold, [&] { return !ab->writing; });
}
