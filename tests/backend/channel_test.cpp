// qelvo.exe on the channel (the replay of every real capture is checked by
// the capture worker's tests): the "-f" file holds exactly what was sent, a
// full ring makes it wait rather than drop, SIGTERM/SIGINT end it cleanly and
// SIGKILL leaves a valid file.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/acquisition/channel_fixture.h"
#include "tests/backend/backend_test_util.h"

using namespace backendtest;

namespace {

class BackendChannel : public OnChannel {
 protected:
  void TearDown() override {
    OnChannel::TearDown();
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
    int pid = spawn_backend(args, tmp.file("err.txt"));
    EXPECT_GT(pid, 0);
    return pid;
  }
  std::string err_text() { return read_file(tmp.file("err.txt")); }
  // Replays an offline high-speed file of 300,000 packets: about 18 MB of
  // records, more than the 10 MiB ring holds.
  std::string replay_big_file() {
    std::string file = tmp.file("big.pcap"), err;
    EXPECT_EQ(run_backend({"-s", "hs", "--offline", "300000", "-f", file}, 30000, &err), 0) << err;
    replay(file);
    return file;
  }
  testenv::TempDir tmp;
};

std::vector<FilePacket> stored(const std::string& file, CaptureTimeBase base = CAPTURE_TIME_AS_STORED) {
  capture_test::ReadResult r = capture_test::read_all(file, base);
  EXPECT_EQ(r.end, 0) << file << ": " << r.error;
  return r.packets;
}

TEST_F(BackendChannel, ReplayFollowsTheTimeStampsUnlessAskedForMax) {
  // Four packets 200 ms apart paced; four 10 s apart at max, where waiting
  // for them would far outlast any slow start of the program.
  for (const char* rate : {"real", "max"}) {
    uint64_t gap = rate[0] == 'r' ? 200000000ull : 10000000000ull;
    std::vector<FilePacket> paced;
    for (int i = 0; i < 4; i++) paced.push_back({{0xD2}, 5000000000ull + i * gap});
    ASSERT_EQ(capture_test::write_all(tmp.file("paced.qelvo"), CAPTURE_FORMAT_QELVO, paced), "");
    replay(tmp.file("paced.qelvo"), rate);
    uint64_t t0 = os_monotonic_ns();
    ChannelRun run = read_channel_until_exit(h, spawn({"-s", "fs", "-c"}), 20000);
    uint64_t ms = (os_monotonic_ns() - t0) / 1000000;
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.packets.size(), 4u);
    EXPECT_TRUE(rate[0] == 'r' ? ms >= 590 : ms < 10000) << ms << " ms at " << rate;
  }
}

TEST_F(BackendChannel, FullRingMakesTheBackendWaitNotDrop) {
  std::string file = replay_big_file();
  // Nobody reads until the ring is full and the backend waits for room.
  ChannelRun run = read_channel_until_exit(
      h, spawn({"-s", "hs", "-c"}), 60000,
      [&](int p, const std::atomic<size_t>&) {
        EXPECT_TRUE(wait_backend_waits_for_room(p, 30000));
        EXPECT_GT(shm_get_info(h, nullptr, nullptr), SHM_RING_SIZE - 300000u) << "the ring never filled up";
      },
      true);
  EXPECT_EQ(run.exit_code, 0) << err_text();
  // The stamps as a replay sends them: counted from the first packet.
  EXPECT_TRUE(run.packets == stored(file, CAPTURE_TIME_FROM_FIRST));
}

// SIGTERM and SIGINT end it cleanly with the file holding what was sent;
// killed outright, the file (brought up to date every second) still holds
// a valid capture of what was sent before.
TEST_F(BackendChannel, LiveSimulationStopsCleanlyOnSigtermOrSigintAndAKilledOneLeavesAValidFile) {
  for (int sig : {SIGTERM, SIGINT, SIGKILL}) {
    std::string live = tmp.file("live" + std::to_string(sig) + (sig == SIGKILL ? ".qelvo" : ".pcap"));
    auto stop = [&](int p, const std::atomic<size_t>& read) {
      EXPECT_TRUE(wait_until(
          [&] { return read >= 1000 && (sig != SIGKILL || !capture_test::read_all(live).packets.empty()); }, 15000));
      kill(p, sig);
    };
    ChannelRun run = read_channel_until_exit(h, spawn({"-s", "hs", "-c", "-f", live}), 20000, stop);
    std::vector<FilePacket> file = stored(live);
    EXPECT_EQ(run.exit_code, sig == SIGKILL ? 128 + SIGKILL : 0) << err_text();
    ASSERT_GE(run.packets.size(), 1000u);
    EXPECT_EQ(run.packets[0].bytes[0], 0xA5) << "the bus starts with a SOF";
    EXPECT_TRUE(sig == SIGKILL || err_text().find("not sent") == std::string::npos) << err_text();
    // Killed outright, the file holds what was sent up to its last update.
    if (sig == SIGKILL && !file.empty() && file.size() <= run.packets.size()) run.packets.resize(file.size());
    EXPECT_TRUE(file == run.packets) << "file against channel: " << file.size() << " of " << run.packets.size();
  }
}

TEST_F(BackendChannel, StopWhileTheRingIsFullSaysWhatWasNotSent) {
  replay_big_file();
  std::string mirror = tmp.file("mirror.pcapng");
  ChannelRun run = read_channel_until_exit(
      h, spawn({"-s", "hs", "-c", "-f", mirror}), 20000,
      [&](int p, const std::atomic<size_t>&) {
        // Signalled while it waits with a whole batch that cannot fit.
        EXPECT_TRUE(wait_backend_waits_for_room(p, 30000));
        kill(p, SIGTERM);
        // Keep the ring full until the backend has gone, within 3 s (reaped
        // here, so run.exit_code says nothing).
        EXPECT_EQ(wait_exit(p, 3000), 0);
      },
      true);
  EXPECT_NE(err_text().find("not sent"), std::string::npos) << err_text();
  EXPECT_TRUE(stored(mirror) == run.packets) << "mirror file against channel";
  EXPECT_LT(run.packets.size(), 300000u);
}

// A host that dies without stopping its backend (the backend runs in a
// process group of its own, so nothing else would end it) takes it along.
TEST_F(BackendChannel, EndsWhenTheProcessThatStartedItEnds) {
  pid_t host = fork();
  if (host == 0) {
    std::ofstream(tmp.file("pid.txt")) << spawn_backend({"-s", "hs", "-c"});
    _exit(0);
  }
  ASSERT_EQ(waitpid(host, nullptr, 0), host);
  int pid = atoi(read_file(tmp.file("pid.txt")).c_str());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(wait_until([pid] { return testenv::process_ended(pid); }, 10000)) << "the backend outlived its host";
  if (!testenv::process_ended(pid)) kill(pid, SIGKILL);
}

TEST_F(BackendChannel, MissingDamagedOrOversizedReplayFilesAreReported) {
  replay(tmp.file("nothing-here.pcap"));
  std::string err;
  EXPECT_EQ(run_backend({"-s", "hs", "-c"}, 10000, &err), 1);
  EXPECT_NE(err.find("nothing-here.pcap"), std::string::npos) << err;
  // A damaged file: what came before the damage is sent.
  std::string file = tmp.file("damaged.pcap");
  ASSERT_EQ(capture_test::write_all(file, CAPTURE_FORMAT_PCAP_US, {{{0xD2}, 1000}, {{0xD2}, 2000}, {{0xD2}, 3000}}), "");
  // Second record's captured length (24-byte file header, 17-byte records):
  // far beyond any packet.
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(24 + 17 + 8).write("\xF0\xFF\xFF\x7F", 4);
  replay(file);
  ChannelRun run = read_channel_until_exit(h, spawn({"-s", "hs", "-c"}), 20000);
  EXPECT_EQ(run.exit_code, 1) << err_text();
  EXPECT_EQ(run.packets.size(), 1u);
  EXPECT_NE(err_text().find("damaged.pcap"), std::string::npos) << err_text();

  // The largest packet a record holds passes; one byte more is reported, not silently lost.
  std::vector<uint8_t> largest(CAPTURE_PACKET_MAX, 0x55), big(5000, 0x55);
  file = tmp.file("oversized.pcap");
  std::vector<FilePacket> packets = {{{0xD2}, 1000}, {big, 2000}, {largest, 3000}, {{0x5A}, 4000}};
  ASSERT_EQ(capture_test::write_all(file, CAPTURE_FORMAT_PCAP_NS, packets), "");
  replay(file);
  run = read_channel_until_exit(h, spawn({"-s", "hs", "-c"}), 20000);
  EXPECT_EQ(run.exit_code, 0);
  packets.erase(packets.begin() + 1);
  for (FilePacket& p : packets) p.ts -= 1000;  // counted from the first packet
  EXPECT_TRUE(run.packets == packets);
  EXPECT_NE(err_text().find("packet 2 has 5000 bytes"), std::string::npos) << err_text();
}

}  // namespace
