"""Every libFuzzer target of fuzz/ (clang-14, ASan + UBSan, build/fuzz) runs for a
few seconds from its seeds with a fixed seed; any crash, sanitizer report, leak
or time-out fails its case. One case per fuzz/*_fuzz.cpp."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import ROOT, case, run  # noqa: E402

BUILD = os.path.join(ROOT, "build", "fuzz")
SECONDS = 3
TARGETS = sorted(os.path.basename(p)[:-4] for p in glob.glob(os.path.join(ROOT, "fuzz", "*_fuzz.cpp")))
work = tempfile.mkdtemp(prefix="fuzz-smoke-")


def setup():
    os.makedirs(BUILD, exist_ok=True)
    configure = ["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 "-DCMAKE_C_COMPILER=clang-14", "-DCMAKE_CXX_COMPILER=clang++-14", "-DTAVIK_SANITIZE=ON",
                 "-DTAVIK_FUZZ=ON"]
    for args in (configure, ["cmake", "--build", BUILD, "-j", "2", "--target"] + TARGETS):
        out = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        if out.returncode != 0:
            print(out.stdout[-4000:])
            raise AssertionError("%s failed with %d" % (args[:2], out.returncode))


def fuzz_once(target):
    seeds = os.path.join(ROOT, "fuzz", "corpus", target[:-len("_fuzz")])
    corpus = os.path.join(work, target)
    os.makedirs(corpus)
    args = [os.path.join(BUILD, "fuzz", target), "-seed=1", "-max_total_time=%d" % SECONDS, "-timeout=10",
            "-rss_limit_mb=2048", "-print_final_stats=1", "-artifact_prefix=%s/%s-" % (work, target), corpus]
    if os.path.isdir(seeds):
        args.append(seeds)
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    out = subprocess.run(["timeout", "120"] + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, errors="replace")
    stats = [line for line in out.stdout.splitlines() if line.startswith("stat::number_of_executed_units")]
    print(target, stats[-1] if stats else "(no stats)", "exit", out.returncode)
    if out.returncode != 0:
        print(out.stdout[-6000:])
        for artifact in glob.glob(os.path.join(work, target + "-*")):
            print("crashing input kept in", artifact)
    assert out.returncode == 0, "%s exited with %d" % (target, out.returncode)
    assert stats and int(stats[-1].split()[-1]) > 0, "%s ran nothing" % target


def make_case(target):
    def body():
        fuzz_once(target)
    body.__name__ = target
    return case(body)


for _target in TARGETS:
    make_case(_target)


def teardown():
    keep = glob.glob(os.path.join(work, "*-crash-*")) + glob.glob(os.path.join(work, "*-leak-*"))
    if not keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    run(setup=setup, teardown=teardown)
