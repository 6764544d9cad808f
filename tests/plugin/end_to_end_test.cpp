// The library from end to end with the stand-in backend: every shared real
// capture replayed through the channel reaches the host's callback exactly,
// and closing, reopening and refusing behave while a backend runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <thread>

#include "store/capture/capture_file.h"
#include "tests/plugin/plugin_test_util.h"

using plugintest::Call;
using plugintest::Recorder;

namespace {

struct FilePacket {
  std::string bytes;
  uint64_t stamp;
};

std::vector<FilePacket> read_capture(const std::string& path) {
  std::vector<FilePacket> packets;
  char err[512];
  CaptureReader* r = capture_reader_open(path.c_str(), err, sizeof err);
  EXPECT_NE(nullptr, r) << err;
  if (!r) return packets;
  CapturePacket p;
  int rc;
  while ((rc = capture_reader_next(r, &p, err, sizeof err)) == 1)
    packets.push_back({std::string((const char*)p.bytes, p.length), p.timestamp_ns});
  EXPECT_EQ(0, rc) << err;
  capture_reader_close(r);
  return packets;
}

// Sets an environment variable for the lifetime of the object.
struct Env {
  Env(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~Env() { unsetenv(name_.c_str()); }
  std::string name_;
};

// A working directory of the test's own (the backend writes its mirror
// file "cfile.qelvo" there), the library loaded, channel and kills isolated.
struct Fixture {
  plugintest::Isolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
  plugintest::Library lib{plugintest::library_path()};
};

std::vector<std::string> shared_captures() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(testenv::shared_captures_dir())) {
    std::string ext = e.path().extension().string();
    if (ext == ".pcap" || ext == ".pcapng") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
      .count();
}

}  // namespace

TEST(EndToEnd, EverySharedCaptureArrivesExactly) {
  std::vector<std::string> files = shared_captures();
  ASSERT_GE(files.size(), 8u);
  const char* options[] = {"<speed,HS>", "<speed,FS>", "<speed,LS>"};
  int round = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Fixture f;
    ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
    Env replay("QELVO_REPLAY", file.c_str());
    Env rate("QELVO_REPLAY_RATE", "max");
    std::vector<FilePacket> want = read_capture(file);
    ASSERT_FALSE(want.empty());
    int32_t speed = 3 - round % 3;
    const char* option = options[round++ % 3];

    Recorder rec;
    void* ctx = f.lib.open(option, &rec, Recorder::callback);
    ASSERT_NE(nullptr, ctx);
    EXPECT_TRUE(rec.wait_stop(20000)) << "no capture stop after the replay ended";
    EXPECT_EQ(0, rec.backendsAtStop) << "capture stop came while the backend still ran";
    EXPECT_EQ(0, f.lib.close(ctx));

    std::vector<Call> calls = rec.snapshot();
    ASSERT_EQ(want.size() + 1, calls.size()) << "packets then capture stop";
    for (size_t i = 0; i < want.size(); ++i) {
      const Call& c = calls[i];
      ASSERT_EQ(speed, c.kind) << "call " << i;
      ASSERT_EQ((int32_t)want[i].bytes.size(), c.length) << "packet " << i;
      ASSERT_EQ(want[i].bytes, c.bytes) << "packet " << i;
      ASSERT_EQ(want[i].stamp, (uint64_t)c.a << 32 | c.b) << "packet " << i;
    }
    const Call& stop = calls.back();
    EXPECT_EQ(-2, stop.kind);
    EXPECT_EQ(13, stop.length);
    EXPECT_EQ(std::string("capture stop", 13), stop.bytes);
    EXPECT_EQ(0u, stop.b);
    EXPECT_EQ(0, plugintest::count_own_backends());
  }
}

TEST(EndToEnd, CloseDuringARunReturnsWithinItsBound) {
  Fixture f;
  ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
  Recorder rec;
  void* ctx = f.lib.open("<speed,HS>", &rec, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  // The simulated bus runs until it is stopped; wait for some packets.
  auto t0 = std::chrono::steady_clock::now();
  while (rec.packets() < 10 && ms_since(t0) < 10000)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(rec.packets(), 10u);
  EXPECT_EQ(1, plugintest::count_own_backends());
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, f.lib.close(ctx));
  EXPECT_LT(ms_since(t0), 2200);
  // Every callback has ended by the time close returns, the last is the stop.
  size_t n = rec.snapshot().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::vector<Call> calls = rec.snapshot();
  EXPECT_EQ(n, calls.size()) << "callbacks after ovix_close returned";
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(std::string("capture stop", 13), calls.back().bytes);
  for (size_t i = 0; i + 1 < calls.size(); ++i) EXPECT_EQ(3, calls[i].kind) << "call " << i;
  EXPECT_EQ(0, plugintest::count_own_backends());
  // A second close of the same handle does nothing.
  EXPECT_EQ(0, f.lib.close(ctx));
}

TEST(EndToEnd, SecondOpenIsRefusedWhileACaptureIsOpen) {
  Fixture f;
  ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
  Recorder first, second;
  void* ctx = f.lib.open("<speed,FS>", &first, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  auto t0 = std::chrono::steady_clock::now();
  while (plugintest::count_own_backends() != 1 && ms_since(t0) < 10000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(1, plugintest::count_own_backends()) << "the backend did not start";
  EXPECT_EQ(nullptr, f.lib.open("<speed,LS>", &second, Recorder::callback));
  std::vector<Call> refused = second.snapshot();
  ASSERT_EQ(1u, refused.size());
  EXPECT_EQ(-1, refused[0].kind);
  EXPECT_EQ(std::string("capture already open", 21), refused[0].bytes);
  EXPECT_EQ(1, plugintest::count_own_backends()) << "the refused open touched the running backend";
  EXPECT_EQ(0, f.lib.close(ctx));
  // After the close a new capture opens normally.
  Recorder third;
  ctx = f.lib.open("<speed,LS>", &third, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  EXPECT_EQ(0, f.lib.close(ctx));
  EXPECT_TRUE(third.wait_stop(0));
  for (const Call& c : first.snapshot()) EXPECT_TRUE(c.kind == 2 || c.kind == -2);
  for (const Call& c : third.snapshot()) EXPECT_TRUE(c.kind == 1 || c.kind == -2);
}

TEST(EndToEnd, HundredOpenCloseCyclesLeaveNothingBehind) {
  Fixture f;
  ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    Recorder rec;
    void* ctx = f.lib.open(i % 2 ? "<speed,FS>" : "<speed,HS>", &rec, Recorder::callback);
    ASSERT_NE(nullptr, ctx) << "cycle " << i;
    // Every other cycle closes while the backend runs, the others at once
    // (before or while it starts).
    auto t1 = std::chrono::steady_clock::now();
    while (i % 2 && plugintest::count_own_backends() != 1 && ms_since(t1) < 10000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(0, f.lib.close(ctx)) << "cycle " << i;
    ASSERT_TRUE(rec.wait_stop(0)) << "cycle " << i << ": no capture stop before close returned";
    for (const Call& c : rec.snapshot())
      ASSERT_NE(std::string("capture err", 12), c.bytes) << "cycle " << i;
  }
  EXPECT_EQ(0, plugintest::count_own_backends()) << "a backend outlived its capture";
  RecordProperty("cycle_ms", (int)(ms_since(t0) / 100));
}

namespace {

// Holds the reader thread inside its first packet callback until released.
struct Blocker {
  std::mutex lock;
  std::condition_variable wake;
  bool entered = false;
  bool released = false;
  std::atomic<int> calls{0};

  static int callback(void* user, uint32_t, uint32_t, char*, int32_t, int32_t kind) {
    Blocker* b = (Blocker*)user;
    b->calls.fetch_add(1);
    if (kind <= 0) return 0;
    std::unique_lock<std::mutex> g(b->lock);
    if (!b->entered) {
      b->entered = true;
      b->wake.notify_all();
      b->wake.wait(g, [b] { return b->released; });
    }
    return 0;
  }
};

}  // namespace

TEST(EndToEnd, CloseGivesUpOnACallbackThatDoesNotReturn) {
  Fixture f;
  ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
  Blocker blocker;
  void* ctx = f.lib.open("<speed,HS>", &blocker, Blocker::callback);
  ASSERT_NE(nullptr, ctx);
  {
    std::unique_lock<std::mutex> g(blocker.lock);
    ASSERT_TRUE(blocker.wake.wait_for(g, std::chrono::seconds(10), [&] { return blocker.entered; }));
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, f.lib.close(ctx));
  long long ms = ms_since(t0);
  EXPECT_GE(ms, 1500) << "close should have waited for the reader";
  EXPECT_LT(ms, 3000) << "close must not wait beyond its bound";
  EXPECT_EQ(0, plugintest::count_own_backends());

  // While the held thread lives, no new capture may share the channel.
  Recorder refused;
  EXPECT_EQ(nullptr, f.lib.open("<speed,HS>", &refused, Recorder::callback));
  ASSERT_EQ(1u, refused.snapshot().size());
  EXPECT_EQ(std::string("capture already open", 21), refused.snapshot()[0].bytes);

  {
    std::lock_guard<std::mutex> g(blocker.lock);
    blocker.released = true;
    blocker.wake.notify_all();
  }
  // The released threads end by themselves and free the capture; then the
  // library opens again.
  void* next = nullptr;
  Recorder rec;
  for (int i = 0; i < 200 && !next; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    next = f.lib.open("<speed,HS>", &rec, Recorder::callback);
  }
  ASSERT_NE(nullptr, next) << "the library stayed busy after the callback returned";
  EXPECT_EQ(0, f.lib.close(next));
  EXPECT_TRUE(rec.wait_stop(0));
}

namespace {

// Closes the capture from inside its own packet callback.
struct SelfCloser {
  plugintest::Library* lib = nullptr;
  std::atomic<void*> handle{nullptr};
  std::atomic<int> packets{0};
  std::atomic<long long> close_ms{-1};
  std::atomic<bool> stopped{false};

  static int callback(void* user, uint32_t, uint32_t, char* bytes, int32_t, int32_t kind) {
    SelfCloser* s = (SelfCloser*)user;
    if (kind == -2 && bytes && std::string(bytes) == "capture stop") s->stopped = true;
    if (kind <= 0 || s->packets.fetch_add(1) != 4) return 0;
    void* h = s->handle.load();
    if (!h) return 0;
    auto t0 = std::chrono::steady_clock::now();
    s->lib->close(h);
    s->close_ms = ms_since(t0);
    return 0;
  }
};

}  // namespace

TEST(EndToEnd, CloseFromInsideTheCallbackDoesNotWaitForItself) {
  Fixture f;
  ASSERT_NE(nullptr, f.lib.handle) << f.lib.error;
  SelfCloser closer;
  closer.lib = &f.lib;
  void* ctx = f.lib.open("<speed,HS>", &closer, SelfCloser::callback);
  ASSERT_NE(nullptr, ctx);
  closer.handle = ctx;
  auto t0 = std::chrono::steady_clock::now();
  while (!closer.stopped && ms_since(t0) < 10000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(closer.stopped.load()) << "no capture stop after the close";
  EXPECT_GE(closer.close_ms.load(), 0);
  EXPECT_LT(closer.close_ms.load(), 1000);
  // The capture's threads free it as they end; then the library opens again.
  void* next = nullptr;
  Recorder rec;
  for (int i = 0; i < 250 && !next; ++i) {
    next = f.lib.open("<speed,HS>", &rec, Recorder::callback);
    if (!next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(nullptr, next);
  EXPECT_EQ(0, f.lib.close(next));
  EXPECT_EQ(0, f.lib.close(ctx)) << "the closed handle is not touched again";
  EXPECT_EQ(0, plugintest::count_own_backends());
}
