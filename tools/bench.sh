#!/usr/bin/env bash
# All of Tavik's performance figures in one run (about 15 minutes; not part of
# tools/test.sh):
#   1. media path throughput, allocations and copies (bench/depacketizer_bench)
#   2. client CPU at 1, 4 and 16 1080p streams vs ffmpeg and GStreamer, and
#      memory per stream (tools/bench_rtsp_cpu.py, bench/multiclient_bench)
#   3. added latency of the client over loopback (bench/latency_bench)
#   4. Tavik.exe under Wine: presents/s, CPU, decoding share, click latency
#      (tools/bench_tavik_wine.py; skipped with --no-wine)
# then prints the summary table (tools/bench_summary.py). Outputs are kept in
# build/bench-results.
#
#   tools/bench.sh [--no-wine] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

wine=1
quick=0
for arg in "$@"; do
  case "$arg" in
    --no-wine) wine=0 ;;
    --quick) quick=1 ;;
    *) echo "usage: tools/bench.sh [--no-wine] [--quick]" >&2; exit 2 ;;
  esac
done
seconds=20; memory_seconds=60; wine_seconds=30; min_time=0.5
if [ "$quick" = 1 ]; then seconds=8; memory_seconds=15; wine_seconds=10; min_time=0.1; fi

cmake --preset linux-release -DTAVIK_BENCH=ON >/dev/null
cmake --build --preset linux-release -j2 --target depacketizer_bench latency_bench multiclient_bench rtspdump
out=build/bench-results
rm -rf "$out"
mkdir -p "$out"
bin=build/linux-release

echo "== $bin/depacketizer_bench --benchmark_min_time=$min_time"
"$bin/depacketizer_bench" --benchmark_min_time="$min_time" --benchmark_out="$out/depacketizer.json" \
  --benchmark_out_format=json | tee "$out/depacketizer.txt"

echo "== $bin/latency_bench --seconds $seconds"
"$bin/latency_bench" --seconds "$seconds" | tee "$out/latency.txt"
# The same under a real-time scheduling class (when allowed): the client's own
# latency without the waits for a core that a loaded machine adds.
if timeout 5 chrt -f 5 true 2>/dev/null; then
  echo "== timeout 120 chrt -f 5 $bin/latency_bench --seconds $seconds"
  timeout 120 chrt -f 5 "$bin/latency_bench" --seconds "$seconds" \
    | sed 's/^RESULT /RESULT rt_/' | tee "$out/latency_rt.txt"
fi

echo "== tools/bench_rtsp_cpu.py --counts 1,4,16 --seconds $seconds --memory-seconds $memory_seconds"
/usr/bin/python3 tools/bench_rtsp_cpu.py --counts 1,4,16 --seconds "$seconds" \
  --memory-seconds "$memory_seconds" | tee "$out/cpu.txt"

if [ "$wine" = 1 ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 --target Tavik winprobe_win
  bash tools/wineprefix.sh build/wineprefix
  echo "== tools/bench_tavik_wine.py --counts 1,4,9 --seconds $wine_seconds"
  /usr/bin/python3 tools/bench_tavik_wine.py --counts 1,4,9 --seconds "$wine_seconds" | tee "$out/wine.txt"
fi

echo
echo "== summary (build/bench-results)"
/usr/bin/python3 tools/bench_summary.py "$out"
