// qelvo.exe on the channel: replays deliver exactly a file's packets, the
// "-f" file holds exactly what was sent, a full ring makes it wait rather
// than drop, and SIGTERM/SIGINT end it cleanly.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "acquisition/shm_channel.h"
#include "os/clock.h"
#include "tests/backend/backend_test_util.h"
#include "tests/support/test_env.h"

using namespace backendtest;

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
  // The backend will replay `file` at `rate`.
  void replay(const std::string& file, const char* rate = "max") {
    setenv("QELVO_REPLAY", file.c_str(), 1);
    setenv("QELVO_REPLAY_RATE", rate, 1);
  }
  // Starts the backend, its standard error going to err.txt.
  int spawn(const std::vector<std::string>& args) {
    int pid = spawn_backend(args, "", tmp.file("err.txt"));
    EXPECT_GT(pid, 0);
    return pid;
  }
  std::string err_text() { return read_text(tmp.file("err.txt")); }
  // An offline high-speed file of `n` packets.
  std::string offline_file(const char* name, uint64_t n) {
    std::string file = tmp.file(name), err;
    EXPECT_EQ(run_backend({"-s", "hs", "--offline", std::to_string(n), "-f", file}, 30000, &err), 0) << err;
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
  std::string source = testenv::shared_captures_dir() + "/" + GetParam(), mirror = tmp.file("cfile.qelvo"), err;
  // Sent with stamps counted from the first packet, as orvane-dump counts them.
  std::vector<FilePacket> want = read_capture(source, &err, CAPTURE_TIME_FROM_FIRST);
  ASSERT_TRUE(err.empty()) << err;
  ASSERT_FALSE(want.empty());
  replay(source);
  ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "hs", "-c", "-f", mirror}), 20000);
  EXPECT_EQ(run.exit_code, 0) << err_text();
  expect_same_packets(run.packets, want, "channel");
  expect_same_packets(read_capture(mirror, &err), want, "mirror file");
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
  std::vector<FilePacket> paced;
  for (int i = 0; i < 4; i++) paced.push_back({{0xD2}, 5000000000ull + i * 200000000ull});
  ASSERT_EQ(write_capture(tmp.file("paced.qelvo"), CAPTURE_FORMAT_QELVO, paced), "");
  for (const char* rate : {"real", "max"}) {
    replay(tmp.file("paced.qelvo"), rate);
    uint64_t t0 = os_monotonic_ns();
    ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "fs", "-c"}), 20000);
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
  std::string file = offline_file("big.pcap", 300000), err;
  replay(file);
  // Nobody reads until the ring is full and the backend waits for room.
  ChannelRun run = read_channel_until_exit(
      channel, spawn({"-s", "hs", "-c"}), 60000,
      [](int p, const std::atomic<size_t>&) { EXPECT_TRUE(wait_backend_waits_for_room(p, 30000)); }, true);
  EXPECT_EQ(run.exit_code, 0) << err_text();
  EXPECT_GT(run.ring_peak, SHM_RING_SIZE - 300000u) << "the ring never filled up";
  expect_same_packets(run.packets, read_capture(file, &err, CAPTURE_TIME_FROM_FIRST), "channel");
}

class BackendStopSignals : public BackendChannel, public ::testing::WithParamInterface<int> {};

TEST_P(BackendStopSignals, LiveSimulationStopsCleanlyAndTheFileHoldsWhatWasSent) {
  std::string live = tmp.file("live.pcap"), err;
  int sig = GetParam();
  ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "hs", "-c", "-f", live}), 20000,
                                           [sig](int p, const std::atomic<size_t>& read) {
                                             EXPECT_TRUE(wait_for([&] { return read >= 1000; }, 15000));
                                             kill(p, sig);
                                           });
  EXPECT_EQ(run.exit_code, 0) << err_text();
  EXPECT_GE(run.packets.size(), 1000u);
  std::vector<FilePacket> file = read_capture(live, &err);
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
  replay(offline_file("big.pcap", 300000));
  std::string mirror = tmp.file("mirror.pcapng"), err;
  uint64_t t_signal = 0;
  ChannelRun run = read_channel_until_exit(
      channel, spawn({"-s", "hs", "-c", "-f", mirror}), 20000,
      [&](int p, const std::atomic<size_t>&) {
        // Signalled while it waits with a whole batch that cannot fit.
        EXPECT_TRUE(wait_backend_waits_for_room(p, 30000));
        t_signal = os_monotonic_ns();
        kill(p, SIGTERM);
        // Keep the ring full until the backend has gone (reaped here, so
        // run.exit_code says nothing).
        EXPECT_EQ(wait_exit(p, 5000), 0);
      },
      true);
  EXPECT_LT((os_monotonic_ns() - t_signal) / 1000000, 3000u);
  EXPECT_NE(err_text().find("not sent"), std::string::npos) << err_text();
  std::vector<FilePacket> mirrored = read_capture(mirror, &err);
  EXPECT_TRUE(err.empty()) << err;
  expect_same_packets(mirrored, run.packets, "mirror file against channel");
  EXPECT_LT(run.packets.size(), 300000u);
}

// A host that dies without stopping its backend (the backend runs in a
// process group of its own, so nothing else would end it) takes it along.
TEST_F(BackendChannel, EndsWhenTheProcessThatStartedItEnds) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t host = fork();
  if (host == 0) {
    int pid = spawn_backend({"-s", "hs", "-c"});
    (void)!write(fds[1], &pid, sizeof pid);
    _exit(0);
  }
  close(fds[1]);
  int pid = -1;
  ASSERT_EQ(read(fds[0], &pid, sizeof pid), (ssize_t)sizeof pid);
  close(fds[0]);
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(host, &status, 0);
  auto ended = [pid] {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
  };
  EXPECT_TRUE(wait_for(ended, 10000)) << "the backend outlived its host";
  if (!ended()) kill(pid, SIGKILL);
}

TEST_F(BackendChannel, MissingOrDamagedReplayFileFailsWithAMessage) {
  replay(tmp.file("nothing-here.pcap"));
  std::string err;
  EXPECT_EQ(run_backend({"-s", "hs", "-c"}, 10000, &err), 1);
  EXPECT_NE(err.find("nothing-here.pcap"), std::string::npos) << err;
  // A damaged file: what came before the damage is sent.
  std::string file = tmp.file("damaged.pcap");
  ASSERT_EQ(write_capture(file, CAPTURE_FORMAT_PCAP_US, {{{0xD2}, 1000}, {{0xD2}, 2000}, {{0xD2}, 3000}}), "");
  // Second record's captured length (24-byte file header, 17-byte records):
  // far beyond any packet.
  FILE* f = fopen(file.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  fseek(f, 24 + 17 + 8, SEEK_SET);
  fwrite("\xF0\xFF\xFF\x7F", 1, 4, f);
  fclose(f);
  replay(file);
  ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "hs", "-c"}), 20000);
  EXPECT_EQ(run.exit_code, 1) << err_text();
  EXPECT_EQ(run.packets.size(), 1u);
  EXPECT_NE(err_text().find("damaged.pcap"), std::string::npos) << err_text();
}

TEST_F(BackendChannel, PacketTooLongForARecordIsReportedNotSilentlyLost) {
  std::vector<uint8_t> big(5000, 0x55);
  big[0] = 0xC3;
  std::string file = tmp.file("oversized.pcap");
  ASSERT_EQ(write_capture(file, CAPTURE_FORMAT_PCAP_NS, {{{0xD2}, 1000}, {big, 2000}, {{0x5A}, 3000}}), "");
  replay(file);
  ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "hs", "-c"}), 20000);
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_EQ(run.packets.size(), 2u);
  EXPECT_EQ(run.packets[0].bytes[0], 0xD2);
  EXPECT_EQ(run.packets[1].bytes[0], 0x5A);
  EXPECT_NE(err_text().find("packet 2 has 5000 bytes"), std::string::npos) << err_text();
}

TEST_F(BackendChannel, KilledOutrightTheFileIsStillAValidCapture) {
  std::string live = tmp.file("cfile.qelvo"), err;
  ChannelRun run = read_channel_until_exit(channel, spawn({"-s", "fs", "-c", "-f", live}), 20000,
                                           [&](int p, const std::atomic<size_t>&) {
                                             // Killed once the file on disk holds packets.
                                             std::string e;
                                             EXPECT_TRUE(wait_for([&] { return !read_capture(live, &e).empty(); }, 15000));
                                             kill(p, SIGKILL);
                                           });
  EXPECT_EQ(run.exit_code, 128 + SIGKILL);
  std::vector<FilePacket> file = read_capture(live, &err);
  EXPECT_TRUE(err.empty()) << err;
  // The file is brought up to date every second: what it held before the
  // kill is still there, and nothing that was not sent.
  EXPECT_GT(file.size(), 0u);
  ASSERT_LE(file.size(), run.packets.size());
  for (size_t i = 0; i < file.size(); i++) ASSERT_EQ(file[i], run.packets[i]) << "packet " << i;
}

}  // namespace
