"""A small runner for the end-to-end and GUI test scripts.

Each script registers cases with @case and calls run(); every case prints
PASS/FAIL and the script ends with the line "N passed, N failed", exiting 1
when anything failed. tools/test.sh adds up those lines.
"""
import os
import re
import signal
import socket
import subprocess
import sys
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def project_version():
    """The (major, minor, patch) of the project() line of CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"^project\(Tavik VERSION (\d+)\.(\d+)\.(\d+)\b", f.read(), re.M)
    assert m, "no project(Tavik VERSION x.y.z) in CMakeLists.txt"
    return tuple(int(v) for v in m.groups())
BUILD_NATIVE = os.environ.get("TAVIK_BUILD_NATIVE", os.path.join(ROOT, "build", "linux-asan"))
BUILD_WINDOWS = os.environ.get("TAVIK_BUILD_WINDOWS", os.path.join(ROOT, "build", "windows"))
WINEPREFIX = os.environ.get("TAVIK_WINEPREFIX", os.path.join(ROOT, "build", "wineprefix"))
PYTHON = "/usr/bin/python3"  # the interpreter that imports gi

_cases = []


def case(fn):
    _cases.append(fn)
    return fn


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def poll(predicate, timeout, interval=0.1):
    """True as soon as predicate holds, False when timeout seconds pass first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return bool(predicate())


def act_until(action, predicate, what, attempts, per_attempt):
    """Repeats an input action until the program's saved state shows its effect
    (input to a loaded Wine can be lost); returns the number of actions it took."""
    for attempt in range(1, attempts + 1):
        action()
        if poll(predicate, per_attempt):
            if attempt > 1:
                print("  %s: seen after %d attempts" % (what, attempt), flush=True)
            return attempt
    raise AssertionError("no effect seen: %s" % what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(args, **kw):
    """Starts a process in its own process group (so stop() ends its children too)."""
    return subprocess.Popen(args, start_new_session=True, **kw)


def stop(proc, grace=5.0):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


def run(setup=None, teardown=None):
    passed = failed = 0
    only = sys.argv[1:]
    try:
        if setup:
            setup()
        for fn in _cases:
            if only and fn.__name__ not in only:
                continue
            t0 = time.monotonic()
            try:
                fn()
                passed += 1
                print("PASS %s (%.1f s)" % (fn.__name__, time.monotonic() - t0), flush=True)
            except Exception:
                failed += 1
                print("FAIL %s (%.1f s)" % (fn.__name__, time.monotonic() - t0), flush=True)
                traceback.print_exc()
                sys.stdout.flush()
    except Exception:
        failed += 1
        print("FAIL setup", flush=True)
        traceback.print_exc()
    finally:
        if teardown:
            try:
                teardown()
            except Exception:
                traceback.print_exc()
    print("%d passed, %d failed" % (passed, failed), flush=True)
    sys.exit(1 if failed else 0)
