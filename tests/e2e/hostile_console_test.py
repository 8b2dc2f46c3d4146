"""Discovery (the WinHTTP client in tavik_tests.exe under Wine) against a hostile
console (tests/bed/hostile_console.py): a 10 MB bootstrap, JSON nested 100000 deep,
every field of the wrong kind, a 20 MB sign-in answer, a 32 MiB bootstrap of 16
million tiny values, answers that come after the 12 s time-outs and answers that
trickle one byte every 2.5 s for ever. Each ends with its proper result or
message, never a crash; a trickle ends at the request's 36 s deadline as a
time-out; the tiny values are refused with bounded memory."""
import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import BUILD_WINDOWS, PYTHON, ROOT, WINEPREFIX, case, free_port, run, start, stop, wait_until  # noqa: E402,E501

TESTS_EXE = os.path.join(BUILD_WINDOWS, "tavik_tests.exe")
NO_LIST = "Bootstrap contained no camera list."
DEADLINE = 36.0  # seconds: no request lasts longer, however slowly the console answers
work = tempfile.mkdtemp(prefix="hostile-console-test-")


def peak_memory_mib(root_pid):
    """The peak resident memory (VmHWM) of the Windows program among root_pid's
    descendants, or 0 when it is not (or no longer) running."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, encoding="ascii", errors="replace") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    peak = 0
    todo = list(children.get(root_pid, []))
    while todo:
        pid = todo.pop()
        todo.extend(children.get(pid, []))
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"tavik_tests.exe" not in f.read():
                    continue
            with open("/proc/%d/status" % pid, encoding="ascii") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]) // 1024)
        except OSError:
            pass
    return peak


def outcome(mode, expect, platform_variant=None, seconds=None):
    """Runs discovery against the mode; the outcome must be `expect`, or
    `platform_variant` when that differs from it only by the platform's error code
    (the same time-out is 12002 from WinHTTP on Windows, 10060 from Wine's).
    `seconds` (low, high) bounds how long the discovery took, as gtest timed it;
    the program must then end promptly too. Returns the program's peak resident
    memory in MiB, as last seen while it ran."""
    port = free_port()
    ready = os.path.join(work, "ready-%s" % mode)
    proc = start([PYTHON, os.path.join(ROOT, "tests", "bed", "hostile_console.py"), "--mode", mode, "--port", str(port),
                  "--ready-file", ready], stdout=subprocess.DEVNULL)
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               TAVIK_CONSOLE_PORT=str(port), TAVIK_CONSOLE_EXPECT=expect)
    try:
        wait_until(lambda: os.path.exists(ready) or proc.poll() is not None, 30, what="console start")
        assert proc.poll() is None, "hostile_console.py exited with %s" % proc.returncode
        started = time.monotonic()
        log_path = os.path.join(work, "out-%s" % mode)
        with open(log_path, "w+", encoding="utf-8", errors="replace") as log:
            program = subprocess.Popen(["timeout", "300", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "wine",
                                        TESTS_EXE, "--gtest_filter=DiscoveryLive.ScenarioOutcome"], env=env,
                                       stdout=log, stderr=subprocess.STDOUT)
            peak = 0
            while program.poll() is None:
                peak = max(peak, peak_memory_mib(program.pid))
                time.sleep(0.1)
            log.seek(0)
            out = log.read()
        wall = time.monotonic() - started
    finally:
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=env)
        stop(proc)
    returncode = program.returncode
    reported = re.search(r"peak working set: (\d+) MiB", out)
    if reported:  # the program's own figure; the sampling may miss a peak just before the end
        peak = max(peak, int(reported.group(1)))
    timed = re.search(r"DiscoveryLive\.ScenarioOutcome \((\d+) ms\)", out)
    took = int(timed.group(1)) / 1000.0 if timed else None
    print(mode, "exit", returncode, "discovery %s s" % took, "program %.1f s" % wall, "peak %d MiB" % peak)
    if seconds is not None:
        assert took is not None, out[-3000:]
        assert seconds[0] <= took <= seconds[1], "%s: discovery took %.1f s, not %s" % (mode, took, seconds)
        # A request left running at the deadline must not keep the program from ending.
        assert wall < took + 60, "%s: the program ran %.1f s" % (mode, wall)
    if "[  PASSED  ] 1 test" in out and "[  FAILED  ]" not in out and returncode == 0:
        return peak
    if platform_variant is not None and out.count("Failure") == 1 and \
            ('Which is: "%s"' % platform_variant) in out and returncode == 1:
        print(mode, "gave", platform_variant)
        return peak
    print(out[-3000:])
    raise AssertionError("%s: exit %d" % (mode, returncode))


def setup():
    subprocess.run(["bash", os.path.join(ROOT, "tools", "wineprefix.sh"), WINEPREFIX], check=True)
    subprocess.run(["timeout", "60", "wineserver", "-k"], env=dict(os.environ, WINEPREFIX=WINEPREFIX))


@case
def huge_and_deep_documents():
    outcome("big", "ok:porchHigh,cam2High,,,gateHigh,")
    outcome("deep", NO_LIST)
    outcome("deepcamera", NO_LIST)
    outcome("hugelogin", "Login succeeded but no CSRF token was returned.")


@case
def wrong_kinds_everywhere():
    outcome("kinds", "ok:" + "," * 12)
    outcome("camerasobject", NO_LIST)
    outcome("patchdeep", "ok:porchHigh,,,,,")
    outcome("patchkinds", "ok:porchHigh,,,,,")


@case
def tiny_values_are_refused_with_bounded_memory():
    # 32 MiB of {"cameras":[0,0,...]} would be some 16 million values of tree
    # (gigabytes); the bound on values refuses it with its own message. The
    # peak includes the 32 MiB body as read and the test program itself (about
    # 80 MiB against a small bootstrap; about 160 MiB here).
    baseline = outcome("kinds", "ok:" + "," * 12)
    peak = outcome("tinyvalues", "Bootstrap is too large to read.")
    print("peak resident memory: %d MiB against tiny values, %d MiB against a small bootstrap" % (peak, baseline))
    assert 0 < peak < 256, peak


@case
def answers_after_the_time_outs():
    outcome("slowlogin", "Cannot reach console: ReceiveResponse failed (12002)",
            "Cannot reach console: ReceiveResponse failed (10060)")
    outcome("slowbootstrap", NO_LIST)


@case
def trickling_answers_end_at_the_deadline():
    # Both at once (each has its own console and program), to keep the wait short.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        # The sign-in answer's headers trickle: the wait for them ends as a time-out.
        headers = pool.submit(outcome, "trickle_headers", "Cannot reach console: ReceiveResponse failed (12002)",
                              seconds=(DEADLINE - 0.5, DEADLINE + 20))
        # The bootstrap body trickles: the deadline fails the request as a
        # time-out; the bytes read by then are not judged as the whole answer
        # (sign-in first, so a little over the deadline).
        body = pool.submit(outcome, "trickle_body", "Bootstrap request failed: ReceiveResponse failed (12002)",
                           seconds=(DEADLINE - 0.5, DEADLINE + 20))
        headers.result()
        body.result()


if __name__ == "__main__":
    run(setup=setup)
