#!/usr/bin/python3
"""The summary table of tools/bench.sh from the outputs it saved in DIR:

    depacketizer.json  (Google Benchmark JSON of depacketizer_bench)
    latency.txt, latency_rt.txt, cpu.txt, frame.txt, wine.txt, glass.txt, pictures.txt,
    substreams.txt
                       (RESULT name value lines)
    load.txt  ("stage start|end load1 load5 load15" lines), wall_seconds.txt

    /usr/bin/python3 bench/bench_summary.py DIR

Columns: figure, Tavik, reference, ratio (Tavik / reference), goal, met, and
the machine's 1-minute load average at the start and end of the stage that
measured the figure. A figure whose run is missing is printed as "-" and not
judged; nor is a figure whose goal is in parentheses.
"""
import json
import os
import sys


def results(path):
    values = {}
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[0] == "RESULT":
                    values[parts[1]] = float(parts[2])
    except OSError:
        pass
    return values


def loads(path):
    """{stage: "start-end"} of 1-minute load averages."""
    marks = {}
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 3:
                    marks.setdefault(parts[0], {})[parts[1]] = parts[2]
    except OSError:
        pass
    return {stage: "%s-%s" % (m.get("start", "?"), m.get("end", "?")) for stage, m in marks.items()}


def benchmarks(path):
    by_name = {}
    try:
        with open(path) as f:
            for b in json.load(f).get("benchmarks", []):
                by_name[b["name"]] = b
    except (OSError, ValueError):
        pass
    return by_name


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "build/bench-results"
    bench = benchmarks(os.path.join(out, "depacketizer.json"))
    lat = results(os.path.join(out, "latency.txt"))
    lat.update(results(os.path.join(out, "latency_rt.txt")))
    cpu = results(os.path.join(out, "cpu.txt"))
    frame = results(os.path.join(out, "frame.txt"))
    wine = results(os.path.join(out, "wine.txt"))
    glass = results(os.path.join(out, "glass.txt"))
    pictures = results(os.path.join(out, "pictures.txt"))
    substreams = results(os.path.join(out, "substreams.txt"))
    load = loads(os.path.join(out, "load.txt"))
    rows = []
    stage = [""]

    def row(figure, tavik, reference, goal, test, fmt="%.3g"):
        ratio = tavik / reference if tavik is not None and reference else None
        if tavik is None or goal.startswith("("):
            met = "-"  # no run, or a figure reported without a goal
        else:
            met = "yes" if test(tavik, ratio) else "NO"
        rows.append((figure, "-" if tavik is None else fmt % tavik,
                     "-" if reference is None else fmt % reference,
                     "-" if ratio is None else "%.2f" % ratio, goal, met, load.get(stage[0], "-")))

    def text_row(figure, text, goal="(report)"):
        rows.append((figure + " " + text, "-", "-", "-", goal, "-", load.get(stage[0], "-")))

    def gbps(name):
        b = bench.get(name)
        return b["bytes_per_second"] / 1e9 if b else None

    stage[0] = "depacketizer"
    memcpy = gbps("BM_Memcpy/3")
    row("depacketizer GB/s (synthetic 1080p 60 s)", gbps("BM_Depacketize/3"), memcpy,
        ">= 0.3 x memcpy", lambda v, r: r is not None and r >= 0.3)
    row("reader + depacketizer GB/s (same)", gbps("BM_ReaderAndDepacketize/3"), memcpy,
        ">= 0.3 x memcpy", lambda v, r: r is not None and r >= 0.3)
    for i, name in enumerate(("golden_h264", "golden_h265", "golden_h264_aac")):
        row("depacketizer GB/s (%s)" % name, gbps("BM_Depacketize/%d" % i), gbps("BM_Memcpy/%d" % i),
            ">= 0.3 x memcpy", lambda v, r: r is not None and r >= 0.3)
    d = bench.get("BM_Depacketize/3", {})
    row("allocations per access unit", d.get("allocs_per_unit"), None, "<= 1", lambda v, r: v <= 1.001)
    row("bytes copied per payload byte", d.get("copies_per_byte"), None,
        "<= 3 (recv, append, emit)", lambda v, r: 0 <= v <= 3.05)

    stage[0] = "cpu"
    for n in (1, 4, 16):
        t, f = cpu.get("cpu_rtspdump_%d" % n), cpu.get("cpu_ffmpeg_%d" % n)
        row("client CPU s/stream-min, %d x 1080p (ffmpeg)" % n, t, f, "<= 0.25 x ffmpeg",
            lambda v, r: r is not None and r <= 0.25)
        row("client CPU s/stream-min, %d x 1080p (GStreamer)" % n, t, cpu.get("cpu_gst_%d" % n),
            "(reference)", lambda v, r: True)
    row("one process, 16 sessions: CPU s/stream-min", cpu.get("multiclient_cpu_16"), cpu.get("cpu_ffmpeg_16"),
        "<= 0.25 x ffmpeg", lambda v, r: r is not None and r <= 0.25)
    # Latency: judged from the run under a real-time class when there is one
    # (the client's own latency, without a loaded machine's waits for a core);
    # the plain run is printed beside it. Both with their reference, a bare
    # receive loop on the same bytes under the same class in the same run.
    rt = "rt_latency_p99_us" in lat
    stage[0] = "latency_rt"
    row("added latency p99 us, real-time class (chrt -f 5)", lat.get("rt_latency_p99_us"),
        lat.get("rt_wakeup_p99_us"), "< 1000 us", lambda v, r: v < 1000, fmt="%.0f")
    row("added latency p50 us, real-time class (chrt -f 5)", lat.get("rt_latency_p50_us"),
        lat.get("rt_wakeup_p50_us"), "(report)", lambda v, r: True, fmt="%.0f")
    stage[0] = "latency"
    row("added latency p99 us, normal class (loopback, 1080p)", lat.get("latency_p99_us"), lat.get("wakeup_p99_us"),
        "(report; judged above)" if rt else "< 1000 us", lambda v, r: v < 1000, fmt="%.0f")
    row("added latency p50 us, normal class", lat.get("latency_p50_us"), lat.get("wakeup_p50_us"), "(report)",
        lambda v, r: True, fmt="%.0f")
    stage[0] = "cpu"
    rss = cpu.get("rss_per_stream_kb")
    row("memory per added stream KiB (one process)", rss, cpu.get("rss_ffmpeg_1"), "< 4096 KiB",
        lambda v, r: v < 4096, fmt="%.0f")
    stage[0] = "frame"
    budget = 1000.0 / 60
    keys = ("upload", "convert", "tiles", "overlays", "fixed", "present")

    def steps_text(kind, name):
        values = [frame.get("frame_%s_%s_%s" % (k, kind, name)) for k in keys]
        return "/".join("-" if v is None else "%.1f" % v for v in values)

    for n in [str(c) for c in (0, 1, 4, 9)] + ["0_small"]:
        what = ("%s x 720p new" % n) if n != "0_small" else "no camera, Tavik.exe's default window"
        total = frame.get("frame_total_ms_%s" % n)
        # Judged by CPU (every thread of the process): on a machine whose
        # load average is far above its 2 cores, wall times mostly measure
        # the waits for a core.
        row("frame CPU ms, all threads: upload + DrawFrame, %s (Wine)" % what,
            frame.get("frame_total_cpu_ms_%s" % n), budget, "<= 16.7 (60/s on a core)", lambda v, r: v <= budget,
            fmt="%.1f")
        row("frame wall ms, same (waits for a core included)", total, budget, "(report)", lambda v, r: True,
            fmt="%.1f")
        if total is not None:
            text_row("  wall ms upload/convert/tiles/overlays/fixed/present", steps_text("ms", n))
            text_row("  CPU ms  upload/convert/tiles/overlays/fixed/present", steps_text("cpu_ms", n))
        row("  frames/s back to back, new pictures every 2nd", frame.get("frame_loop_fps_%s" % n), 60.0, "(report)",
            lambda v, r: True, fmt="%.1f")
    for n in (1, 4, 9, 16):
        row("render tick allocations, %d slots: access-unit step" % n, frame.get("alloc_unit_step_%d" % n), None,
            "0 (steady state)", lambda v, r: v < 0.1, fmt="%.2f")
    row("render tick allocations, 9 slots: DrawFrame (scene copy)", frame.get("alloc_draw_frame_9"), None,
        "(report)", lambda v, r: True, fmt="%.2f")
    stage[0] = "wine"
    row("Tavik.exe CPU ms per present, no camera (Wine)", wine.get("wine_cpu_ms_per_present"), 1000.0 / 60,
        "(report)", lambda v, r: True, fmt="%.1f")
    for n in (0, 1, 4, 9):
        row("Tavik.exe presents/s, %d x 720p30 (Wine)" % n, wine.get("wine_presents_%d" % n), 60.0,
            ">= 57 (60/s cadence)", lambda v, r: v >= 57, fmt="%.1f")
        row("Tavik.exe CPU cores, %d cameras (Wine)" % n, wine.get("wine_cpu_%d" % n), None, "(report)",
            lambda v, r: True, fmt="%.2f")
        row("  cameras' share (mostly decoding)", wine.get("wine_decode_share_%d" % n), None, "(report)",
            lambda v, r: True, fmt="%.2f")
    for n in (4, 9):
        row("click thumbnail -> saved ms, %d cameras (Wine)" % n, wine.get("wine_ui_latency_ms_%d" % n), None,
            "(report)", lambda v, r: True, fmt="%.0f")

    stage[0] = "glass"
    bare = glass.get("glass_gst_median_ms")
    for name, what in (("gst", "bare GStreamer pipeline"), ("mpv", "mpv low-latency"),
                       ("ffplay", "ffplay nobuffer")):
        row("glass-to-glass ms median, %s" % what, glass.get("glass_%s_median_ms" % name), bare,
            "(reference)", lambda v, r: True, fmt="%.0f")
    for name, what, limit in (("tavik", "Tavik.exe, the flashing camera alone", 1.25),
                              ("tavik_busy", "Tavik.exe, selected beside 8 x 720p30", 2.0)):
        median = glass.get("glass_%s_median_ms" % name)
        if median is None and glass.get("glass_%s_flashes" % name):
            median = float("inf")  # no flash shown at all
        row("glass-to-glass ms median, %s (Wine)" % what, median, bare, "<= %.2f x bare" % limit,
            lambda v, r, limit=limit: r is not None and r <= limit, fmt="%.0f")
        row("  p90 ms", glass.get("glass_%s_p90_ms" % name), glass.get("glass_gst_p90_ms"), "(report)",
            lambda v, r: True, fmt="%.0f")
        shown, flashes = glass.get("glass_%s_shown" % name), glass.get("glass_%s_flashes" % name)
        row("  flashes shown of %s" % ("-" if flashes is None else "%d" % flashes), shown, flashes,
            "every flash", lambda v, r: r is not None and r >= 1.0, fmt="%.0f")
        row("  presents/s", glass.get("glass_%s_presents_per_s" % name), 60.0,
            ">= 30" if name == "tavik_busy" else "(report)", lambda v, r: v >= 30, fmt="%.1f")
        if name == "tavik_busy":
            # The busy cameras send a keyframe every second.
            row("  thumbnails on screen: longest without a new picture, ms (of %s)"
                % ("-" if glass.get("glass_tavik_busy_thumbnails") is None
                   else "%.0f" % glass["glass_tavik_busy_thumbnails"]),
                glass.get("glass_tavik_busy_thumbnail_gap_ms"), 2000.0,
                "<= keyframe interval + 1 s", lambda v, r: v <= 2000.0, fmt="%.0f")

    stage[0] = "pictures"
    # New pictures on screen per second and CPU with 1080p30 cameras
    # (bench/bench_pictures_wine.py); the reference is mpv in the same run.
    p = pictures.get
    for name, what in (("gst", "bare GStreamer pipeline"), ("mpv", "mpv low-latency"),
                       ("ffplay", "ffplay nobuffer")):
        row("pictures/s, one 1080p30 camera, %s" % what, p("p1080_%s_pictures" % name), 30.0, "(reference)",
            lambda v, r: True, fmt="%.1f")
        row("  CPU cores", p("p1080_%s_cpu" % name), None, "(reference)", lambda v, r: True, fmt="%.2f")
    row("pictures/s, one 1080p30 camera, Tavik.exe (Wine)", p("p1080_tavik_pictures"), p("p1080_mpv_pictures"),
        ">= 29", lambda v, r: v >= 29, fmt="%.1f")
    row("  CPU cores (reference: mpv)", p("p1080_tavik_cpu"), p("p1080_mpv_cpu"), "<= 2.5 x mpv",
        lambda v, r: r is not None and r <= 2.5, fmt="%.2f")
    row("  presents/s", p("p1080_tavik_presents"), None, "(report)", lambda v, r: True, fmt="%.1f")
    row("CPU cores, one camera that never answers (Wine)", p("p1080_idle_cpu"), None, "<= 0.05",
        lambda v, r: v <= 0.05, fmt="%.2f")
    row("  pictures/s", p("p1080_idle_pictures"), None, "(report)", lambda v, r: True, fmt="%.1f")
    row("  presents/s", p("p1080_idle_presents"), None, "(report)", lambda v, r: True, fmt="%.1f")
    row("pictures/s, stage, 4 x 1080p30 in 1920x1050 (Wine)", p("p1080_four_stage_pictures"),
        p("p1080_mpv_pictures"), ">= 29", lambda v, r: v >= 29, fmt="%.1f")
    for i in (1, 2, 3):
        row("  pictures/s, thumbnail %d" % i, p("p1080_four_thumb%d_pictures" % i), None, ">= 10",
            lambda v, r: v >= 10, fmt="%.1f")
    row("  CPU cores", p("p1080_four_cpu"), None, "(report)", lambda v, r: True, fmt="%.2f")
    row("  presents/s", p("p1080_four_presents"), None, "(report)", lambda v, r: True, fmt="%.1f")
    gaps = [v for k, v in pictures.items() if k.endswith("_longest_sample_gap_ms")]
    rest = [v for k, v in pictures.items() if k.endswith("_rest_cpu")]
    row("CPU cores of the rest of the machine meanwhile (busiest window)", max(rest) if rest else None, None,
        "(report; noisy above ~0.3)", lambda v, r: True, fmt="%.2f")
    row("longest gap between screen samples, ms (any viewer)", max(gaps) if gaps else None, 1000.0 / 30,
        "(report; over 33 may miss pictures)", lambda v, r: True, fmt="%.0f")

    stage[0] = "substreams"
    # Sixteen cameras with sub streams, and the grid (bench/bench_substreams_wine.py).
    q = substreams.get
    row("pictures/s, stage, 16 x (1080p30 + 360p30 sub) (Wine)", q("sub16_sub_stage_pictures"),
        q("sub16_main_stage_pictures"), ">= 25 (ref.: Url only)", lambda v, r: v >= 25, fmt="%.1f")
    row("  thumbnails on screen, fewest pictures/s", q("sub16_sub_min_thumb_pictures"),
        q("sub16_main_min_thumb_pictures"), ">= 10 (ref.: Url only)", lambda v, r: v >= 10, fmt="%.1f")
    row("  click to the main picture on the stage, longest, s", q("sub16_sub_click_to_main_max_s"), None,
        "<= 2.5", lambda v, r: v <= 2.5, fmt="%.2f")
    row("  CPU cores", q("sub16_sub_cpu"), q("sub16_main_cpu"), "(report)", lambda v, r: True, fmt="%.2f")
    row("grid of 16 (sub streams), fewest pictures/s of a tile", q("sub16_grid16_min_tile_pictures"), None,
        ">= 10", lambda v, r: v >= 10, fmt="%.1f")
    row("grid of 4 x 1080p30 (main only), fewest pictures/s of a tile", q("sub16_grid4_min_tile_pictures"),
        None, ">= 15", lambda v, r: v >= 15, fmt="%.1f")

    header = ("figure", "Tavik", "reference", "ratio", "goal", "met", "load")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(7)]
    for r in [header] + rows:
        print("  ".join(r[i].ljust(widths[i]) if i in (0, 4) else r[i].rjust(widths[i]) for i in range(7)))
    print("load: the machine's 1-minute load average at the start-end of the stage (2 cores)")
    try:
        with open(os.path.join(out, "wall_seconds.txt")) as f:
            wall = dict(zip(*[iter(f.read().split())] * 2))
        print("wall time: %s s in all, %s s measuring (the rest: builds)" % (wall.get("total", "?"),
                                                                            wall.get("measuring", "?")))
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
