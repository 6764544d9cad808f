// The library from end to end with the stand-in backend: closing, reopening
// and refusing behave while a backend runs (the replay of a real capture
// through the library is checked by the host tool's test).
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/plugin/plugin_test_util.h"

using namespace plugintest;
using Clock = std::chrono::steady_clock;

namespace {

// A working directory of the test's own (the backend writes its mirror
// file "cfile.qelvo" there), the library loaded, channel and kills isolated.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(nullptr, lib.handle) << lib.error; }
  // Opens again until the released capture lets go (up to about 5 s).
  void reopen_and_close() {
    void* next = nullptr;
    Recorder rec;
    ASSERT_TRUE(wait_until([&] { return (next = lib.open("<speed,HS>", &rec, Recorder::callback)) != nullptr; }, 5000, 20))
        << "the library stayed busy after the capture was released";
    EXPECT_EQ(0, lib.close(next));
    EXPECT_TRUE(rec.stopped());
  }
  Isolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
  Library lib;
};

// Opening while a capture (or a thread of one) is still there is refused
// with a notice only.
void expect_open_refused(Library& lib) {
  Recorder refused;
  EXPECT_EQ(nullptr, lib.open("<speed,LS>", &refused, Recorder::callback));
  std::vector<Call> calls = refused.snapshot();
  ASSERT_EQ(1u, calls.size());
  expect_notice(calls[0], -1, std::string("capture already open", 21));
}


}  // namespace

TEST_F(EndToEnd, CloseDuringARunReturnsWithinItsBound) {
  Recorder rec;
  void* ctx = lib.open("<speed,HS>", &rec, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  // The simulated bus runs until it is stopped; wait for some packets.
  EXPECT_TRUE(wait_until([&] { return rec.snapshot().size() >= 10; }, 10000, 10));
  expect_open_refused(lib);
  EXPECT_EQ(1, count_own_backends()) << "the refused open touched the running backend";
  auto t0 = Clock::now();
  EXPECT_EQ(0, lib.close(ctx));
  EXPECT_LT(ms_since(t0), 2200);
  // Every callback has ended by the time close returns, the last is the stop.
  size_t n = rec.snapshot().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::vector<Call> calls = rec.snapshot();
  EXPECT_EQ(n, calls.size()) << "callbacks after ovix_close returned";
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(kStop, calls.back().bytes);
  for (size_t i = 0; i + 1 < calls.size(); ++i) EXPECT_EQ(3, calls[i].kind) << "call " << i;
  EXPECT_EQ(0, count_own_backends());
  // The killed backend never detached; the channel went all the same.
  EXPECT_EQ(0, channel_objects()) << "channel objects outlived their capture";
  EXPECT_EQ(0, lib.close(ctx)) << "a second close of the same handle does nothing";
}

TEST_F(EndToEnd, HundredOpenCloseCyclesLeaveNothingBehind) {
  auto t0 = Clock::now();
  for (int i = 0; i < 100; ++i) {
    Recorder rec;
    void* ctx = lib.open(i % 2 ? "<speed,FS>" : "<speed,HS>", &rec, Recorder::callback);
    ASSERT_NE(nullptr, ctx) << "cycle " << i;
    // Every other cycle closes while the backend runs, the others at once
    // (before or while it starts).
    if (i % 2) wait_until([] { return count_own_backends() == 1; }, 10000, 1);
    ASSERT_EQ(0, lib.close(ctx)) << "cycle " << i;
    ASSERT_TRUE(rec.stopped()) << "cycle " << i << ": no capture stop before close returned";
    for (const Call& c : rec.snapshot()) ASSERT_NE(std::string("capture err", 12), c.bytes) << "cycle " << i;
  }
  EXPECT_EQ(0, count_own_backends()) << "a backend outlived its capture";
  EXPECT_EQ(0, channel_objects()) << "channel objects outlived their last capture";
  RecordProperty("cycle_ms", (int)(ms_since(t0) / 100));
}

TEST_F(EndToEnd, CloseGivesUpOnACallbackThatDoesNotReturnAndNeverWaitsForItself) {
  // The reader thread is held inside its first packet callback until released.
  std::promise<void> entered, released;
  std::shared_future<void> go = released.get_future().share();
  Recorder blocker;
  blocker.on_packet = [&](int n) {
    if (n == 0) entered.set_value(), go.wait();
  };
  void* ctx = lib.open("<speed,HS>", &blocker, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(std::chrono::seconds(10)));
  auto t0 = Clock::now();
  EXPECT_EQ(0, lib.close(ctx));
  long long ms = ms_since(t0);
  EXPECT_GE(ms, 1500) << "close should have waited for the reader";
  EXPECT_LT(ms, 3000) << "close must not wait beyond its bound";
  EXPECT_EQ(0, count_own_backends());
  // While the held thread lives, no new capture may share the channel.
  expect_open_refused(lib);
  released.set_value();
  // The released threads end by themselves and free the capture.
  reopen_and_close();

  // Closed from inside its own callback, close does not wait for itself.
  std::atomic<void*> handle{nullptr};
  std::atomic<long long> close_ms{-1};
  Recorder closer;
  closer.on_packet = [&](int n) {
    if (n != 4 || !handle) return;
    auto start = Clock::now();
    lib.close(handle);
    close_ms = ms_since(start);
  };
  ctx = lib.open("<speed,HS>", &closer, Recorder::callback);
  ASSERT_NE(nullptr, ctx);
  handle = ctx;
  ASSERT_TRUE(wait_until([&] { return closer.stopped(); }, 10000)) << "no capture stop after the close";
  EXPECT_TRUE(close_ms >= 0 && close_ms < 1000) << close_ms.load();
  reopen_and_close();
  EXPECT_EQ(0, lib.close(ctx)) << "the closed handle is not touched again";
  EXPECT_EQ(0, count_own_backends());
}
