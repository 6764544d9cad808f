// The capture worker end to end: the stand-in backend replaying real
// captures through the channel (and the loaded-packet list through the
// replay thread) into the session's four trees, compared with orvane-dump.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "acquisition/packet_queues.h"
#include "acquisition/pipeline/capture_session.h"
#include "acquisition/qt/interface_io.h"
#include "decode/data_parse.h"
#include "os/log.h"
#include "os/process_signal.h"
#include "store/capture/loaded_packets.h"
#include "tests/support/capture_test_util.h"
#include "tests/support/qt_test_util.h"
#include "tests/support/test_env.h"
#include "tests/support/tree_text.h"
#include "tests/support/views_json.h"

using qttest::wait_until;
using testenv::ScopedEnv;

namespace {

using FilePacket = capture_test::Packet;

// As the backend's replay sends them (the system's own files keep their stamps).
std::vector<FilePacket> read_capture(const std::string& path) {
  return capture_test::read_all(path, CAPTURE_TIME_FROM_FIRST).packets;
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session = treetext::open_session_in(dir.path(), 1);
    ASSERT_TRUE(session);
  }
  void TearDown() override {
    delete worker;
    capture_session_close(session, 1);
    loaded_packets_clear();
    sof_hold_clear();
    orvane_log_set_muted(0);
  }

  bool app_ = (qttest::ensure_app(), true);  // before any Qt member
  qttest::LogCapture log;  // keeps the run quiet, and lets tests look at messages
  testenv::ShmIsolation iso;
  testenv::TempDir dir;
  testenv::ScopedChdir cd{dir.path()};
  CaptureSession* session = nullptr;
  interface_io* worker = nullptr;
};

class WorkerCaptureTest : public WorkerTest, public ::testing::WithParamInterface<std::string> {};

}  // namespace

TEST_P(WorkerCaptureTest, ChannelAndReplayGiveTheRowsOfOrvaneDump) {
  const std::string file = testenv::shared_captures_dir() + "/" + GetParam();
  const std::vector<std::string> want = viewsjson::of_dump(file, dir);
  std::vector<FilePacket> packets = read_capture(file);
  ASSERT_FALSE(packets.empty());

  ScopedEnv replay("QELVO_REPLAY", file), rate("QELVO_REPLAY_RATE", "max");
  worker = new interface_io(session);
  // The status texts as the window receives them: queued onto this thread
  // (a spy would record them on the consumer thread).
  QStringList texts;
  QObject receiver;
  QObject::connect(worker, &interface_io::state_msg_snd, &receiver, [&](const QString& m) { texts << m; });
  QSignalSpy stopped(worker->processManager(), &ProcManager::processStopped);
  QElapsedTimer t;
  t.start();
  ASSERT_EQ(QString(), worker->startTrace());
  ASSERT_TRUE(stopped.wait(20000)) << "the backend's replay did not end";
  // Save's way: once idle, the capture data file is closed with the consumer paused.
  ASSERT_TRUE(worker->waitCaptureIdle(10000, [&] { capture_data_close(session->pipeline); }));
  EXPECT_EQ(want, viewsjson::of_session(session)) << "live";
  EXPECT_TRUE(packets == read_capture(dir.file("capusbdata.qelvo"))) << "live packets are recorded as they came";
  // Throttled status texts; the last one carries the final count.
  QString last = QString("parsePackage: %1").arg(session->decoder->packageCount());
  EXPECT_TRUE(wait_until([&] { return !texts.isEmpty() && texts.last() == last; }, 2000))
      << texts.join(" / ").toStdString();
  // Counted once the last text is in: it may come after the capture went idle.
  EXPECT_LE(texts.count(), t.elapsed() / 100 + 3);

  // The same packets from the loaded-packet list: the same rows, nothing recorded.
  capture_data_open(session->pipeline);
  worker->clearCapture();
  for (const FilePacket& p : packets)
    ASSERT_EQ(0, loaded_packets_append(p.bytes.data(), (uint32_t)p.bytes.size(), p.ts));
  worker->startReplay();
  ASSERT_TRUE(worker->waitCaptureIdle(10000, [&] { capture_data_close(session->pipeline); }));
  EXPECT_EQ(want, viewsjson::of_session(session)) << "replay";
  EXPECT_TRUE(read_capture(dir.file("capusbdata.qelvo")).empty()) << "replayed packets must not be recorded";
  EXPECT_EQ(packets.size() * 2, worker->counters().packetsDecoded);
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, WorkerCaptureTest, ::testing::ValuesIn(testenv::shared_capture_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return testenv::param_name(info.param); });

// Rows go to the storing thread in batches: when the bus falls quiet after
// a few packets, far short of a batch, their rows must still reach the views
// while the capture runs.
TEST_F(WorkerTest, RowsOfAFewPacketsReachTheViewsWhileTheBusIsQuiet) {
  const uint64_t second = 1000000000ull;
  std::vector<FilePacket> packets = {{{0x69, 0x82, 0x18}, second},
                                     {{0x5A}, second + 1000},
                                     {{0xD2}, 3600 * second}};  // an hour later
  const std::string file = dir.file("quiet.qelvo");
  ASSERT_EQ("", capture_test::write_all(file, CAPTURE_FORMAT_QELVO, packets));
  ScopedEnv replay("QELVO_REPLAY", file), rate("QELVO_REPLAY_RATE", "real");
  worker = new interface_io(session);
  ASSERT_EQ(QString(), worker->startTrace());
  RowTree* tree = capture_session_tree(session, VIEW_PACKAGES);
  EXPECT_TRUE(wait_until([&] { return row_tree_row_count(tree) >= 2; }, 10000))
      << row_tree_row_count(tree) << " rows";
}

TEST_F(WorkerTest, ReplaySkipsOverlongPacketsAStopEndsAnIdleConsumerAndTheDestructorEveryThread) {
  worker = new interface_io(session);
  std::vector<uint8_t> huge(kQueuedPacketMax + 1, 0xC3);
  uint8_t ack = 0xD2;
  ASSERT_EQ(0, loaded_packets_append(huge.data(), (uint32_t)huge.size(), 1000));
  ASSERT_EQ(0, loaded_packets_append(&ack, 1, 2000));
  worker->startReplay();
  ASSERT_TRUE(worker->waitCaptureIdle(5000));
  EXPECT_EQ(1u, worker->counters().packetsDecoded);
  EXPECT_TRUE(log.contains("longer than the replay buffer"));

  ASSERT_TRUE(wait_until([&] { return worker->isRunning(); }, 2000));
  worker->requestStop();
  EXPECT_TRUE(worker->wait(100)) << "the consumer did not leave its wait";

  // A running backend, a replay feeding a stopped consumer and the channel
  // reader: the destructor ends them all.
  worker->start();
  ASSERT_EQ(QString(), worker->startTrace());
  ProcManager* pm = worker->processManager();
  ASSERT_TRUE(wait_until([&] { return pm->isRunning(); }, 5000));
  qlonglong pid = pm->processId();
  uint8_t token[3] = {0x69, 0x82, 0x18};
  for (int i = 0; i < 1000; i++) loaded_packets_append(token, sizeof token, (uint64_t)i * 1000);
  worker->requestStop();
  ASSERT_TRUE(worker->wait(1000));
  worker->startReplay();
  QElapsedTimer t;
  t.start();
  delete worker;
  worker = nullptr;
  EXPECT_LT(t.elapsed(), 3000);
  EXPECT_NE(0, os_pid_check((uint32_t)pid)) << "the backend outlived the worker";
}
