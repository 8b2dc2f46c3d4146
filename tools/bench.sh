#!/usr/bin/env bash
# All of Tavik's performance figures in one run (not part of tools/test.sh):
#   1. media path throughput, allocations and copies (bench/depacketizer_bench)
#   2. added latency of the client over loopback (bench/latency_bench), once as
#      is and once under a real-time scheduling class when allowed
#   3. client CPU at 1, 4 and 16 1080p streams vs ffmpeg and GStreamer, and
#      memory per stream (bench/bench_rtsp_cpu.py, bench/multiclient_bench)
#   4. under Wine (skipped with --no-wine): the renderer's frame steps with 0,
#      1, 4 and 9 720p pictures (bench/bench_frame_wine.py) and Tavik.exe with
#      0, 1, 4 and 9 cameras: presents/s, CPU, click latency
#      (bench/bench_tavik_wine.py); new pictures on screen per second and CPU
#      with 1080p30 cameras: the bare GStreamer pipeline, mpv and ffplay beside
#      Tavik.exe with one camera, one that never answers and four
#      (bench/bench_pictures_wine.py, under the Wine lock /tmp/tavik-wine.lock:
#      do not run this script under that lock); sixteen cameras with sub
#      streams and the grid (bench/bench_substreams_wine.py, likewise under the
#      lock); glass-to-glass latency of a flashing camera
#      for the bare GStreamer pipeline, mpv, ffplay and Tavik.exe alone and
#      beside 8 busy 720p30 cameras (bench/glass_latency.py)
# then prints the summary table (bench/bench_summary.py) with the load average
# of the machine at each stage and the wall time. Outputs are kept in
# build/bench-results.
#
#   tools/bench.sh [--no-wine] [--quick]
#
# The full run measures for about 20 minutes on a loaded 2-core machine (1198 s
# at load 17-30; building comes on top when sources changed); --quick shortens
# every measuring window (about 10 minutes, noisier figures). The 1080p30
# pictures stage (bench/bench_pictures_wine.py) adds about 3 minutes (2 with
# --quick); its table gives the CPU the rest of the machine used meanwhile.
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
seconds=20; memory_seconds=60; wine_seconds=30; min_time=0.5; frames=20; frame_seconds=4; glass_seconds=20
pictures_seconds=20
if [ "$quick" = 1 ]; then
  seconds=8; memory_seconds=15; wine_seconds=10; min_time=0.1; frames=8; frame_seconds=2; glass_seconds=10
  pictures_seconds=8
fi
started=$(date +%s)

cmake --preset linux-release -DTAVIK_BENCH=ON >/dev/null
cmake --build --preset linux-release -j2 --target depacketizer_bench latency_bench multiclient_bench rtspdump
if [ "$wine" = 1 ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 --target Tavik winprobe_win frame_bench_win upload_bench_win
  # The Wine test bed copies this prefix (made once; TAVIK_WINEPREFIX may name a ready one).
  bash tools/wineprefix.sh "${TAVIK_WINEPREFIX:-build/wineprefix}"
fi
out=build/bench-results
rm -rf "$out"
mkdir -p "$out"
bin=build/linux-release
built=$(date +%s)

# The machine's load average (1, 5, 15 minutes) at the start and the end of a
# stage, for the summary: "stage start|end load1 load5 load15".
note_load() { echo "$1 $2 $(cut -d' ' -f1-3 /proc/loadavg)" >> "$out/load.txt"; }

note_load depacketizer start
echo "== $bin/depacketizer_bench --benchmark_min_time=$min_time"
"$bin/depacketizer_bench" --benchmark_min_time="$min_time" --benchmark_out="$out/depacketizer.json" \
  --benchmark_out_format=json | tee "$out/depacketizer.txt"
note_load depacketizer end

note_load latency start
echo "== $bin/latency_bench --seconds $seconds"
"$bin/latency_bench" --seconds "$seconds" | tee "$out/latency.txt"
note_load latency end
# The same under a real-time scheduling class (when allowed): the client's own
# latency without the waits for a core that a loaded machine adds. Its
# reference, the bare receive loop, runs under the same class.
if timeout 5 chrt -f 5 true 2>/dev/null; then
  note_load latency_rt start
  echo "== timeout 120 chrt -f 5 $bin/latency_bench --seconds $seconds"
  timeout 120 chrt -f 5 "$bin/latency_bench" --seconds "$seconds" \
    | sed 's/^RESULT /RESULT rt_/' | tee "$out/latency_rt.txt"
  note_load latency_rt end
else
  echo "== chrt -f 5 not permitted here: no real-time latency run"
fi

note_load cpu start
echo "== bench/bench_rtsp_cpu.py --counts 1,4,16 --seconds $seconds --memory-seconds $memory_seconds"
/usr/bin/python3 bench/bench_rtsp_cpu.py --counts 1,4,16 --seconds "$seconds" \
  --memory-seconds "$memory_seconds" | tee "$out/cpu.txt"
note_load cpu end

if [ "$wine" = 1 ]; then
  note_load frame start
  echo "== bench/bench_frame_wine.py --counts 0,1,4,9 --frames $frames --seconds $frame_seconds"
  /usr/bin/python3 bench/bench_frame_wine.py --counts 0,1,4,9 --frames "$frames" --seconds "$frame_seconds" \
    | tee "$out/frame.txt"
  note_load frame end
  note_load wine start
  echo "== bench/bench_tavik_wine.py --counts 0,1,4,9 --seconds $wine_seconds"
  /usr/bin/python3 bench/bench_tavik_wine.py --counts 0,1,4,9 --seconds "$wine_seconds" | tee "$out/wine.txt"
  note_load wine end
  # The reference viewers of the next two stages (mpv is only needed here).
  if ! command -v mpv >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mpv >/dev/null || true
  fi
  # Pictures on screen and CPU with 1080p30 cameras: the reference viewers and
  # Tavik.exe in the same run.
  note_load pictures start
  echo "== flock /tmp/tavik-wine.lock bench/bench_pictures_wine.py --seconds $pictures_seconds"
  flock /tmp/tavik-wine.lock /usr/bin/python3 bench/bench_pictures_wine.py --seconds "$pictures_seconds" \
    | tee "$out/pictures.txt"
  note_load pictures end
  # Sixteen cameras with sub streams (stage, thumbnails, a click) and the grid.
  note_load substreams start
  echo "== flock /tmp/tavik-wine.lock bench/bench_substreams_wine.py --seconds $pictures_seconds"
  flock /tmp/tavik-wine.lock /usr/bin/python3 bench/bench_substreams_wine.py --seconds "$pictures_seconds" \
    | tee "$out/substreams.txt"
  note_load substreams end
  # Glass to glass: a flashing camera, a screen probe, reference viewers and
  # Tavik.exe in the same run.
  note_load glass start
  echo "== bench/glass_latency.py --seconds $glass_seconds"
  /usr/bin/python3 bench/glass_latency.py --seconds "$glass_seconds" | tee "$out/glass.txt"
  note_load glass end
fi

echo "total $(( $(date +%s) - started )) measuring $(( $(date +%s) - built ))" > "$out/wall_seconds.txt"
echo
echo "== summary (build/bench-results)"
/usr/bin/python3 bench/bench_summary.py "$out"
