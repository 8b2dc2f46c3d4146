"""Discovery (the WinHTTP client in tavik_tests.exe under Wine) against a hostile
console (tests/bed/hostile_console.py): a 10 MB bootstrap, JSON nested 100000 deep,
every field of the wrong kind, a 20 MB sign-in answer, answers that come after
the 12 s time-outs and answers that trickle one byte every 2.5 s for ever. Each
ends with its proper result or message, never a crash; a trickle ends at the
request's 36 s deadline."""
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


def outcome(mode, expect, platform_variant=None, seconds=None):
    """Runs discovery against the mode; the outcome must be `expect`, or
    `platform_variant` when that differs from it only by the platform's error code
    (the same time-out is 12002 from WinHTTP on Windows, 10060 from Wine's).
    `seconds` (low, high) bounds how long the discovery took, as gtest timed it;
    the program must then end promptly too."""
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
        result = subprocess.run(["timeout", "300", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "wine",
                                 TESTS_EXE, "--gtest_filter=DiscoveryLive.ScenarioOutcome"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        wall = time.monotonic() - started
    finally:
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=env)
        stop(proc)
    out = result.stdout
    timed = re.search(r"DiscoveryLive\.ScenarioOutcome \((\d+) ms\)", out)
    took = int(timed.group(1)) / 1000.0 if timed else None
    print(mode, "exit", result.returncode, "discovery %s s" % took, "program %.1f s" % wall)
    if seconds is not None:
        assert took is not None, out[-3000:]
        assert seconds[0] <= took <= seconds[1], "%s: discovery took %.1f s, not %s" % (mode, took, seconds)
        # A request left running at the deadline must not keep the program from ending.
        assert wall < took + 60, "%s: the program ran %.1f s" % (mode, wall)
    if "[  PASSED  ] 1 test" in out and "[  FAILED  ]" not in out and result.returncode == 0:
        return
    if platform_variant is not None and out.count("Failure") == 1 and \
            ('Which is: "%s"' % platform_variant) in out and result.returncode == 1:
        print(mode, "gave", platform_variant)
        return
    print(out[-3000:])
    raise AssertionError("%s: exit %d" % (mode, result.returncode))


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
        # The bootstrap body trickles: the bytes read by the deadline are judged as
        # a cut-off body (sign-in first, so a little over the deadline).
        body = pool.submit(outcome, "trickle_body", NO_LIST, seconds=(DEADLINE - 0.5, DEADLINE + 20))
        headers.result()
        body.result()


if __name__ == "__main__":
    run(setup=setup)
