// qelvo.exe on the channel: replays deliver exactly a file's packets, the
// "-f" file holds exactly what was sent, a full ring makes it wait rather
// than drop, and SIGTERM/SIGINT end it cleanly.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "acquisition/capture_record.h"
#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "store/capture/capture_file.h"
#include "tests/backend/backend_test_util.h"
#include "tests/support/test_env.h"

using backendtest::ChannelRun;
using backendtest::FilePacket;

namespace {

class BackendChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QELVO_REPLAY");
    unsetenv("QELVO_REPLAY_RATE");
    ShmConfig config = {SHM_DEFAULT_SIZE, 10000, 1, 1};
    channel = shm_create(&config);
    ASSERT_NE(channel, nullptr) << shm_get_last_error();
  }
  void TearDown() override {
    shm_destroy(channel);
    unsetenv("QELVO_REPLAY");
    unsetenv("QELVO_REPLAY_RATE");
  }
  // An offline high-speed file of `n` packets.
  std::string offline_file(const char* name, uint64_t n) {
    std::string file = tmp.file(name);
    std::string err;
    EXPECT_EQ(backendtest::run_backend({"-s", "hs", "--offline", std::to_string(n), "-f", file}, 30000, &err), 0)
        << err;
    return file;
  }
  testenv::ShmIsolation iso;
  testenv::TempDir tmp;
  ShmHandle* channel = nullptr;
};

void expect_same_packets(const std::vector<FilePacket>& got, const std::vector<FilePacket>& want,
                         const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); i++) {
    ASSERT_EQ(got[i].bytes, want[i].bytes) << what << ": packet " << i;
    ASSERT_EQ(got[i].timestamp_ns, want[i].timestamp_ns) << what << ": packet " << i;
  }
}

class BackendReplay : public BackendChannel, public ::testing::WithParamInterface<const char*> {};

TEST_P(BackendReplay, ReplayAtMaxDeliversExactlyTheFilesPackets) {
  std::string source = testenv::shared_captures_dir() + "/" + GetParam();
  std::string err;
  std::vector<FilePacket> want = backendtest::read_capture(source, &err);
  ASSERT_TRUE(err.empty()) << err;
  ASSERT_FALSE(want.empty());
  setenv("QELVO_REPLAY", source.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  std::string mirror = tmp.file("cfile.qelvo");
  int pid = backendtest::spawn_backend({"-s", "hs", "-c", "-f", mirror}, "", tmp.file("err.txt"));
  ASSERT_GT(pid, 0);
  ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000);
  EXPECT_EQ(run.exit_code, 0) << backendtest::read_text(tmp.file("err.txt"));
  expect_same_packets(run.packets, want, "channel");
  expect_same_packets(backendtest::read_capture(mirror, &err), want, "mirror file");
  EXPECT_TRUE(err.empty()) << err;
}

INSTANTIATE_TEST_SUITE_P(Files, BackendReplay,
                         ::testing::Values("mouse.pcap", "split-enum.pcap", "hackrf-connect.pcap",
                                           "ls-keepalive-divided-transaction.pcapng"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string s;
                           for (const char* p = info.param; *p && *p != '.'; p++) s += isalnum(*p) ? *p : '_';
                           return s;
                         });

TEST_F(BackendChannel, ReplayFollowsTheTimeStampsUnlessAskedForMax) {
  // Four packets 200 ms apart.
  std::string file = tmp.file("paced.qelvo");
  char err[256];
  CaptureWriter* w = capture_writer_open(file.c_str(), CAPTURE_FORMAT_QELVO, err, sizeof err);
  ASSERT_NE(w, nullptr) << err;
  const uint8_t ack = 0xD2;
  for (int i = 0; i < 4; i++)
    ASSERT_EQ(capture_writer_write(w, &ack, 1, 5000000000ull + i * 200000000ull, err, sizeof err), 0) << err;
  ASSERT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
  setenv("QELVO_REPLAY", file.c_str(), 1);
  for (const char* rate : {"real", "max"}) {
    setenv("QELVO_REPLAY_RATE", rate, 1);
    uint64_t t0 = os_monotonic_ns();
    int pid = backendtest::spawn_backend({"-s", "fs", "-c"});
    ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000);
    uint64_t ms = (os_monotonic_ns() - t0) / 1000000;
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.packets.size(), 4u);
    if (rate[0] == 'r') {
      EXPECT_GE(ms, 590u) << "paced replay of 600 ms of capture";
    } else {
      EXPECT_LT(ms, 590u) << "max replay must not wait for the time stamps";
    }
  }
}

TEST_F(BackendChannel, FullRingMakesTheBackendWaitNotDrop) {
  // About 18 MB of records: more than the 10 MiB ring holds.
  const uint64_t n = 300000;
  std::string file = offline_file("big.pcap", n);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  int pid = backendtest::spawn_backend({"-s", "hs", "-c"}, "", tmp.file("err.txt"));
  ASSERT_GT(pid, 0);
  // Nobody reads for a while: the ring fills up and the backend must wait.
  ChannelRun run = backendtest::read_channel_until_exit(
      channel, pid, 60000, [](int) { os_sleep_ms(700); }, true);
  EXPECT_EQ(run.exit_code, 0) << backendtest::read_text(tmp.file("err.txt"));
  EXPECT_GT(run.ring_peak, SHM_RING_SIZE - 300000u) << "the ring never filled up";
  std::string err;
  expect_same_packets(run.packets, backendtest::read_capture(file, &err), "channel");
}

class BackendStopSignals : public BackendChannel, public ::testing::WithParamInterface<int> {};

TEST_P(BackendStopSignals, LiveSimulationStopsCleanlyAndTheFileHoldsWhatWasSent) {
  std::string live = tmp.file("live.pcap");
  int pid = backendtest::spawn_backend({"-s", "hs", "-c", "-f", live}, "", tmp.file("err.txt"));
  ASSERT_GT(pid, 0);
  int sig = GetParam();
  ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000, [sig](int p) {
    os_sleep_ms(500);
    backendtest::send_signal(p, sig);
  });
  EXPECT_EQ(run.exit_code, 0) << backendtest::read_text(tmp.file("err.txt"));
  EXPECT_GT(run.packets.size(), 1000u) << "half a second of a high-speed bus";
  std::string err;
  std::vector<FilePacket> file = backendtest::read_capture(live, &err);
  EXPECT_TRUE(err.empty()) << "the file must be complete: " << err;
  expect_same_packets(file, run.packets, "file against channel");
  if (!run.packets.empty()) {
    EXPECT_EQ(run.packets[0].bytes[0], 0xA5) << "the bus starts with a SOF";
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, BackendStopSignals, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

TEST_F(BackendChannel, StopWhileTheRingIsFullSaysWhatWasNotSent) {
  std::string file = offline_file("big.pcap", 300000);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  std::string mirror = tmp.file("mirror.pcapng");
  int pid = backendtest::spawn_backend({"-s", "hs", "-c", "-f", mirror}, "", tmp.file("err.txt"));
  ASSERT_GT(pid, 0);
  uint64_t t_signal = 0;
  ChannelRun run = backendtest::read_channel_until_exit(
      channel, pid, 20000,
      [&](int p) {
        os_sleep_ms(700);
        t_signal = os_monotonic_ns();
        backendtest::send_signal(p, SIGTERM);
        // Keep the ring full until the backend has gone.
        EXPECT_EQ(backendtest::wait_exit(p, 5000), 0);
      },
      true);
  // The process was reaped inside `act`, so its exit code was read there.
  (void)run.exit_code;
  EXPECT_LT((os_monotonic_ns() - t_signal) / 1000000, 3000u);
  std::string text = backendtest::read_text(tmp.file("err.txt"));
  EXPECT_NE(text.find("not sent"), std::string::npos) << text;
  std::string err;
  std::vector<FilePacket> mirrored = backendtest::read_capture(mirror, &err);
  EXPECT_TRUE(err.empty()) << err;
  expect_same_packets(mirrored, run.packets, "mirror file against channel");
  EXPECT_LT(run.packets.size(), 300000u);
}

TEST_F(BackendChannel, MissingReplayFileFailsWithAMessage) {
  setenv("QELVO_REPLAY", tmp.file("nothing-here.pcap").c_str(), 1);
  std::string err;
  EXPECT_EQ(backendtest::run_backend({"-s", "hs", "-c"}, 10000, &err), 1);
  EXPECT_NE(err.find("nothing-here.pcap"), std::string::npos) << err;
}

}  // namespace

namespace {

// A pcap file with three packets, the middle one longer than a capture record holds.
std::string pcap_with_oversized_packet(const testenv::TempDir& tmp) {
  std::string file = tmp.file("oversized.pcap");
  char err[256];
  CaptureWriter* w = capture_writer_open(file.c_str(), CAPTURE_FORMAT_PCAP_NS, err, sizeof err);
  EXPECT_NE(w, nullptr) << err;
  std::vector<uint8_t> big(5000, 0x55);
  big[0] = 0xC3;
  const uint8_t ack = 0xD2, nak = 0x5A;
  EXPECT_EQ(capture_writer_write(w, &ack, 1, 1000, err, sizeof err), 0) << err;
  EXPECT_EQ(capture_writer_write(w, big.data(), (uint32_t)big.size(), 2000, err, sizeof err), 0) << err;
  EXPECT_EQ(capture_writer_write(w, &nak, 1, 3000, err, sizeof err), 0) << err;
  EXPECT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
  return file;
}

}  // namespace

TEST_F(BackendChannel, PacketTooLongForARecordIsReportedNotSilentlyLost) {
  std::string file = pcap_with_oversized_packet(tmp);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  int pid = backendtest::spawn_backend({"-s", "hs", "-c"}, "", tmp.file("err.txt"));
  ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.packets.size(), 2u);
  EXPECT_EQ(run.packets[0].bytes[0], 0xD2);
  EXPECT_EQ(run.packets[1].bytes[0], 0x5A);
  std::string text = backendtest::read_text(tmp.file("err.txt"));
  EXPECT_NE(text.find("packet 2 has 5000 bytes"), std::string::npos) << text;
}

TEST_F(BackendChannel, DamagedReplayFileSendsWhatCameBeforeAndFails) {
  std::string file = tmp.file("damaged.pcap");
  char err[256];
  CaptureWriter* w = capture_writer_open(file.c_str(), CAPTURE_FORMAT_PCAP_US, err, sizeof err);
  ASSERT_NE(w, nullptr) << err;
  const uint8_t ack = 0xD2;
  for (int i = 0; i < 3; i++) ASSERT_EQ(capture_writer_write(w, &ack, 1, 1000 * (i + 1), err, sizeof err), 0);
  ASSERT_EQ(capture_writer_close(w, err, sizeof err), 0) << err;
  // Second record's captured length (24-byte file header, 17-byte records):
  // far beyond any packet.
  FILE* f = fopen(file.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  fseek(f, 24 + 17 + 8, SEEK_SET);
  const uint8_t huge[4] = {0xF0, 0xFF, 0xFF, 0x7F};
  fwrite(huge, 1, 4, f);
  fclose(f);
  setenv("QELVO_REPLAY", file.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  int pid = backendtest::spawn_backend({"-s", "hs", "-c"}, "", tmp.file("err.txt"));
  ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000);
  std::string text = backendtest::read_text(tmp.file("err.txt"));
  EXPECT_EQ(run.exit_code, 1) << text;
  EXPECT_EQ(run.packets.size(), 1u);
  EXPECT_NE(text.find("damaged.pcap"), std::string::npos) << text;
}

TEST_F(BackendChannel, ThePluginsPickyReaderGetsEveryRecordWhole) {
  // That reader gives up on a record that is not in the ring whole once its
  // head is: the backend must write whole records only.
  std::string source = testenv::shared_captures_dir() + "/split-enum.pcap";
  std::string err;
  std::vector<FilePacket> want = backendtest::read_capture(source, &err);
  ASSERT_TRUE(err.empty()) << err;
  setenv("QELVO_REPLAY", source.c_str(), 1);
  setenv("QELVO_REPLAY_RATE", "max", 1);
  int pid = backendtest::spawn_backend({"-s", "hs", "-c"});
  ASSERT_GT(pid, 0);
  auto reader = std::make_unique<RecordReader>();
  record_reader_init(reader.get());
  reader->printLengths = 0;
  std::vector<FilePacket> got;
  uint64_t deadline = os_monotonic_ns() + 10000000000ull;
  CaptureRecordOut out;
  while (got.size() < want.size() && os_monotonic_ns() < deadline)
    if (record_read_plugin(channel, reader.get(), &out))
      got.push_back({std::vector<uint8_t>(out.packet, out.packet + out.dataLength), out.timestamp});
  EXPECT_EQ(backendtest::wait_exit(pid, 10000), 0);
  EXPECT_EQ(reader->abandoned, 0u);
  expect_same_packets(got, want, "plugin reader");
}

TEST_F(BackendChannel, KilledOutrightTheFileIsStillAValidCapture) {
  std::string live = tmp.file("cfile.qelvo");
  int pid = backendtest::spawn_backend({"-s", "fs", "-c", "-f", live});
  ASSERT_GT(pid, 0);
  ChannelRun run = backendtest::read_channel_until_exit(channel, pid, 20000, [](int p) {
    os_sleep_ms(1600);
    backendtest::send_signal(p, SIGKILL);
  });
  EXPECT_EQ(run.exit_code, 128 + SIGKILL);
  std::string err;
  std::vector<FilePacket> file = backendtest::read_capture(live, &err);
  EXPECT_TRUE(err.empty()) << err;
  // The file is brought up to date every second: it holds at least the
  // first second, and nothing that was not sent.
  EXPECT_GT(file.size(), 0u);
  ASSERT_LE(file.size(), run.packets.size());
  for (size_t i = 0; i < file.size(); i++) ASSERT_EQ(file[i], run.packets[i]) << "packet " << i;
}
