// qelvo.exe, the stand-in capture backend: writes capture records of a
// simulated USB bus (or of a replayed capture file) into the capture channel
// until it is stopped, and optionally the same packets into a capture file.
//
// Exit status: 0 after a stop request (SIGTERM, SIGINT, or the end of the
// process that started it), at the end of a replay or of an offline run; 1
// when the channel, a file or the replay failed; 2 for a bad command line or
// environment.
#include <cstdio>
#include <cstdlib>

#include "backend/bus_simulator.h"
#include "backend/channel_sink.h"
#include "backend/file_sink.h"
#include "backend/options.h"
#include "backend/replay.h"
#include "backend/sim_runner.h"
#include "os/log.h"
#include "os/signals.h"

// How long the end of a replay waits for readers to empty the channel while
// they make no progress at all.
static const uint32_t kDrainIdleMs = 5000;

static int run_offline(const BackendOptions* o, CaptureWriter* writer) {
  BusSimulator* sim = bus_sim_create(o->speed, o->seed);
  if (!sim) {
    fprintf(stderr, "qelvo.exe: out of memory\n");
    return 1;
  }
  FileSink fs;
  fs.writer = writer;
  PacketSink sink = file_sink_as_packet_sink(&fs);
  uint64_t sent = 0;
  int rc = sim_run_count(sim, &sink, o->offline_count, os_stop_requested, &sent);
  bus_sim_destroy(sim);
  if (rc < 0) {
    fprintf(stderr, "qelvo.exe: %s\n", fs.error);
    return 1;
  }
  return 0;
}

static int run_channel(const BackendOptions* o, CaptureWriter* writer, const char* replay, ReplayRate rate) {
  char err[512];
  ChannelSink* channel = channel_sink_open(os_stop_requested, err, sizeof err);
  if (!channel) {
    fprintf(stderr, "qelvo.exe: %s\n", err);
    return 1;
  }
  channel_sink_set_mirror(channel, writer);
  PacketSink sink = channel_sink_as_packet_sink(channel);
  int status = 0;
  if (replay) {
    ReplayResult result;
    err[0] = 0;
    int rc = replay_run(replay, rate, &sink, os_stop_requested, &result, err, sizeof err);
    if (rc < 0) {
      fprintf(stderr, "qelvo.exe: %s\n", err);
      status = 1;
    } else if (rc == 0) {
      // Readers stop with the backend: let them take the last records first.
      channel_sink_drain(channel, kDrainIdleMs);
    }
  } else {
    BusSimulator* sim = bus_sim_create(o->speed, o->seed);
    if (!sim) {
      fprintf(stderr, "qelvo.exe: out of memory\n");
      status = 1;
    } else {
      if (sim_run_paced(sim, &sink, os_stop_requested, nullptr) < 0) status = 1;
      bus_sim_destroy(sim);
    }
  }
  // A stop may have come between two flushes: send what is queued if the
  // ring has room now, and say what could not be sent.
  if (channel_sink_pending(channel)) channel_sink_flush(channel);
  uint32_t unsent = channel_sink_pending(channel);
  if (unsent) fprintf(stderr, "qelvo.exe: stopped with %u packets not sent (the channel was full)\n", unsent);
  if (channel_sink_mirror_failed(channel)) status = 1;
  channel_sink_close(channel);
  return status;
}

int main(int argc, char** argv) {
  BackendOptions o;
  char err[512];
  if (backend_parse_options(argc, argv, &o, err, sizeof err) != 0) {
    fprintf(stderr, "qelvo.exe: %s\n%s", err, kBackendUsage);
    return 2;
  }
  if (o.help) {
    fputs(kBackendUsage, stdout);
    return 0;
  }
  const char* replay = getenv("QELVO_REPLAY");
  if (replay && !*replay) replay = nullptr;
  ReplayRate rate = REPLAY_RATE_REAL;
  const char* rate_text = getenv("QELVO_REPLAY_RATE");
  if (replay_parse_rate(rate_text, &rate) != 0) {
    fprintf(stderr, "qelvo.exe: QELVO_REPLAY_RATE must be \"real\" or \"max\", not \"%s\"\n", rate_text);
    return 2;
  }
  // A host that dies without stopping us (a crash, a kill) must not leave
  // us filling the channel and the "-f" file for ever.
  if (os_stop_signals_install() != 0 || os_stop_with_parent() != 0) {
    fprintf(stderr, "qelvo.exe: cannot install the stop signal handlers\n");
    return 1;
  }

  CaptureWriter* writer = nullptr;
  if (o.file) {
    writer = capture_writer_open(o.file, backend_file_format(o.file), err, sizeof err);
    if (!writer) {
      fprintf(stderr, "qelvo.exe: %s\n", err);
      return 1;
    }
  }
  // The offline mode is explicit on the command line, so it wins over a
  // replay chosen through the environment.
  int status = o.offline ? run_offline(&o, writer) : run_channel(&o, writer, replay, rate);
  if (writer && capture_writer_close(writer, err, sizeof err) != 0) {
    fprintf(stderr, "qelvo.exe: %s\n", err);
    status = 1;
  }
  return status;
}
