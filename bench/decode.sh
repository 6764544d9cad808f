#!/usr/bin/env bash
# Decoding benchmark: a high-speed capture of N packets (10,000,000 by
# default) written by the stand-in backend's offline mode (SOFs, NAKed polls,
# 512-byte bulk data both ways), replayed by `orvane-dump --quiet --stats`
# into all four row stores. Reports packets per second (wall clock and CPU),
# the processor time of the decoding thread and of the storing threads
# (storing the rows, writing their files), how the dump's wall clock splits
# into the replay and the deletion of its store files, the store
# bytes written per packet, the peak anonymous memory (RssAnon) of the dump,
# and the same capture read by `tshark -r FILE.pcap` in the same run for
# comparison. The machine's load average is printed first: other work on
# the machine shows in the wall-clock figures, much less in the CPU ones.
#
#   bench/decode.sh [PACKETS]
# The dump runs RUNS times (3 by default; single runs of the same work vary
# by a third on a shared virtual machine) and the run with the median wall
# clock gives the figures; tshark runs once.
# Environment: ORVANE_BIN (the built programs; set by ./bench.sh),
# BENCH_DIR (where the capture and the row stores go; default a new
# directory under $TMPDIR or /tmp, removed at the end), RUNS.
set -euo pipefail
packets=${1:-10000000}
runs=${RUNS:-3}
bin=${ORVANE_BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
own_dir=0
if [[ -z "${BENCH_DIR:-}" ]]; then
  BENCH_DIR=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench-decode-XXXXXX")
  own_dir=1
fi
cleanup() { [[ $own_dir == 1 ]] && rm -rf "$BENCH_DIR"; }
trap cleanup EXIT

qelvo="$BENCH_DIR/hs.qelvo"
pcap="$BENCH_DIR/hs.pcap"
echo "writing $packets high-speed packets (qelvo and pcap)..."
"$bin/qelvo.exe" --offline "$packets" -s hs -f "$qelvo"
"$bin/qelvo.exe" --offline "$packets" -s hs -f "$pcap"
ls -l "$qelvo" "$pcap" | awk '{print "  " $5 " bytes  " $9}'
# The captures just written are put on the disk now, so that the system's
# writing them back does not fall into the measurements.
sync

# Runs a command, samples its RssAnon every 50 ms, and prints
# "<wall s> <user s> <sys s> <peak RssAnon kB>" on the last line of $1.out.
measure() {
  local out=$1; shift
  /usr/bin/time -f "%e %U %S" -o "$out.time" "$@" >/dev/null 2>"$out.err" &
  local tpid=$! peak=0 child= key value rest
  # Sampled with shell builtins only: a program started every 50 ms took
  # enough of this 2-core machine to show in the figures it measures.
  while kill -0 "$tpid" 2>/dev/null; do
    [[ -z "$child" ]] && child=$(pgrep -P "$tpid" | head -n1 || true)
    if [[ -n "$child" ]]; then
      # (The process may be gone by now: the braces keep that quiet.)
      { while read -r key value rest; do
          [[ $key == RssAnon: ]] && { [[ $value -gt $peak ]] && peak=$value; break; }
        done < "/proc/$child/status"; } 2>/dev/null || true
    fi
    sleep 0.05
  done
  wait "$tpid" || true
  echo "$(tail -n1 "$out.time") $peak" > "$out"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "orvane-dump --quiet --stats, $runs runs (row stores in $BENCH_DIR)..."
field() { sed -n "s/.*\"$1\":\([0-9.]*\).*/\1/p" <<< "$stats"; }
for ((i = 1; i <= runs; i++)); do
  TMPDIR="$BENCH_DIR" measure "$BENCH_DIR/dump$i" "$bin/orvane-dump" --quiet --stats "$qelvo"
  read -r dwall duser dsys dpeak < "$BENCH_DIR/dump$i"
  stats=$(tail -n1 "$BENCH_DIR/dump$i.err")
  echo "  run $i: $dwall s wall (replay $(field seconds) s, deleting the stores $(field cleanup_seconds) s)"
done
# The figures below are those of the run with the median wall clock.
median=$(for ((i = 1; i <= runs; i++)); do echo "$(cut -d' ' -f1 "$BENCH_DIR/dump$i") $i"; done |
         sort -n | sed -n "$(( (runs + 1) / 2 ))p" | cut -d' ' -f2)
read -r dwall duser dsys dpeak < "$BENCH_DIR/dump$median"
stats=$(tail -n1 "$BENCH_DIR/dump$median.err")
echo "  stats of run $median (the median): $stats"
store_bytes=$(field store_bytes)
decoding_cpu=$(field decoding_cpu_seconds)
storing_cpu=$(field storing_cpu_seconds)
loop_wall=$(field seconds)
cleanup_wall=$(field cleanup_seconds)
echo "tshark -r hs.pcap > /dev/null..."
measure "$BENCH_DIR/tshark" tshark -r "$pcap"
read -r twall tuser tsys tpeak < "$BENCH_DIR/tshark"

awk -v n="$packets" -v dw="$dwall" -v du="$duser" -v ds="$dsys" -v dp="$dpeak" \
    -v tw="$twall" -v tu="$tuser" -v ts="$tsys" -v tp="$tpeak" \
    -v sb="${store_bytes:-0}" -v dcpu="${decoding_cpu:-0}" -v scpu="${storing_cpu:-0}" \
    -v lw="${loop_wall:-0}" -v cw="${cleanup_wall:-0}" 'BEGIN {
  dc = du + ds; tc = tu + ts;
  printf "orvane-dump: %.2f s wall, %.2f s CPU -> %.0f packets/s (wall), %.0f packets/s (CPU); peak RssAnon %.1f MB\n", dw, dc, n / dw, n / dc, dp / 1024;
  printf "tshark:      %.2f s wall, %.2f s CPU -> %.0f packets/s (wall), %.0f packets/s (CPU); peak RssAnon %.1f MB\n", tw, tc, n / tw, n / tc, tp / 1024;
  printf "orvane-dump wall: replay %.2f s (%.0f packets/s), deleting the store files %.2f s, the rest %.2f s\n", lw, (lw > 0 ? n / lw : 0), cw, dw - lw - cw;
  printf "ratio (orvane-dump speed / tshark speed): %.2f (wall), %.2f (CPU)\n", tw / dw, tc / dc;
  printf "orvane-dump threads: decoding %.2f s CPU (%.0f packets/s), storing and writing %.2f s CPU (%.0f packets/s)\n", dcpu, (dcpu > 0 ? n / dcpu : 0), scpu, (scpu > 0 ? n / scpu : 0);
  printf "store bytes written: %.0f per packet (%.2f GB in all)\n", sb / n, sb / 1e9;
}'
