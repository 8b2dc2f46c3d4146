"""Kills Tavik.exe at random moments while it saves and checks that config.json
always survives whole.

    /usr/bin/python3 tests/bed/killsave.py [--runs N] [--count C] [--seed S]

One Xvfb and one Wine prefix (tests/bed/winbed.py's Bed) serve every run. The
cameras point at a closed port on 127.0.0.1, so nothing but the program's own
saves touches the folder. Each run starts Tavik.exe, posts C toggles of Mute
(each one rewrites config.json), kills the process at a random moment of that
burst (from the start of posting to the last save) and then reads the folder:

  - config.json exists and is byte for byte either the text before the burst
    or that text with Muted inverted (the only two states the burst can
    produce); anything else (missing, empty, truncated, defaults) is a failure;
  - it parses as a JSON object with every key the program writes;
  - at most one leftover file stays beside it, the program's temporary file,
    and it does not stop the next start from loading and saving.

After the runs one more start proves that the program still loads the file
and saves over whatever was left. Prints one line per run and a summary;
exits 1 when any run failed.
"""
import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import winbed  # noqa: E402

MAIN_CLASS = "Orbisfield.Tavik"
CMD_MUTE = 7
CMD_CAMERA_BASE = 2000
KEYS = ["Cameras", "SelectedCamera", "ConsoleHost", "ConsoleUser", "ConsolePassEnc", "Muted",
        "AlwaysOnTop", "WindowMaximized", "WindowLeft", "WindowTop", "WindowWidth", "WindowHeight"]
MUTED_FALSE = b'"Muted": false,'
MUTED_TRUE = b'"Muted": true,'


def closed_port():
    """A 127.0.0.1 port that nothing listens on (bound, then released)."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def camera_names(n=4):
    return ["Cam %02d" % i for i in range(n)]


def start_config(port, n=4):
    return {"Cameras": [{"Name": name, "Url": "rtsp://127.0.0.1:%d/cam%d" % (port, i)}
                        for i, name in enumerate(camera_names(n))],
            "SelectedCamera": "Cam 00", "Muted": False}


def config_bytes(bed):
    try:
        with open(bed.config_path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def leftovers(bed):
    """Names in the program's folder other than config.json."""
    folder = os.path.dirname(bed.config_path)
    return sorted(n for n in os.listdir(folder) if n != "config.json")


def flip_muted(text):
    if MUTED_FALSE in text:
        return text.replace(MUTED_FALSE, MUTED_TRUE)
    return text.replace(MUTED_TRUE, MUTED_FALSE)


def start_and_wait(bed, timeout=90):
    bed.start_tavik()
    return bed.wait_window(cls=MAIN_CLASS, title="Tavik", timeout=timeout)


def prepare(bed, port, n=4):
    """Writes a hand-made config, lets the program load and rewrite it (close
    saves), and returns the program's own text of it."""
    bed.write_config(start_config(port, n))
    start_and_wait(bed)
    code = bed.close_tavik(timeout=60)
    if code != 0:
        raise AssertionError("Tavik exit code %r on the first close" % (code,))
    text = config_bytes(bed)
    if text is None or MUTED_FALSE not in text:
        raise AssertionError("config.json not in the program's form: %r" % (text,))
    return text


def check_text(text, before, names):
    """None when text is one of the two states a Mute burst can leave, else why not."""
    if text is None:
        return "config.json missing"
    if not text:
        return "config.json empty"
    try:
        cfg = winbed.parse_config(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        return "config.json does not parse (%s): %r" % (e, text[-80:])
    if not isinstance(cfg, dict):
        return "config.json root is not an object"
    missing = [k for k in KEYS if k not in cfg]
    if missing:
        return "keys missing: %s" % missing
    if [c.get("Name") for c in cfg["Cameras"]] != names:
        return "camera list changed: %r" % [c.get("Name") for c in cfg["Cameras"]]
    if text != before and text != flip_muted(before):
        return "content is neither the old text nor the old text with Muted inverted"
    return None


def post_async(bed, main, command_id, count):
    """Starts winprobe posting `count` WM_COMMANDs and returns at once; the program
    works through them while they are still being posted."""
    exe = os.path.join(bed.build, "winprobe_win.exe")
    return subprocess.Popen(["timeout", "90", "wine", exe, "command", main.hwnd, str(command_id),
                             str(count)], env=bed.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def end_post(proc):
    try:
        proc.wait(120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def calibrate(bed, count):
    """Seconds from the start of posting `count` Mute toggles until the last of
    their saves (the file's time once it stays unchanged for a second)."""
    start_and_wait(bed)
    main = bed.find_window(cls=MAIN_CLASS)
    t0 = time.time()
    end_post(post_async(bed, main, CMD_MUTE, count))
    last = [os.stat(bed.config_path).st_mtime, time.monotonic()]

    def quiet():
        m = os.stat(bed.config_path).st_mtime
        if m != last[0]:
            last[:] = [m, time.monotonic()]
        return time.monotonic() - last[1] > 1.0
    winbed.wait_until(quiet, 120, interval=0.02, what="the burst of saves to end")
    code = bed.close_tavik(timeout=60)
    if code != 0:
        raise AssertionError("Tavik exit code %r after calibration" % (code,))
    return max(0.05, last[0] - t0)


def one_run(bed, rng, count, span, names):
    """One start, burst and kill. Returns a record of what was seen."""
    before = config_bytes(bed)
    started = time.time()
    main = start_and_wait(bed)
    t0 = time.monotonic()
    poster = post_async(bed, main, CMD_MUTE, count)
    delay = rng.uniform(0.0, span)
    time.sleep(max(0.0, t0 + delay - time.monotonic()))
    bed.kill_tavik()
    end_post(poster)
    after = config_bytes(bed)
    left = leftovers(bed)
    problem = check_text(after, before, names)
    if problem is None and len(left) > 1:
        problem = "%d leftover files: %s" % (len(left), left)
    folder = os.path.dirname(bed.config_path)
    # A leftover written during this run: the kill cut a save short.
    cut = any(os.stat(os.path.join(folder, n)).st_mtime >= started for n in left)
    return {"delay": delay, "before": before, "after": after, "left": left, "problem": problem,
            "state": "old" if after == before else "new", "cut": cut}


def final_start(bed, names):
    """After all kills: the program still starts on the file, saves over any
    leftover and closes; returns None or a problem."""
    before = config_bytes(bed)
    main = start_and_wait(bed)
    bed.command(main, CMD_MUTE)
    try:
        winbed.wait_until(lambda: config_bytes(bed) == flip_muted(before), 60,
                          what="one Mute toggle saved")
    except AssertionError as e:
        bed.kill_tavik()
        return str(e)
    code = bed.close_tavik(timeout=60)
    if code != 0:
        return "exit code %r" % (code,)
    problem = check_text(config_bytes(bed), before, names)
    if problem:
        return problem
    if leftovers(bed):
        return "leftover files after a clean save: %s" % leftovers(bed)
    return None


def kill_runs(bed, runs, count=400, seed=1, out=print, names=None):
    """Runs the whole experiment in a started bed; returns the summary dict."""
    rng = random.Random(seed)
    names = names or camera_names()
    port = closed_port()
    prepare(bed, port, len(names))
    span = calibrate(bed, count)
    out("seed %d; calibration: posting %d Mute toggles and their saves took %.3f s"
        % (seed, count, span))
    records = []
    for i in range(runs):
        r = one_run(bed, rng, count, span, names)
        records.append(r)
        out("run %3d: kill at %.3f s -> %s content%s%s%s" % (
            i + 1, r["delay"], r["state"],
            (", left: %s" % ",".join(r["left"])) if r["left"] else "",
            " (cut short in this run)" if r["cut"] else "",
            (", FAIL: %s" % r["problem"]) if r["problem"] else ""))
    final = final_start(bed, names)
    out("final start: %s" % ("ok" if final is None else "FAIL: " + final))
    delays = [r["delay"] for r in records]
    summary = {
        "runs": runs,
        "old": sum(1 for r in records if r["state"] == "old" and not r["problem"]),
        "new": sum(1 for r in records if r["state"] == "new" and not r["problem"]),
        "failures": sum(1 for r in records if r["problem"]) + (1 if final else 0),
        "mid_save": sum(1 for r in records if r["cut"]),
        "span": span,
        "delay_min": min(delays) if delays else 0.0,
        "delay_median": statistics.median(delays) if delays else 0.0,
        "delay_max": max(delays) if delays else 0.0,
        "final": final,
    }
    out("summary: runs %(runs)d, old content %(old)d, new content %(new)d, failures %(failures)d, "
        "kills that cut a save short %(mid_save)d; kill delay after the start of posting "
        "min %(delay_min).3f median %(delay_median).3f max %(delay_max).3f s "
        "(burst %(span).3f s)" % summary)
    return summary


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--count", type=int, default=400, help="Mute toggles posted per run")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    t0 = time.monotonic()
    with winbed.Bed() as bed:
        summary = kill_runs(bed, args.runs, args.count, args.seed,
                            out=lambda line: print(line, flush=True))
    print("time %.1f s" % (time.monotonic() - t0))
    sys.exit(1 if summary["failures"] else 0)


if __name__ == "__main__":
    main()
