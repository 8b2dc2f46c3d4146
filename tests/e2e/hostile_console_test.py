"""Discovery (the WinHTTP client in tavik_tests.exe under Wine) against a hostile
console (tools/hostile_console.py): a 10 MB bootstrap, JSON nested 100000 deep,
every field of the wrong kind, a 20 MB sign-in answer and answers that come after
the 12 s time-outs. Each ends with its proper result or message, never a crash."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import BUILD_WINDOWS, PYTHON, ROOT, WINEPREFIX, case, free_port, run, start, stop, wait_until  # noqa: E402,E501

TESTS_EXE = os.path.join(BUILD_WINDOWS, "tavik_tests.exe")
NO_LIST = "Bootstrap contained no camera list."
work = tempfile.mkdtemp(prefix="hostile-console-test-")


def outcome(mode, expect, platform_variant=None):
    """Runs discovery against the mode; the outcome must be `expect`, or
    `platform_variant` when that differs from it only by the platform's error code
    (the same time-out is 12002 from WinHTTP on Windows, 10060 from Wine's)."""
    port = free_port()
    ready = os.path.join(work, "ready-%s" % mode)
    proc = start([PYTHON, os.path.join(ROOT, "tools", "hostile_console.py"), "--mode", mode, "--port", str(port),
                  "--ready-file", ready], stdout=subprocess.DEVNULL)
    env = dict(os.environ, WINEPREFIX=WINEPREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               TAVIK_CONSOLE_PORT=str(port), TAVIK_CONSOLE_EXPECT=expect)
    try:
        wait_until(lambda: os.path.exists(ready) or proc.poll() is not None, 30, what="console start")
        assert proc.poll() is None, "hostile_console.py exited with %s" % proc.returncode
        result = subprocess.run(["timeout", "300", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "wine",
                                 TESTS_EXE, "--gtest_filter=DiscoveryLive.ScenarioOutcome"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    finally:
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=env)
        stop(proc)
    out = result.stdout
    print(mode, "exit", result.returncode)
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


if __name__ == "__main__":
    run(setup=setup)
