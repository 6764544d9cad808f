// orvane-dump: opens a capture file, replays it through the decoder as the
// analyzer's Open does (reset, then every packet through the decoding step,
// nothing recorded) into four row stores kept in a private temporary
// directory, and prints one view. The directory is removed at exit, also
// when a signal ends the program; a failed write of the output is an error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "acquisition/pipeline/capture_session.h"
#include "acquisition/script_host/lua_host.h"
#include "decode/data_parse.h"
#include "os/clock.h"
#include "os/log.h"
#include "store/capture/capture_file.h"
#include "store/store_files.h"
#include "tools/orvane-dump/dump_args.h"
#include "tools/orvane-dump/dump_output.h"
#include "views/row_print.h"
#include "views/row_tree.h"

namespace {

double now_seconds() {
  return (double)os_monotonic_ns() / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  DumpArgs args;
  char err[512];
  int parsed = dump_parse_args(argc, argv, &args, err, sizeof err);
  if (parsed == 1) return 0;
  if (parsed != 0) {
    fprintf(stderr, "orvane-dump: %s\n", err);
    dump_usage();
    return 2;
  }
  orvane_log_set_muted(args.log ? 0 : 1);

  CaptureReader* reader = capture_reader_open(args.file, err, sizeof err);
  if (!reader) {
    fprintf(stderr, "orvane-dump: %s\n", err);
    return 1;
  }

  char dir[1024];
  if (dump_private_dir_make(dir, sizeof dir) != 0) {
    capture_reader_close(reader);
    return 1;
  }
  store_set_data_dir(dir);
  DumpOutput out = {stdout, "standard output", 0, 0};
  DumpOutput errOut = {stderr, "standard error", 0, 0};

  int status = 0;
  CaptureSession* session = capture_session_open(0, err, sizeof err);
  uint64_t packets = 0, invalid = 0;
  char stats[512] = "";
  double seconds = 0;

  if (!session) {
    fprintf(stderr, "orvane-dump: %s\n", err);
    status = 1;
  } else {
    RowTrees& trees = session->trees;
    dataParse* decoder = session->decoder;
    CapturePipeline* pipeline = session->pipeline;
    // The filters apply to the package, transaction and data views, as in
    // the analyzer; descriptor tables are never filtered.
    row_tree_set_filter(trees.package, args.filter, nullptr, nullptr, nullptr);
    row_tree_set_filter(trees.transaction, args.filter, nullptr, nullptr, nullptr);
    row_tree_set_filter(trees.data, args.filter, nullptr, nullptr, nullptr);
    selectedAddress = args.address;
    selectedEndpoint = args.endpoint;
    lua_host_open();
    decoder->reset();

    // pcap and pcapng times count from the first packet unless asked otherwise.
    if (!args.absolute_time) capture_reader_set_time_base(reader, CAPTURE_TIME_FROM_FIRST);

    double start = now_seconds();
    CapturePacket pkt;
    for (;;) {
      int rc = capture_reader_next(reader, &pkt, err, sizeof err);
      if (rc == 0) break;
      if (rc < 0) {
        fprintf(stderr, "orvane-dump: %s\n", err);
        status = 1;
        break;
      }
      packets++;
      // Longer packets are refused by the decoder; the length is clamped
      // only so that it stays a valid signed count.
      int32_t len = pkt.length > 0x7FFFFFFFu ? 0x7FFFFFFF : (int32_t)pkt.length;
      pipeline_decode_packet(pipeline, pkt.bytes, len, pkt.timestamp_ns, 0);
      if (pipeline_failure(pipeline)) break;  // a full disk: the rows stored so far stay
    }
    // The file's last packets may still wait for an outcome.
    pipeline_finish(pipeline);
    seconds = now_seconds() - start;
    if (const char* why = pipeline_failure(pipeline)) {
      fprintf(stderr, "orvane-dump: %s\n", why);
      status = 1;
    }
    invalid = decoder->invalidPackets;
    lua_host_close();

    if (!args.quiet) {
      static char outbuf[1 << 16];
      setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);
      row_tree_print(capture_session_tree(session, args.view), args.view == VIEW_DESCRIPTORS,
                     args.json, stdout);
      fflush(stdout);
      dump_output_note(&out);
    }
    if (args.stats) {
      snprintf(stats, sizeof stats,
               "{\"packets\":%llu,\"invalid\":%llu,\"rows\":{\"packages\":%u,\"transactions\":%u,"
               "\"data\":%u,\"descriptors\":%u},\"seconds\":%.6f,\"packets_per_second\":%.0f,"
               "\"store_bytes\":%llu,\"decoding_cpu_seconds\":%.3f,\"storing_cpu_seconds\":%.3f",
               (unsigned long long)packets, (unsigned long long)invalid,
               row_tree_row_count(trees.package), row_tree_row_count(trees.transaction),
               row_tree_row_count(trees.data), row_tree_row_count(trees.descriptor), seconds,
               seconds > 0 ? (double)packets / seconds : 0.0,
               (unsigned long long)(row_tree_bytes(trees.package) +
                                    row_tree_bytes(trees.transaction) + row_tree_bytes(trees.data) +
                                    row_tree_bytes(trees.descriptor)),
               os_thread_cpu_ns() / 1e9, pipeline_storing_cpu_ns(pipeline) / 1e9);
    }
  }

  // Deleting gigabytes of store files takes a while of its own (the file
  // system frees and may discard every block): the statistics say how long.
  double cleanup = now_seconds();
  capture_session_close(session, 1);
  cleanup = now_seconds() - cleanup;
  if (stats[0]) {
    fprintf(stderr, "%s,\"cleanup_seconds\":%.3f}\n", stats, cleanup);
    dump_output_note(&errOut);
  }

  capture_reader_close(reader);
  dump_private_dir_remove();
  if (dump_output_finish(&out) != 0) status = 1;
  if (dump_output_finish(&errOut) != 0) status = 1;
  return status;
}
